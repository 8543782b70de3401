// Where modhost's output goes: only regular files are replaced (through a temporary file and a
// rename that keeps their permission bits); a symbolic link is written through; a character
// device, a named pipe and standard output are streamed into and stay what they were; a folder is
// refused. And the WAV format itself: plain RIFF below 4 GiB, RF64 past it, no time stamp, read
// back alike by modhost and by sox.
//
// Devices and pipes are made inside the test's own folder (mknod needs root, as CI runs); modhost
// is never pointed at a real /dev path.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

#include "host/modhost/io/wav_format.h"
#include "host/modhost/io/wav_io.h"
#include "tests/modhost/modhost_runner.h"

namespace {

using modhost_test::Lines;
using modhost_test::Outcome;
using modhost_test::ReadFile;

const std::string kTessavine = SE_PLUGIN_DIR "/tessavine" SE_PLUGIN_SUFFIX;
const std::string kPelio = SE_PLUGIN_DIR "/pelio" SE_PLUGIN_SUFFIX;

// Reads everything a named pipe receives, on a thread of its own, as a program at its other end
// would.
class PipeReader {
 public:
  explicit PipeReader(const std::string& path)
      : thread_([this, path] {
          const int descriptor = open(path.c_str(), O_RDONLY);
          if (descriptor < 0) return;
          char buffer[1 << 16];
          ssize_t got = 0;
          while ((got = read(descriptor, buffer, sizeof buffer)) > 0) {
            if (keep_.size() < kKept) keep_.append(buffer, static_cast<size_t>(got));
            total_ += static_cast<uint64_t>(got);
          }
          close(descriptor);
        }) {}
  // Waits for the writer to close the pipe.
  void Join() { thread_.join(); }
  const std::string& bytes() const { return keep_; }  // the first kKept bytes
  uint64_t total() const { return total_; }

 private:
  static constexpr size_t kKept = 1 << 24;
  std::string keep_;
  uint64_t total_ = 0;
  std::thread thread_;
};

bool IsRoot() { return geteuid() == 0; }

class OutputTest : public modhost_test::ModhostFolderTest {
 protected:
  // A second's render of Tessavine, the reference for every destination.
  std::vector<std::string> Render(const std::string& output) const {
    return {"render", kTessavine, "-o", output, "--samples", "20000", "--set", "Pitch=4"};
  }
  std::string Reference() {
    const Outcome run = Modhost(Render("reference.wav"));
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string bytes = ReadFile(InFolder("reference.wav"));
    std::filesystem::remove(InFolder("reference.wav"));
    return bytes;
  }
};

TEST_F(OutputTest, RegularFilesAreReplacedWholeAndKeepTheirPermissions) {
  const std::string reference = Reference();
  ASSERT_EQ(reference.size(), 80058u);
  modhost_test::WriteFile(InFolder("old.wav"), "an older file");
  ASSERT_EQ(chmod(InFolder("old.wav").c_str(), 0640), 0);
  const Outcome run = Modhost(Render("old.wav"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(InFolder("old.wav")), reference);
  struct stat status;
  ASSERT_EQ(stat(InFolder("old.wav").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(Contents(), std::vector<std::string>{"old.wav"}) << "no temporary file is left";
}

TEST_F(OutputTest, SymbolicLinksAreWrittenThroughAndStayLinks) {
  const std::string reference = Reference();
  std::filesystem::create_directory(InFolder("takes"));
  modhost_test::WriteFile(InFolder("takes/take.wav"), "old");
  std::filesystem::create_symlink("takes/take.wav", InFolder("link.wav"));
  std::filesystem::create_symlink("takes/new.wav", InFolder("dangling.wav"));
  for (const char* link : {"link.wav", "dangling.wav"}) {
    const Outcome run = Modhost(Render(link));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::is_symlink(InFolder(link))) << link;
  }
  EXPECT_EQ(ReadFile(InFolder("takes/take.wav")), reference);
  EXPECT_EQ(ReadFile(InFolder("takes/new.wav")), reference);

  // A plot takes the same way.
  ASSERT_EQ(Modhost(Render("tone.wav")).status, 0);
  ASSERT_EQ(Modhost({"analyze", "tone.wav", "--svg", "plot.svg"}).status, 0);
  std::filesystem::create_symlink("takes/plot.svg", InFolder("plot-link.svg"));
  const Outcome plot = Modhost({"analyze", "tone.wav", "--svg", "plot-link.svg"});
  ASSERT_EQ(plot.status, 0) << plot.err;
  EXPECT_TRUE(std::filesystem::is_symlink(InFolder("plot-link.svg")));
  EXPECT_EQ(ReadFile(InFolder("takes/plot.svg")), ReadFile(InFolder("plot.svg")));
}

TEST_F(OutputTest, PipesAndStandardOutputAreStreamedInto) {
  const std::string reference = Reference();
  ASSERT_EQ(mkfifo(InFolder("pipe").c_str(), 0600), 0);
  {
    PipeReader reader(InFolder("pipe"));
    const Outcome run = Modhost(Render("pipe"));
    reader.Join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(reader.bytes(), reference);
  }
  EXPECT_EQ(std::filesystem::status(InFolder("pipe")).type(), std::filesystem::file_type::fifo);

  const Outcome piped = Modhost(Render("-"), MODHOST_PATH, " >" + InFolder("stdout.wav"));
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(ReadFile(InFolder("stdout.wav")), reference);
  EXPECT_EQ(piped.err.rfind("-: 20000 samples", 0), 0u) << "the summary goes to standard error";

  ASSERT_EQ(Modhost(Render("tone.wav")).status, 0);
  ASSERT_EQ(Modhost({"analyze", "tone.wav", "--svg", "plot.svg"}).status, 0);
  PipeReader plot(InFolder("pipe"));
  const Outcome analyzed = Modhost({"analyze", "tone.wav", "--svg", "pipe"});
  plot.Join();
  EXPECT_EQ(analyzed.status, 0) << analyzed.err;
  EXPECT_EQ(plot.bytes(), ReadFile(InFolder("plot.svg")));
}

TEST_F(OutputTest, CharacterDevicesStayDevices) {
  if (!IsRoot()) GTEST_SKIP() << "mknod needs root";
  ASSERT_EQ(mknod(InFolder("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  ASSERT_EQ(mknod(InFolder("full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
  const Outcome run = Modhost(Render("null"));
  EXPECT_EQ(run.status, 0) << run.err;
  const Outcome full = Modhost(Render("full"));
  EXPECT_EQ(full.status, 6);
  EXPECT_EQ(full.err, "modhost render: cannot write 'full': No space left on device\n");
  ASSERT_EQ(Modhost(Render("tone.wav")).status, 0);
  EXPECT_EQ(Modhost({"analyze", "tone.wav", "--svg", "null"}).status, 0);
  for (const char* device : {"null", "full"}) {
    struct stat status;
    ASSERT_EQ(stat(InFolder(device).c_str(), &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode)) << device << " is no longer a device";
  }
}

TEST_F(OutputTest, FoldersAreRefusedBeforeAnythingRuns) {
  std::filesystem::create_directory(InFolder("takes"));
  const Outcome run = Modhost(Render("takes"));
  EXPECT_EQ(run.status, 6);
  EXPECT_EQ(run.err, "modhost render: cannot write 'takes': it is a folder\n");
  ASSERT_EQ(Modhost(Render("tone.wav")).status, 0);
  const Outcome plot = Modhost({"analyze", "tone.wav", "--svg", "takes"});
  EXPECT_EQ(plot.status, 6);
  EXPECT_EQ(Lines(plot.err), 1) << plot.err;
  EXPECT_TRUE(std::filesystem::is_empty(InFolder("takes")));
}

TEST_F(OutputTest, EqualRendersGiveEqualBytesThatSoxReads) {
  const std::vector<std::string> arguments = {"render", kPelio,  "-o",   "a.wav", "--samples",
                                              "3000",   "--set", "1f=5", "--set", "3f=2"};
  ASSERT_EQ(Modhost(arguments).status, 0);
  sleep(1);  // a time stamp would now differ
  std::vector<std::string> again = arguments;
  again[3] = "b.wav";
  ASSERT_EQ(Modhost(again).status, 0);
  const std::string first = ReadFile(InFolder("a.wav"));
  EXPECT_EQ(first, ReadFile(InFolder("b.wav")));
  EXPECT_EQ(first.find("PEAK"), std::string::npos);

  // sox, another implementation, sees the same length and the same samples (to its own 32-bit
  // integer precision, through which it passes every sample).
  const Outcome length = Modhost({"-s", "a.wav"}, "soxi");
  EXPECT_EQ(length.out, "3000\n") << length.err;
  ASSERT_EQ(
      Modhost({"-D", "a.wav", "-t", "raw", "-e", "floating-point", "-b", "32", "a.raw"}, "sox")
          .status,
      0);
  const std::string by_sox = ReadFile(InFolder("a.raw"));
  ASSERT_EQ(by_sox.size(), 12000u);
  double largest_difference = 0;
  for (size_t sample = 0; sample < 3000; ++sample) {
    float ours, theirs;
    std::memcpy(&ours, first.data() + first.size() - 12000 + 4 * sample, 4);
    std::memcpy(&theirs, by_sox.data() + 4 * sample, 4);
    largest_difference = std::max(largest_difference, std::fabs(double{ours} - theirs));
  }
  EXPECT_LE(largest_difference, 6e-8) << "more than a float's last place";
}

// ---- RF64 ---------------------------------------------------------------------------------------

// A file that is only a header, as ReadWavLayout sees it, with `data_bytes` of data after it.
bool LayoutOf(const std::string& header, uint64_t data_bytes, modhost::WavLayout* layout,
              std::string* error) {
  const modhost::ReadAt read = [&header](uint64_t offset, void* into, size_t size) -> size_t {
    if (offset >= header.size()) return 0;
    const size_t got = std::min<size_t>(size, header.size() - offset);
    std::memcpy(into, header.data() + offset, got);
    return got;
  };
  return modhost::ReadWavLayout(read, header.size() + data_bytes, layout, error);
}

uint32_t Word(const std::string& bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

uint16_t Half(const std::string& bytes, size_t offset) {
  uint16_t value;
  std::memcpy(&value, bytes.data() + offset, 2);
  return value;
}

// The format chunk as the WAVE format defines it: the IEEE-float tag, the channels, the sample
// rate, the bytes per second (rate times frame size), the frame size and the bits per sample.
// Readers such as libsndfile take the frame layout from the first fields and never look at the
// byte rate, which players use to seek and to show a length.
TEST(WavHeader, TheFormatChunkStatesRateFrameAndSampleSizes) {
  for (int channels : {1, 2, 16}) {
    for (uint64_t frames : {uint64_t{1000}, uint64_t{1100000000}}) {
      SCOPED_TRACE(std::to_string(channels) + " x " + std::to_string(frames));
      const std::string header = modhost::FloatWavHeader(channels, 48000, frames);
      const size_t format = header.find("fmt ");
      ASSERT_NE(format, std::string::npos);
      EXPECT_EQ(Half(header, format + 8), 3);
      EXPECT_EQ(Half(header, format + 10), channels);
      EXPECT_EQ(Word(header, format + 12), 48000u);
      EXPECT_EQ(Word(header, format + 16), 48000u * 4u * static_cast<uint32_t>(channels));
      EXPECT_EQ(Half(header, format + 20), 4 * channels);
      EXPECT_EQ(Half(header, format + 22), 32);
    }
  }
}

TEST(Rf64, TheHeaderTurnsToRf64ExactlyWhenRiffCannotHoldTheSize) {
  // RIFF's size field counts 50 bytes of header besides the data, and may not reach 0xFFFFFFFF.
  const uint64_t largest_riff_frames = (0xFFFFFFFEull - 50) / 4;
  struct Case {
    int channels;
    uint64_t frames;
    bool rf64;
  };
  for (const Case& test : {Case{1, 1000, false}, Case{1, largest_riff_frames, false},
                           Case{1, largest_riff_frames + 1, true}, Case{1, 1100000000, true},
                           Case{2, 3000000000ull, true}, Case{16, 44100ull * 3600 * 24, true}}) {
    SCOPED_TRACE(std::to_string(test.channels) + " x " + std::to_string(test.frames));
    const std::string header = modhost::FloatWavHeader(test.channels, 48000, test.frames);
    const uint64_t data_bytes = test.frames * 4 * test.channels;
    EXPECT_EQ(header.compare(0, 4, test.rf64 ? "RF64" : "RIFF"), 0);
    if (test.rf64) {
      EXPECT_EQ(Word(header, 4), 0xFFFFFFFFu);
      EXPECT_EQ(header.compare(12, 4, "ds64"), 0);
    } else {
      EXPECT_EQ(Word(header, 4), header.size() - 8 + data_bytes);
    }
    modhost::WavLayout layout;
    std::string error;
    ASSERT_TRUE(LayoutOf(header, data_bytes, &layout, &error)) << error;
    EXPECT_EQ(layout.rf64, test.rf64);
    EXPECT_EQ(layout.channels, test.channels);
    EXPECT_EQ(layout.sample_rate, 48000);
    EXPECT_EQ(layout.encoding, modhost::WavLayout::Encoding::kFloat);
    EXPECT_EQ(layout.data_offset, header.size());
    EXPECT_EQ(layout.promised_frames(), test.frames);
  }
}

TEST(Rf64, HeadersThatLieAreRefused) {
  modhost::WavLayout layout;
  std::string error;
  std::string header = modhost::FloatWavHeader(1, 44100, 3000000000ull);
  header.replace(12, 4, "JUNK");  // an RF64 file whose ds64 is gone
  EXPECT_FALSE(LayoutOf(header, 0, &layout, &error));
  EXPECT_EQ(Lines(error), 0) << error;
  EXPECT_FALSE(LayoutOf("RIFX" + header.substr(4), 0, &layout, &error));
  EXPECT_NE(error.find("big-endian"), std::string::npos) << error;
  EXPECT_FALSE(LayoutOf("", 0, &layout, &error));
  EXPECT_EQ(error, "the file is empty");
}

TEST_F(OutputTest, ModhostReadsAnRf64FileOfMoreThanFourGiB) {
  // A sparse file: the header of 1.1 billion frames, then a hole as long as their data.
  const uint64_t frames = 1100000000;
  const std::string header = modhost::FloatWavHeader(1, 44100, frames);
  modhost_test::WriteFile(InFolder("long.wav"), header);
  const std::string path = InFolder("long.wav");
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size() + frames * 4)), 0);
  modhost::WavReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  EXPECT_EQ(reader.frames(), static_cast<int64_t>(frames));
  // One frame short of the promise is a truncated file.
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size() + frames * 4 - 4)), 0);
  EXPECT_FALSE(reader.Open(path, &error));
  EXPECT_EQ(error, "'" + path +
                       "' is truncated: its header promises 1100000000 frames, the file holds "
                       "1099999999");
}

TEST_F(OutputTest, ARenderPastFourGiBStreamsAsRf64) {
#if defined(MODHOST_TEST_SHORT)
  GTEST_SKIP() << "4.4 GB through two pipes is too slow under the sanitizers";
#endif
  ASSERT_EQ(mkfifo(InFolder("pipe").c_str(), 0600), 0);
  PipeReader reader(InFolder("pipe"));
  const Outcome run = Modhost({"render", kTessavine, "-o", "pipe", "--samples", "1100000000",
                               "--block", "65536", "--quiet"});
  reader.Join();
  ASSERT_EQ(run.status, 0) << run.err;
  modhost::WavLayout layout;
  std::string error;
  const std::string start = reader.bytes().substr(0, 4096);
  ASSERT_TRUE(LayoutOf(start, reader.total() - start.size(), &layout, &error)) << error;
  EXPECT_TRUE(layout.rf64);
  EXPECT_EQ(layout.promised_frames(), 1100000000u);
  EXPECT_EQ(reader.total(), layout.data_offset + 4400000000ull);
}

}  // namespace
