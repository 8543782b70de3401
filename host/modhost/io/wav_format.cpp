// WAV and RF64 headers (see wav_format.h). Every field is little-endian.
#include "host/modhost/io/wav_format.h"

#include <cstring>

namespace modhost {

namespace {

const uint32_t kNoSize = 0xFFFFFFFFu;  // an RF64 size field whose value is in ds64
const uint16_t kFormatPcm = 1;
const uint16_t kFormatFloat = 3;
const uint16_t kFormatExtensible = 0xFFFE;
// A file with more chunks than this before its data is not a WAV file anyone wrote.
const int kMaxChunks = 10000;

void Put16(std::string* bytes, uint16_t value) {
  bytes->push_back(static_cast<char>(value & 0xFF));
  bytes->push_back(static_cast<char>(value >> 8));
}

void Put32(std::string* bytes, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes->push_back(static_cast<char>(value >> shift));
}

void Put64(std::string* bytes, uint64_t value) {
  Put32(bytes, static_cast<uint32_t>(value));
  Put32(bytes, static_cast<uint32_t>(value >> 32));
}

uint16_t Get16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint32_t Get32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t Get64(const uint8_t* bytes) {
  return static_cast<uint64_t>(Get32(bytes)) | static_cast<uint64_t>(Get32(bytes + 4)) << 32;
}

bool Is(const uint8_t* bytes, const char* tag) { return std::memcmp(bytes, tag, 4) == 0; }

// A chunk identifier as text, its bytes escaped when they are not printable.
std::string TagText(const uint8_t* bytes) {
  std::string text;
  for (int index = 0; index < 4; ++index) {
    const uint8_t byte = bytes[index];
    if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else {
      static const char kHex[] = "0123456789abcdef";
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    }
  }
  return text;
}

}  // namespace

std::string FloatWavHeader(int channels, int sample_rate, uint64_t frames) {
  const uint32_t frame_bytes = static_cast<uint32_t>(channels) * 4;
  const uint64_t data_bytes = frames * frame_bytes;
  // "WAVE" + fmt (8 + 18) + fact (8 + 4) + data header (8) + the data.
  const uint64_t riff_payload = 4 + 26 + 12 + 8 + data_bytes;
  // 0xFFFFFFFF itself is RF64's mark for "see ds64", so a RIFF size stays below it.
  const bool rf64 = riff_payload >= kNoSize;

  std::string header;
  header += rf64 ? "RF64" : "RIFF";
  Put32(&header, rf64 ? kNoSize : static_cast<uint32_t>(riff_payload));
  header += "WAVE";
  if (rf64) {
    header += "ds64";
    Put32(&header, 28);
    Put64(&header, riff_payload + 36);  // the RF64 size counts the ds64 chunk too
    Put64(&header, data_bytes);
    Put64(&header, frames);
    Put32(&header, 0);  // no table of other chunks' sizes
  }
  header += "fmt ";
  Put32(&header, 18);
  Put16(&header, kFormatFloat);
  Put16(&header, static_cast<uint16_t>(channels));
  Put32(&header, static_cast<uint32_t>(sample_rate));
  Put32(&header, static_cast<uint32_t>(sample_rate) * frame_bytes);
  Put16(&header, static_cast<uint16_t>(frame_bytes));
  Put16(&header, 32);
  Put16(&header, 0);  // no extension
  header += "fact";
  Put32(&header, 4);
  Put32(&header, rf64 ? kNoSize : static_cast<uint32_t>(frames));
  header += "data";
  Put32(&header, rf64 ? kNoSize : static_cast<uint32_t>(data_bytes));
  return header;
}

bool ReadWavLayout(const ReadAt& read, uint64_t file_size, WavLayout* layout, std::string* error) {
  if (file_size == 0) {
    *error = "the file is empty";
    return false;
  }
  uint8_t riff[12];
  if (read(0, riff, sizeof riff) != sizeof riff || !Is(riff + 8, "WAVE") ||
      !(Is(riff, "RIFF") || Is(riff, "RF64"))) {
    *error = Is(riff, "RIFX") ? "a big-endian RIFX file, which is not supported"
                              : "not a WAV file (no RIFF or RF64 header)";
    return false;
  }
  WavLayout found;
  found.rf64 = Is(riff, "RF64");
  uint64_t ds64_data_bytes = 0;
  bool have_ds64 = false;
  bool have_format = false;
  uint64_t offset = 12;
  for (int chunk = 0; chunk < kMaxChunks; ++chunk) {
    uint8_t head[8];
    if (read(offset, head, sizeof head) != sizeof head) {
      *error = have_format ? "the file ends before its data chunk" : "the file has no fmt chunk";
      return false;
    }
    const uint32_t size = Get32(head + 4);
    const uint64_t payload = offset + 8;
    if (Is(head, "ds64")) {
      uint8_t sizes[24];
      if (size < 24 || read(payload, sizes, sizeof sizes) != sizeof sizes) {
        *error = "its ds64 chunk is too short";
        return false;
      }
      ds64_data_bytes = Get64(sizes + 8);
      have_ds64 = true;
    } else if (Is(head, "fmt ")) {
      uint8_t format[40] = {};
      if (size < 16 || read(payload, format, size < 40 ? size : 40) < (size < 40 ? size : 40)) {
        *error = "its fmt chunk is too short";
        return false;
      }
      uint16_t tag = Get16(format);
      if (tag == kFormatExtensible && size >= 40) tag = Get16(format + 24);
      found.channels = Get16(format + 2);
      found.sample_rate = static_cast<int>(Get32(format + 4) & 0x7FFFFFFF);
      const uint16_t block_align = Get16(format + 12);
      found.bits_per_sample = Get16(format + 14);
      const int bits = found.bits_per_sample;
      if (tag == kFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) {
        found.encoding = WavLayout::Encoding::kInteger;
      } else if (tag == kFormatFloat && (bits == 32 || bits == 64)) {
        found.encoding = WavLayout::Encoding::kFloat;
      } else {
        *error = "samples of format " + std::to_string(tag) + " with " + std::to_string(bits) +
                 " bits, which the reader does not take (integer PCM of 8 to 32 bits, float of 32 "
                 "or 64)";
        return false;
      }
      if (found.channels < 1 || found.sample_rate < 1 || block_align != found.bytes_per_frame()) {
        *error = "its fmt chunk states " + std::to_string(found.channels) + " channels at " +
                 std::to_string(found.sample_rate) + " Hz in frames of " +
                 std::to_string(block_align) + " bytes, which do not fit together";
        return false;
      }
      have_format = true;
    } else if (Is(head, "data")) {
      if (!have_format) {
        *error = "its data chunk comes before any fmt chunk";
        return false;
      }
      if (found.rf64 && size == kNoSize) {
        if (!have_ds64) {
          *error = "an RF64 file without a ds64 chunk";
          return false;
        }
        found.promised_bytes = ds64_data_bytes;
      } else {
        found.promised_bytes = size;
      }
      found.data_offset = payload;
      *layout = found;
      return true;
    }
    uint64_t length = size;
    if (found.rf64 && size == kNoSize) {
      *error = "its " + TagText(head) + " chunk has a size only an RF64 table could give";
      return false;
    }
    offset = payload + length + (length & 1);
    if (offset >= file_size) {
      *error = have_format ? "the file ends before its data chunk" : "the file has no fmt chunk";
      return false;
    }
  }
  *error = "more than " + std::to_string(kMaxChunks) + " chunks before the data";
  return false;
}

void DecodeSamples(const WavLayout& layout, const uint8_t* bytes, size_t count, float* samples) {
  const int width = layout.bits_per_sample / 8;
  for (size_t index = 0; index < count; ++index) {
    const uint8_t* at = bytes + index * static_cast<size_t>(width);
    if (layout.encoding == WavLayout::Encoding::kFloat) {
      if (width == 4) {
        const uint32_t bits = Get32(at);
        std::memcpy(&samples[index], &bits, 4);
      } else {
        const uint64_t bits = Get64(at);
        double value;
        std::memcpy(&value, &bits, 8);
        samples[index] = static_cast<float>(value);
      }
      continue;
    }
    switch (width) {
      case 1:
        samples[index] = static_cast<float>((static_cast<int>(at[0]) - 128) / 128.0);
        break;
      case 2:
        samples[index] = static_cast<float>(static_cast<int16_t>(Get16(at)) / 32768.0);
        break;
      case 3: {
        const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(at[0]) << 8 |
                                                   static_cast<uint32_t>(at[1]) << 16 |
                                                   static_cast<uint32_t>(at[2]) << 24) >>
                              8;
        samples[index] = static_cast<float>(value / 8388608.0);
        break;
      }
      default:
        samples[index] = static_cast<float>(static_cast<int32_t>(Get32(at)) / 2147483648.0);
        break;
    }
  }
}

}  // namespace modhost
