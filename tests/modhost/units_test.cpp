// The small parts of modhost that everything else leans on, on every target: quoting outside text
// (escapes, UTF-8, cutting), the child's frames as they arrive in pieces, and the FFT against the
// transform's definition.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "host/modhost/analyze/fft.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_protocol.h"

namespace {

TEST(MessageText, ControlCharactersAndBytesThatAreNotUtf8AreEscaped) {
  EXPECT_EQ(modhost::EscapeControlCharacters("a\tb\nc\rd\x1b[0m\x7f"),
            "a\\tb\\nc\\rd\\x1b[0m\\x7f");
  EXPECT_EQ(modhost::EscapeControlCharacters("tessà 音 🎹"), "tessà 音 🎹");
  // A lone continuation byte, a cut sequence, an over-long '/', a UTF-16 surrogate.
  EXPECT_EQ(modhost::EscapeControlCharacters("\x80|\xe9\x9f|\xc0\xaf|\xed\xa0\x80"),
            "\\x80|\\xe9\\x9f|\\xc0\\xaf|\\xed\\xa0\\x80");
}

TEST(MessageText, LongTextIsCutAtCharactersNotBytes) {
  const std::string notes(100, 'x');
  EXPECT_EQ(modhost::Excerpt(notes), std::string(80, 'x') + "... (100 bytes)");
  EXPECT_EQ(modhost::Quote(notes, 3), "'xxx'... (100 bytes)");
  EXPECT_EQ(modhost::Quote("short"), "'short'");
  std::string wide;
  for (int index = 0; index < 90; ++index) wide += "音";
  const std::string cut = modhost::Excerpt(wide);
  EXPECT_EQ(cut.substr(0, 240), wide.substr(0, 240)) << "80 whole characters";
  EXPECT_EQ(cut.substr(240), "... (270 bytes)");
}

TEST(MessageText, PositionsCountLinesAndCharacters) {
  const std::string text = "ab\n音x\nlast";
  EXPECT_EQ(modhost::PositionOf(text, 0).line, 1u);
  EXPECT_EQ(modhost::PositionOf(text, 6).line, 2u);
  EXPECT_EQ(modhost::PositionOf(text, 6).column, 2u) << "音 is one character of three bytes";
  EXPECT_EQ(modhost::PositionOf(text, 8).line, 3u);
  EXPECT_EQ(modhost::PositionOf(text, 8).column, 1u);
}

TEST(Frames, ArriveWholeWhateverPiecesTheBytesComeIn) {
  const std::string payload("a\0b\n@c", 6);
  const std::string stream = "@hello 3\n1 1@audio 6\n" + payload + "@done 0\n";
  for (size_t piece = 1; piece <= stream.size(); ++piece) {
    SCOPED_TRACE(piece);
    modhost::FrameReader reader;
    std::vector<modhost::Frame> frames;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.Add(stream.data() + at, std::min(piece, stream.size() - at));
      modhost::Frame frame;
      while (reader.Next(&frame)) frames.push_back(frame);
    }
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].tag, "hello");
    EXPECT_EQ(frames[1].payload, payload);
    EXPECT_EQ(frames[2].tag, "done");
    EXPECT_EQ(frames[2].payload, "");
    EXPECT_FALSE(reader.broken());
  }
}

TEST(Frames, GarbageIsNoFrame) {
  for (const std::string& garbage :
       {std::string("hello from a module's printf\n"), std::string("@audio 12x\n"),
        std::string("@audio\n"), std::string(100, '@')}) {
    modhost::FrameReader reader;
    reader.Add(garbage.data(), garbage.size());
    modhost::Frame frame;
    EXPECT_FALSE(reader.Next(&frame));
    EXPECT_TRUE(reader.broken()) << garbage;
  }
}

TEST(Fft, EqualsTheDefinition) {
  std::mt19937 generator(7);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (size_t length : {2u, 4u, 8u, 64u, 512u}) {
    SCOPED_TRACE(length);
    std::vector<double> signal(length);
    for (double& sample : signal) sample = value(generator);
    const std::vector<std::complex<double>> fast = modhost::RealFourierTransform(signal);
    ASSERT_EQ(fast.size(), length / 2 + 1);
    for (size_t k = 0; k <= length / 2; ++k) {
      std::complex<double> sum = 0.0;
      for (size_t n = 0; n < length; ++n) {
        sum +=
            signal[n] * std::polar(1.0, -2.0 * 3.14159265358979323846 * static_cast<double>(k * n) /
                                            static_cast<double>(length));
      }
      EXPECT_NEAR(fast[k].real(), sum.real(), 1e-12 * length) << k;
      EXPECT_NEAR(fast[k].imag(), sum.imag(), 1e-12 * length) << k;
    }
  }
  EXPECT_THROW(modhost::RealFourierTransform(std::vector<double>(12)), std::invalid_argument);
}

}  // namespace
