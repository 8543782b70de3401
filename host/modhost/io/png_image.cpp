// The PNG writer (see png_image.h): signature, IHDR, one IDAT holding a zlib stream of stored
// blocks, and IEND, each chunk with its CRC-32.
#include "host/modhost/io/png_image.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace modhost {
namespace {

// A stored deflate block holds at most this many bytes.
constexpr std::size_t kStoredBlockBytes = 65535;

std::array<uint32_t, 256> CrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t index = 0; index < 256; ++index) {
    uint32_t value = index;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
    table[index] = value;
  }
  return table;
}

uint32_t Crc32(const std::string& bytes, std::size_t from) {
  static const std::array<uint32_t, 256> table = CrcTable();
  uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t index = from; index < bytes.size(); ++index) {
    crc = table[(crc ^ static_cast<uint8_t>(bytes[index])) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

void AppendBigEndian(std::string* bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes->push_back(static_cast<char>(value >> shift));
}

void AppendChunk(std::string* png, const char* type, const std::string& data) {
  AppendBigEndian(png, static_cast<uint32_t>(data.size()));
  const std::size_t start = png->size();
  png->append(type, 4);
  png->append(data);
  AppendBigEndian(png, Crc32(*png, start));
}

}  // namespace

std::string EncodePng(std::size_t width, std::size_t height, const std::vector<uint8_t>& rgb) {
  if (width == 0 || height == 0 || rgb.size() != width * height * 3) {
    throw std::invalid_argument("the image's pixels do not match its size");
  }
  // Each row starts with its filter type, 0 (none).
  std::string raw;
  raw.reserve(height * (width * 3 + 1));
  for (std::size_t row = 0; row < height; ++row) {
    raw.push_back('\0');
    raw.append(reinterpret_cast<const char*>(&rgb[row * width * 3]), width * 3);
  }
  std::string zlib = {'\x78', '\x01'};
  for (std::size_t at = 0; at < raw.size() || at == 0; at += kStoredBlockBytes) {
    const std::size_t size = std::min(kStoredBlockBytes, raw.size() - at);
    const bool last = at + size >= raw.size();
    zlib.push_back(last ? '\x01' : '\x00');
    zlib.push_back(static_cast<char>(size & 0xFF));
    zlib.push_back(static_cast<char>(size >> 8));
    zlib.push_back(static_cast<char>(~size & 0xFF));
    zlib.push_back(static_cast<char>((~size >> 8) & 0xFF));
    zlib.append(raw, at, size);
    if (last) break;
  }
  uint32_t low = 1;
  uint32_t high = 0;
  for (char byte : raw) {
    low = (low + static_cast<uint8_t>(byte)) % 65521;
    high = (high + low) % 65521;
  }
  AppendBigEndian(&zlib, (high << 16) | low);

  std::string header;
  AppendBigEndian(&header, static_cast<uint32_t>(width));
  AppendBigEndian(&header, static_cast<uint32_t>(height));
  header +=
      {'\x08', '\x02', '\x00', '\x00', '\x00'};  // 8 bits, RGB, deflate, filters, no interlace
  std::string png = "\x89PNG\r\n\x1a\n";
  AppendChunk(&png, "IHDR", header);
  AppendChunk(&png, "IDAT", zlib);
  AppendChunk(&png, "IEND", "");
  return png;
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    uint32_t group = static_cast<uint8_t>(bytes[at]) << 16;
    if (at + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[at + 1]) << 8;
    if (at + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[at + 2]);
    text += kDigits[(group >> 18) & 63];
    text += kDigits[(group >> 12) & 63];
    text += at + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    text += at + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return text;
}

}  // namespace modhost
