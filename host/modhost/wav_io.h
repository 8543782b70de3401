// The render command's audio files, 32-bit float WAV through libsndfile.
//
// An output file must never look finished when it is not: WavWriter writes to a temporary file in
// the same folder and renames it over the real name only once every sample is written and the
// file is closed, so a failed or interrupted render leaves nothing under that name (and removes
// its temporary file, even when a signal ends the process). An input file must fit the render it
// feeds, so WavReader refuses one with another sample rate or more than one channel instead of
// resampling or mixing behind the user's back.
#pragma once

#include <cstdint>
#include <string>

namespace modhost {

class WavWriter {
 public:
  WavWriter() = default;
  // Removes the temporary file unless Commit succeeded.
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Starts a WAV of `channels` float channels at `sample_rate` that will become `path`. Fails
  // when `path` is a folder, an existing file that may not be written, or in a folder where no
  // file can be created.
  bool Open(const std::string& path, int channels, int sample_rate, std::string* error);
  // Appends `frames` frames of interleaved samples.
  bool Write(const float* interleaved, int64_t frames, std::string* error);
  // Closes the file and gives it its real name.
  bool Commit(std::string* error);
  // Closes and removes the temporary file; the real name is left as it was.
  void Abandon();

  const std::string& temporary_path() const { return temporary_path_; }

 private:
  void* file_ = nullptr;  // SNDFILE*, kept out of this header
  int descriptor_ = -1;   // the temporary file, closed by us after libsndfile is done with it
  std::string path_;
  std::string temporary_path_;
};

class WavReader {
 public:
  WavReader() = default;
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  // Opens `path` for reading as float samples (any format libsndfile reads; full scale is 1.0,
  // which is 10 V) and checks that it holds one channel at `sample_rate`.
  bool Open(const std::string& path, int sample_rate, std::string* error);
  // The next `frames` samples; past the end of the file they are 0.
  void Read(float* samples, int64_t frames);
  int64_t frames() const { return frames_; }

 private:
  void* file_ = nullptr;  // SNDFILE*
  int64_t frames_ = 0;
  bool ended_ = false;
};

}  // namespace modhost
