// modhost against what it must survive and explain: modules that crash or hang (each in a child
// process, so the command ends in one line naming the call, with exit status 7 and no output),
// a module that outputs NaN, libraries of another kind, not libraries at all or missing a
// dependency, and wrong command lines and input files. Every message is one line that says what
// is wrong, quotes at most a short escaped excerpt of the offending text, and starts "modhost".
#include <cstdint>
#include <cstring>

#include "tests/modhost/modhost_runner.h"

namespace {

using modhost_test::Lines;
using modhost_test::Outcome;
using modhost_test::ReadFile;
using modhost_test::WriteFile;

const std::string kTessavine = SE_PLUGIN_DIR "/tessavine" SE_PLUGIN_SUFFIX;
const std::string kPelio = SE_PLUGIN_DIR "/pelio" SE_PLUGIN_SUFFIX;

std::string Broken(const std::string& fault) {
  return std::string(SE_BROKEN_DIR) + "/broken_module_" + fault + SE_PLUGIN_SUFFIX;
}

std::string Word(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }
std::string Half(uint16_t value) { return std::string(reinterpret_cast<const char*>(&value), 2); }

// A mono float WAV whose header promises `promised` frames and that holds `present`.
std::string FloatWav(uint32_t promised, uint32_t present) {
  const std::string format = Half(3) + Half(1) + Word(44100) + Word(44100 * 4) + Half(4) + Half(32);
  return "RIFF" + Word(36 + promised * 4) + "WAVEfmt " + Word(16) + format + "data" +
         Word(promised * 4) + std::string(present * 4, '\0');
}

// The first bytes of an ELF shared library for `machine`, or of a 32-bit i386 PE DLL.
std::string ElfHeader(uint8_t address_class, uint16_t machine) {
  std::string bytes(64, '\0');
  bytes.replace(0, 4,
                "\x7f"
                "ELF");
  bytes[4] = static_cast<char>(address_class);
  bytes[5] = 1;  // little-endian
  bytes[6] = 1;
  bytes.replace(16, 2, Half(3));  // ET_DYN
  bytes.replace(18, 2, Half(machine));
  return bytes;
}

std::string PeHeader() {
  std::string bytes(0x200, '\0');
  bytes.replace(0, 2, "MZ");
  bytes.replace(0x3C, 4, Word(0x40));
  bytes.replace(0x40, 4, std::string("PE\0\0", 4));
  bytes.replace(0x44, 2, Half(0x14C));   // i386
  bytes.replace(0x54, 2, Half(0xE0));    // optional header size
  bytes.replace(0x56, 2, Half(0x2000));  // a DLL
  bytes.replace(0x58, 2, Half(0x10B));   // PE32
  return bytes;
}

class IsolationTest : public modhost_test::ModhostFolderTest {
 protected:
  // Expects exactly `message` on standard error, `status`, nothing on standard output and no
  // file left in the folder.
  void ExpectRefusal(const std::vector<std::string>& arguments, int status,
                     const std::string& message) {
    std::string shown;
    for (const std::string& argument : arguments) shown += argument.substr(0, 60) + " ";
    SCOPED_TRACE(shown);
    const std::vector<std::string> before = Contents();
    const Outcome run = Modhost(arguments);
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.err.substr(0, message.size()), message);
    EXPECT_EQ(Lines(run.err), 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Contents(), before) << "a failed command leaves no file behind";
  }
};

TEST_F(IsolationTest, ACrashOrAHangEndsTheCommandInOneLineNamingTheCall) {
  const std::string segv = ": SIGSEGV (segmentation fault)\n";
  ExpectRefusal(
      {"info", Broken("crashes_in_properties")}, 7,
      "modhost info: the module crashed in dispatcher opcode 9 (GetModuleProperties)" + segv);
  ExpectRefusal({"render", Broken("crashes_in_open"), "-o", "out.wav"}, 7,
                "modhost render: the module crashed in open (dispatcher opcode 0)" + segv);
  ExpectRefusal({"render", Broken("crashes_at_sample"), "-o", "out.wav"}, 7,
                "modhost render: the module crashed in process of samples 768 to 1023" + segv);
  ExpectRefusal({"render", Broken("crashes"), "-o", "out.wav", "--block", "100"}, 7,
                "modhost render: the module crashed in process of samples 0 to 99" + segv);
  ExpectRefusal({"render", Broken("hangs_in_open"), "-o", "out.wav", "--timeout", "1"}, 7,
                "modhost render: the module hung in open (dispatcher opcode 0): no return within "
                "1 s (--timeout)\n");
  ExpectRefusal({"render", Broken("hangs"), "-o", "out.wav", "--timeout", "1"}, 7,
                "modhost render: the module hung in process of samples 0 to 255: no return "
                "within 1 s (--timeout)\n");
}

TEST_F(IsolationTest, ADamagedLibraryEndsInOneLine) {
  std::string bytes = ReadFile(kPelio);
  for (size_t at = 0x1000; at < bytes.size(); at += 97) bytes[at] = static_cast<char>(~bytes[at]);
  WriteFile(InFolder("damaged.so"), bytes);
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"info", "damaged.so"},
        std::vector<std::string>{"render", "damaged.so", "-o", "out.wav", "--timeout", "5"}}) {
    SCOPED_TRACE(arguments[0]);
    const Outcome run = Modhost(arguments);
    EXPECT_LE(run.status, 7) << "a signal ended modhost itself";
    EXPECT_LE(Lines(run.err), 1) << run.err;
  }
}

TEST_F(IsolationTest, ALongRenderShowsProgressOnATerminalOnly) {
  // `script` gives the command a terminal; the module takes a millisecond a block, 3 s in all.
  const std::string render = modhost_test::ShellQuoted(MODHOST_PATH) + " render " +
                             modhost_test::ShellQuoted(Broken("slow")) +
                             " -o out.wav --samples 768000 --block 256";
  const Outcome shown = Modhost({"-qec", render, "/dev/null"}, "script");
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(shown.out.find("] "), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("%"), std::string::npos) << shown.out;
  const Outcome quiet = Modhost({"-qec", render + " --quiet", "/dev/null"}, "script");
  EXPECT_EQ(quiet.out.find("%"), std::string::npos) << quiet.out;
  // Without a terminal: only the summary.
  const Outcome plain = Modhost({"render", Broken("slow"), "-o", "out.wav", "--samples", "768000"});
  EXPECT_EQ(plain.err, "");
}

TEST_F(IsolationTest, NotANumberKeepsTheFileAndFailsTheRender) {
  const Outcome run =
      Modhost({"render", Broken("outputs_nan"), "-o", "out.wav", "--samples", "1000"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "modhost render: out.wav: 900 samples are not finite numbers, the first at sample 100 "
            "of channel 1 (nan); the file is kept as the module played it\n");
  EXPECT_NE(run.out.find("; 900 samples not finite"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(InFolder("out.wav")).size(), 58u + 4000u);
}

TEST_F(IsolationTest, ASilentRenderSaysSo) {
  const Outcome silent = Modhost({"render", kPelio, "-o", "out.wav", "--samples", "500"});
  EXPECT_EQ(silent.status, 0) << silent.err;
  EXPECT_NE(silent.out.find("; silent: every sample is 0"), std::string::npos) << silent.out;
  const Outcome tone = Modhost({"render", kTessavine, "-o", "out.wav", "--samples", "500"});
  EXPECT_EQ(tone.out.find("silent"), std::string::npos) << tone.out;
}

TEST_F(IsolationTest, LibrariesThatCannotRunHereSayWhy) {
  // A modhost on its own, with no other build beside it or around it.
  const std::string lonely = InFolder("bin/modhost");
  std::filesystem::create_directory(InFolder("bin"));
  std::filesystem::copy_file(MODHOST_PATH, lonely);
  std::filesystem::permissions(lonely, std::filesystem::perms::owner_all);
  WriteFile(InFolder("i386.so"), ElfHeader(1, 3));
  WriteFile(InFolder("arm.so"), ElfHeader(2, 183));
  WriteFile(InFolder("win.dll"), PeHeader());
  WriteFile(InFolder("notes.txt"), "hello, world\n");
  WriteFile(InFolder("empty.so"), "");
  const std::string bin = folder_ + "/bin/";
  struct Case {
    std::string library;
    std::string message;
  };
  for (const Case& test :
       {Case{"i386.so",
             "modhost info: cannot load 'i386.so': it is a 32-bit i386 ELF shared library, which "
             "needs modhost's i386 Linux build, and there is none at " +
                 bin + "modhost-i386 or " + bin +
                 "../../x86/bin/modhost (cmake --workflow --preset x86 builds it)\n"},
        Case{"win.dll",
             "modhost info: cannot load 'win.dll': it is a 32-bit i386 PE shared library, which "
             "needs modhost's 32-bit Windows build, and there is none at " +
                 bin + "modhost.exe or " + bin +
                 "../../win32/bin/modhost.exe (cmake --workflow --preset win32 builds it)\n"},
        Case{"arm.so",
             "modhost info: cannot load 'arm.so': it is a 64-bit AArch64 ELF shared library; "
             "modhost runs x86-64 and i386 ELF and 32-bit i386 PE libraries"},
        Case{"notes.txt",
             "modhost info: cannot load 'notes.txt': it is not a library (neither ELF nor PE): it "
             "starts with \"hello, world\\n\"\n"},
        Case{"empty.so",
             "modhost info: cannot load 'empty.so': it is not a library: the file is "
             "empty\n"},
        Case{"missing.so",
             "modhost info: cannot load 'missing.so': No such file or directory\n"}}) {
    SCOPED_TRACE(test.library);
    const Outcome run = Modhost({"info", test.library}, lonely);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err.substr(0, test.message.size()), test.message);
    EXPECT_EQ(Lines(run.err), 1) << run.err;
  }
  const Outcome needs = Modhost({"info", std::string(SE_BROKEN_DIR) + "/host_needs_gone.so"});
  EXPECT_EQ(needs.status, 3);
  EXPECT_NE(needs.err.find(": it needs libse_gone.so, which is not found\n"), std::string::npos)
      << needs.err;
  const Outcome validated = Modhost(
      {"validate", std::string(SE_BROKEN_DIR) + "/host_needs_gone.so", "--include", "^load$"});
  EXPECT_EQ(validated.status, 3);
  EXPECT_NE(validated.out.find("it needs libse_gone.so, which is not found"), std::string::npos)
      << validated.out;
}

TEST_F(IsolationTest, ABareNameIsAFileInTheCurrentFolderForEveryCommand) {
  std::filesystem::copy_file(kTessavine, InFolder("tessavine.so"));
  EXPECT_EQ(Modhost({"info", "tessavine.so"}).status, 0);
  EXPECT_EQ(Modhost({"render", "tessavine.so", "-o", "out.wav", "--samples", "10"}).status, 0);
  const Outcome validated = Modhost({"validate", "tessavine.so", "--include", "^load$"});
  EXPECT_EQ(validated.status, 0) << validated.out;
}

TEST_F(IsolationTest, CommandLineMistakesGetOneLine) {
  ExpectRefusal({"render", kTessavine}, 2, "modhost: --output is required");
  ExpectRefusal({"frobnicate"}, 2,
                "modhost: unknown command 'frobnicate'; the commands are info, render, analyze, "
                "diff, validate, lv2\n");
  ExpectRefusal({}, 2, "modhost: name a command (info, render, analyze, diff, validate, lv2)");
  ExpectRefusal({"validate", kTessavine, "--seed", "-1"}, 2,
                "modhost validate: --seed: '-1' is out of range");
  ExpectRefusal({"render", kTessavine, "-o", "out.wav", "--timeout", "0"}, 2, "modhost: --timeout");
  ExpectRefusal({"render", kTessavine, "-o", "out.wav", "--samples", std::string(100000, '9')}, 2,
                "modhost render: --samples: '99999999999999999999999999999999999999999999999999999"
                "999999999999999999999999999'... (100000 bytes) is out of range (1 to");
  const Outcome version = Modhost({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "modhost " MODHOST_VERSION "\n");
}

TEST_F(IsolationTest, AutomationFilesAreQuotedShortEscapedAndMayStartWithAByteOrderMark) {
  WriteFile(InFolder("long.txt"), "# a long line\n0:Pitch=" + std::string(10000000, 'x') + "\n");
  const Outcome run = Modhost({"render", kTessavine, "-o", "out.wav", "--automation", "long.txt"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "modhost render: long.txt:2:3: 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
            "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'... (10000000 bytes) is not a number of "
            "volts\n");
  WriteFile(InFolder("binary.txt"), "0:Pi\x1b[31mtch=5\xff\xfe\n");
  const Outcome binary =
      Modhost({"render", kTessavine, "-o", "out.wav", "--automation", "binary.txt"});
  EXPECT_EQ(binary.status, 2);
  EXPECT_NE(binary.err.find("Pi\\x1b[31mtch"), std::string::npos) << binary.err;
  EXPECT_EQ(binary.err.find('\xff'), std::string::npos) << "a byte that is not UTF-8 is escaped";
  EXPECT_EQ(Lines(binary.err), 1);

  WriteFile(InFolder("bom.txt"),
            "\xEF\xBB\xBF"
            "0:Pitch=6\n");
  const Outcome bom = Modhost(
      {"render", kTessavine, "-o", "out.wav", "--samples", "100", "--automation", "bom.txt"});
  EXPECT_EQ(bom.status, 0) << bom.err;
}

TEST_F(IsolationTest, TruncatedOrEmptyInputFilesAreRefusedWithTheirLength) {
  WriteFile(InFolder("cut.wav"), FloatWav(44100, 235));
  WriteFile(InFolder("empty.wav"), "");
  WriteFile(InFolder("whole.wav"), FloatWav(100, 100));
  ExpectRefusal({"analyze", "cut.wav"}, 2,
                "modhost analyze: 'cut.wav' is truncated: its header promises 44100 frames, the "
                "file holds 235\n");
  ExpectRefusal({"analyze", "empty.wav"}, 2,
                "modhost analyze: cannot read 'empty.wav': the file is empty; there is no header "
                "and no frame\n");
  ExpectRefusal({"render", kTessavine, "-o", "out.wav", "--input", "Pitch=cut.wav"}, 2,
                "modhost render: --input Pitch: 'cut.wav' is truncated: its header promises 44100 "
                "frames, the file holds 235\n");
  EXPECT_EQ(Modhost({"analyze", "whole.wav"}).status, 0);
}

}  // namespace
