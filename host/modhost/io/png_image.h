// A picture of many thousand pixels inside an SVG plot (the spectrogram) is far smaller and
// faster to draw as one embedded PNG image than as one rectangle per cell. This writes the PNG
// itself, uncompressed (stored deflate blocks), so that it needs no library on any target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace modhost {

// A PNG file of `width` × `height` 8-bit RGB pixels, row by row from the top, three bytes each.
std::string EncodePng(std::size_t width, std::size_t height, const std::vector<uint8_t>& rgb);

// `bytes` in Base64 (RFC 4648), as a data: URL carries them.
std::string Base64(const std::string& bytes);

}  // namespace modhost
