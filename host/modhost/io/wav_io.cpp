// WAV output and input for render and analyze (see wav_io.h).
#include "host/modhost/io/wav_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/modhost/io/file_system.h"

namespace modhost {

namespace {

// 64-bit file positions on every target, 32-bit ones included.
bool Seek(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool SizeOf(std::FILE* file, uint64_t* size) {
#if defined(_WIN32)
  if (_fseeki64(file, 0, SEEK_END) != 0) return false;
  const __int64 end = _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file);
#endif
  if (end < 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

std::string Plural(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

// ---- WavWriter ----------------------------------------------------------------------------------

bool WavWriter::Open(const std::string& path, std::string* error) {
  channels_ = 0;
  promised_ = 0;
  written_ = 0;
  return file_.Open(path, error);
}

bool WavWriter::Begin(int channels, int sample_rate, uint64_t frames, std::string* error) {
  channels_ = channels;
  promised_ = frames;
  const std::string header = FloatWavHeader(channels, sample_rate, frames);
  if (!file_.Write(header.data(), header.size(), error)) {
    file_.Abandon();
    return false;
  }
  return true;
}

bool WavWriter::Write(const float* interleaved, int64_t frames, std::string* error) {
  // The samples' bytes as they lie in memory: every target is little-endian, as WAV is.
  if (!file_.Write(interleaved, static_cast<size_t>(frames) * channels_ * sizeof(float), error)) {
    return false;
  }
  written_ += static_cast<uint64_t>(frames);
  return true;
}

bool WavWriter::Commit(std::string* error) {
  if (written_ != promised_) {
    *error = "cannot write '" + file_.path() + "': " + Plural(written_, "frame") +
             " written of the " + std::to_string(promised_) + " its header promises";
    file_.Abandon();
    return false;
  }
  return file_.Commit(error);
}

// ---- WavReader ----------------------------------------------------------------------------------

WavReader::~WavReader() {
  if (file_) std::fclose(file_);
}

bool WavReader::Open(const std::string& path, std::string* error) {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  path_ = path;
  position_ = 0;
  frames_ = 0;
  if (KindOfPath(path) == PathKind::kDirectory) {
    *error = "cannot read '" + path + "': it is a folder";
    return false;
  }
  std::FILE* file = OpenFile(path, "rb");
  if (!file) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  uint64_t file_size = 0;
  if (!SizeOf(file, &file_size)) {
    *error = "cannot read '" + path + "': it is not a file whose size can be known";
    std::fclose(file);
    return false;
  }
  const ReadAt read = [file](uint64_t offset, void* into, size_t size) -> size_t {
    if (!Seek(file, offset)) return 0;
    return std::fread(into, 1, size, file);
  };
  WavLayout layout;
  std::string problem;
  if (!ReadWavLayout(read, file_size, &layout, &problem)) {
    *error = "cannot read '" + path + "': " + problem +
             (file_size == 0 ? "; there is no header and no frame" : "");
    std::fclose(file);
    return false;
  }
  const uint64_t available_bytes =
      file_size > layout.data_offset ? file_size - layout.data_offset : 0;
  const uint64_t available = available_bytes / layout.bytes_per_frame();
  const uint64_t promised = layout.promised_frames();
  if (available < promised) {
    *error = "'" + path + "' is truncated: its header promises " + Plural(promised, "frame") +
             ", the file holds " + std::to_string(available);
    std::fclose(file);
    return false;
  }
  if (!Seek(file, layout.data_offset)) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    std::fclose(file);
    return false;
  }
  file_ = file;
  layout_ = layout;
  frames_ = static_cast<int64_t>(promised);
  return true;
}

bool WavReader::Open(const std::string& path, int sample_rate, std::string* error) {
  if (!Open(path, error)) return false;
  if (layout_.channels != 1 || layout_.sample_rate != sample_rate) {
    *error = "'" + path + "' has " + Plural(layout_.channels, "channel") + " at " +
             std::to_string(layout_.sample_rate) + " Hz; expected 1 channel at " +
             std::to_string(sample_rate) + " Hz (the render's --rate)";
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

int64_t WavReader::ReadRawFrames(uint8_t* bytes, int64_t frames, std::string* error) {
  if (!file_) return 0;
  const int64_t wanted = std::min(frames, frames_ - position_);
  if (wanted <= 0) return 0;
  const size_t size = static_cast<size_t>(wanted) * static_cast<size_t>(layout_.bytes_per_frame());
  const size_t got = std::fread(bytes, 1, size, file_);
  if (got != size) {
    const int read_error = errno;
    *error = std::ferror(file_) ? "cannot read '" + path_ + "': " + std::strerror(read_error)
                                : "'" + path_ + "' got shorter while it was read";
    return -1;
  }
  position_ += wanted;
  return wanted;
}

int64_t WavReader::ReadFrames(float* interleaved, int64_t frames, std::string* error) {
  if (!file_) return 0;
  const int64_t wanted = std::min(frames, frames_ - position_);
  if (wanted <= 0) return 0;
  raw_.resize(static_cast<size_t>(wanted) * static_cast<size_t>(layout_.bytes_per_frame()));
  if (ReadRawFrames(reinterpret_cast<uint8_t*>(&raw_[0]), wanted, error) < 0) return -1;
  DecodeSamples(layout_, reinterpret_cast<const uint8_t*>(raw_.data()),
                static_cast<size_t>(wanted) * static_cast<size_t>(layout_.channels), interleaved);
  return wanted;
}

bool WavReader::SeekFrame(int64_t frame, std::string* error) {
  if (!file_ || frame < 0 || frame > frames_) {
    *error = "cannot read '" + path_ + "': no frame " + std::to_string(frame);
    return false;
  }
  if (frame == position_) return true;
  if (!Seek(file_,
            layout_.data_offset + static_cast<uint64_t>(frame) * layout_.bytes_per_frame())) {
    *error = "cannot read '" + path_ + "': " + std::strerror(errno);
    return false;
  }
  position_ = frame;
  return true;
}

bool WavReader::Read(float* samples, int64_t frames, std::string* error) {
  const int64_t got = ReadFrames(samples, frames, error);
  if (got < 0) return false;
  std::fill(samples + got, samples + frames, 0.0f);
  return true;
}

}  // namespace modhost
