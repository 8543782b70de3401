// The bytes of a WAV file's header, written and read without any file, so that both can be tested
// at every size, 4 GiB and beyond included, without writing that much.
//
// modhost writes 32-bit float WAV (format 3, IEEE float): RIFF/WAVE with "fmt ", "fact" and
// "data" chunks while the whole file fits the RIFF header's 32-bit size, and RF64 (EBU Tech 3306)
// when it does not: "RF64" in place of "RIFF", a "ds64" chunk right after "WAVE" holding the
// 64-bit sizes, and 0xFFFFFFFF in every 32-bit size that they replace. The header carries no time
// stamp or anything else that changes from run to run, so equal renders give equal bytes.
//
// The reader takes what a user is likely to feed `render --input` or `analyze`: RIFF or RF64,
// integer PCM of 8, 16, 24 or 32 bits, or float of 32 or 64 bits, plain or in the extensible
// format; other chunks are skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace modhost {

// The header of a 32-bit float WAV of `frames` frames of `channels` channels. The sample data
// (frames x channels little-endian floats) follows it directly; nothing comes after the data.
std::string FloatWavHeader(int channels, int sample_rate, uint64_t frames);

// Where a file's samples are and how they are stored.
struct WavLayout {
  enum class Encoding { kInteger, kFloat };
  bool rf64 = false;
  int channels = 0;
  int sample_rate = 0;
  int bits_per_sample = 0;
  Encoding encoding = Encoding::kInteger;
  uint64_t data_offset = 0;     // where the first sample starts
  uint64_t promised_bytes = 0;  // the data chunk's size, as the header states it
  int bytes_per_frame() const { return channels * (bits_per_sample / 8); }
  uint64_t promised_frames() const { return promised_bytes / bytes_per_frame(); }
};

// Reads `size` bytes at `offset` of the file into `into`; returns how many it could read.
using ReadAt = std::function<size_t(uint64_t offset, void* into, size_t size)>;

// Reads the header of a file of `file_size` bytes. False, with a one-line `error`, when it is no
// WAV file or one of a kind the reader does not take. Whether the data chunk really holds what
// it promises is the caller's to judge against `file_size`.
bool ReadWavLayout(const ReadAt& read, uint64_t file_size, WavLayout* layout, std::string* error);

// Converts `count` samples stored as `layout` says into floats of full scale 1.0, the way audio
// libraries do (integers divided by 2^(bits-1); 8-bit samples are unsigned).
void DecodeSamples(const WavLayout& layout, const uint8_t* bytes, size_t count, float* samples);

}  // namespace modhost
