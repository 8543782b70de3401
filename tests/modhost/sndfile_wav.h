// WAV files read and written by libsndfile, another implementation than modhost's own, for the
// tests that give modhost input files and check the files it writes.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace modhost_test {

struct Wav {
  SF_INFO info = {};
  std::vector<float> samples;  // interleaved
};

inline Wav ReadWav(const std::string& path) {
  Wav wav;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &wav.info);
  EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  if (!file) return wav;
  wav.samples.resize(static_cast<size_t>(wav.info.frames * wav.info.channels));
  EXPECT_EQ(sf_readf_float(file, wav.samples.data(), wav.info.frames), wav.info.frames);
  sf_close(file);
  return wav;
}

// 32-bit float samples, interleaved when `channels` > 1.
inline void WriteWav(const std::string& path, int rate, int channels,
                     const std::vector<float>& samples) {
  SF_INFO info = {};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
  sf_close(file);
}

}  // namespace modhost_test
