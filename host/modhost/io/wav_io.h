// modhost's audio files: 32-bit float WAV (RF64 past 4 GiB) written through OutputFile, and WAV
// files read for `render --input` and `analyze`, on every target with one implementation.
//
// An output file must never look finished when it is not: the header is written for the number
// of frames the render will have, and the file appears under its name only once all of them are
// written (output_file.h). An input file must be what its header says: one that holds fewer
// frames than its header promises (truncated, or empty) is refused with both numbers rather than
// read as silence; and for --input one with another sample rate or more than one channel is
// refused instead of being resampled or mixed behind the user's back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/modhost/io/output_file.h"
#include "host/modhost/io/wav_format.h"

namespace modhost {

class WavWriter {
 public:
  // Prepares to write `path` (any name OutputFile takes, "-" for standard output).
  bool Open(const std::string& path, std::string* error);
  // Writes the header of a WAV of `frames` frames of `channels` float channels at `sample_rate`.
  bool Begin(int channels, int sample_rate, uint64_t frames, std::string* error);
  // Appends `frames` frames of interleaved samples.
  bool Write(const float* interleaved, int64_t frames, std::string* error);
  // Completes the file; fails unless exactly the promised frames were written.
  bool Commit(std::string* error);
  void Abandon() { file_.Abandon(); }

  const OutputFile& file() const { return file_; }

 private:
  OutputFile file_;
  int channels_ = 0;
  uint64_t promised_ = 0;
  uint64_t written_ = 0;
};

class WavReader {
 public:
  WavReader() = default;
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  // Opens `path` and checks that it holds every frame its header promises.
  bool Open(const std::string& path, std::string* error);
  // The same, and checks that the file has one channel at `sample_rate` (a render's input).
  bool Open(const std::string& path, int sample_rate, std::string* error);

  int channels() const { return layout_.channels; }
  int sample_rate() const { return layout_.sample_rate; }
  int64_t frames() const { return frames_; }
  const WavLayout& layout() const { return layout_; }

  // Reads up to `frames` frames of interleaved samples (full scale 1.0, which is 10 V) and
  // returns how many it read, fewer only at the end; -1 with `error` set when reading failed.
  int64_t ReadFrames(float* interleaved, int64_t frames, std::string* error);
  // The next `frames` samples of a mono file, 0 past its end. False when reading failed.
  bool Read(float* samples, int64_t frames, std::string* error);
  // Reads up to `frames` frames as the file stores them (layout().bytes_per_frame() bytes each)
  // and returns how many it read, as ReadFrames does: for comparing samples bit for bit.
  int64_t ReadRawFrames(uint8_t* bytes, int64_t frames, std::string* error);
  // Moves to frame `frame` (at most frames()), so that the next read starts there.
  bool SeekFrame(int64_t frame, std::string* error);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  WavLayout layout_;
  int64_t frames_ = 0;
  int64_t position_ = 0;
  std::string raw_;
};

}  // namespace modhost
