// Bundles written by `modhost lv2`, judged by other people's LV2 code: for every shipped module,
// lilv's lv2ls must find its bundle through LV2_PATH, lv2info must show every port as the module's
// pin table says, serdi must parse its Turtle and give the values written there, and lv2bench must
// run it; lv2apply must play Pelio, Tessavine and a test module to the bit as `modhost render`
// plays the same settings. And what `modhost lv2` refuses: a module that cannot be a plug-in, a
// library that is not a module (with info's exit statuses), and a folder that it did not write,
// each in one line with nothing left behind.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

#include "host/lv2/bundle_format.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "tests/float_bits.h"
#include "tests/modhost/modhost_runner.h"
#include "tests/modhost/sndfile_wav.h"
#include "tests/support/registered_modules.h"
#include "tests/support/test_host.h"

namespace {

using modhost_test::Lines;
using modhost_test::Outcome;
using modhost_test::ReadFile;
using modhost_test::ReadWav;
using modhost_test::Wav;
using modhost_test::WriteFile;
using modhost_test::WriteWav;

using se_test::RegisteredModule;

const std::string kPelio = se_test::PluginPath("pelio");
const std::string kTessavine = se_test::PluginPath("tessavine");
const std::string kAwkward = se_test::TestPluginPath("lv2_test_module_awkward");
const std::string kPelioUri = "urn:se-module:ZO%20Pelio";
const std::string kTessavineUri = "urn:se-module:morvane%20Tessavine";
const std::string kLv2 = "http://lv2plug.in/ns/lv2core#";
const std::string kRdfs = "http://www.w3.org/2000/01/rdf-schema#";

// One port as lv2info prints it.
struct InfoPort {
  std::set<std::string> types;  // the lv2core terms: "CVPort", "InputPort"...
  std::string symbol;
  std::string name;
  std::map<std::string, double> numbers;  // "Minimum", "Maximum", "Default"
  std::set<std::string> properties;       // "integer", "enumeration"...
  std::map<int, std::string> points;      // scale points, value -> label
};

std::string Lv2Term(const std::string& uri) {
  return uri.compare(0, kLv2.size(), kLv2) == 0 ? uri.substr(kLv2.size()) : uri;
}

std::map<int, InfoPort> ParseLv2Info(const std::string& text) {
  std::map<int, InfoPort> ports;
  InfoPort* port = nullptr;
  std::string key;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = modhost::Trim(line);
    if (line.compare(0, 5, "Port ") == 0 && line.back() == ':') {
      port = &ports[std::stoi(line.substr(5))];
      continue;
    }
    if (!port || line.empty()) continue;
    std::string value = line;
    for (const char* name : {"Type", "Symbol", "Name", "Minimum", "Maximum", "Default",
                             "Properties", "Scale Points"}) {
      if (line.compare(0, std::strlen(name) + 1, std::string(name) + ":") == 0) {
        key = name;
        value = modhost::Trim(line.substr(std::strlen(name) + 1));
      }
    }
    if (value.empty()) continue;
    if (key == "Type") port->types.insert(Lv2Term(value));
    if (key == "Properties") port->properties.insert(Lv2Term(value));
    if (key == "Symbol") port->symbol = value;
    if (key == "Name") port->name = value;
    if (key == "Minimum" || key == "Maximum" || key == "Default")
      port->numbers[key] = std::stod(value);
    if (key == "Scale Points") {
      const size_t equals = value.find(" = \"");
      port->points[std::stoi(value.substr(0, equals))] =
          value.substr(equals + 4, value.size() - equals - 5);
    }
  }
  return ports;
}

// The triples serdi reads from a Turtle file, by subject: predicate -> the objects' lexical forms
// (IRIs without their brackets), escapes undone.
using Triples = std::map<std::string, std::multimap<std::string, std::string>>;

std::string Unescaped(const std::string& literal) {
  std::string text;
  for (size_t at = 0; at < literal.size(); ++at) {
    if (literal[at] != '\\') {
      text += literal[at];
      continue;
    }
    const char kind = literal[++at];
    if (kind == 'u' || kind == 'U') {
      const size_t digits = kind == 'u' ? 4 : 8;
      const unsigned long code = std::stoul(literal.substr(at + 1, digits), nullptr, 16);
      at += digits;
      if (code < 0x80) {
        text += static_cast<char>(code);
      } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | code >> 6),
            text += static_cast<char>(0x80 | (code & 0x3F));
      } else {
        text += static_cast<char>(0xE0 | code >> 12);
        text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
      }
    } else {
      text += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : kind;
    }
  }
  return text;
}

// The lexical form of an N-Triples term: an IRI's text, a literal's unescaped text.
std::string TermText(const std::string& term) {
  if (term[0] == '<') return term.substr(1, term.size() - 2);
  if (term[0] != '"') return term;
  return Unescaped(term.substr(1, term.rfind('"') - 1));
}

// Subject predicate object, in serdi's N-Triples: the subject and predicate hold no spaces.
Triples ParseNTriples(const std::string& text) {
  Triples triples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    const std::string object = line.substr(second + 1, line.size() - second - 3);
    triples[line.substr(0, first)].emplace(TermText(line.substr(first + 1, second - first - 1)),
                                           TermText(object));
  }
  return triples;
}

std::string One(const Triples& triples, const std::string& subject, const std::string& predicate) {
  const auto found = triples.find(subject);
  if (found == triples.end()) return "(no subject)";
  const auto objects = found->second.equal_range(predicate);
  return objects.first == objects.second ? "(none)" : objects.first->second;
}

// The port subjects by index.
std::map<int, std::string> PortNodes(const Triples& triples) {
  std::map<int, std::string> nodes;
  for (const auto& [subject, properties] : triples) {
    const auto index = properties.find(kLv2 + "index");
    if (index != properties.end()) nodes[std::stoi(index->second)] = subject;
  }
  return nodes;
}

// Each test has its own LV2_PATH: the folder "lv2" inside its temporary folder, which holds
// bundles only (lilv takes every entry there for one).
class Lv2BundleTest : public modhost_test::ModhostFolderTest {
 protected:
  void SetUp() override {
    ModhostFolderTest::SetUp();
    bundles_ = InFolder("lv2");
    ASSERT_EQ(mkdir(bundles_.c_str(), 0755), 0);
    setenv("LV2_PATH", bundles_.c_str(), 1);
  }

  Outcome MakeBundle(const std::string& library, const std::string& name,
                     const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"lv2", library, "-o", "lv2/" + name};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return Modhost(arguments);
  }

  std::vector<std::string> Bundles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(bundles_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // The URI that a bundle's bridge.conf gives its plug-in.
  std::string UriOf(const std::string& name) const {
    se_lv2::BundleConfig config;
    se_lv2::ParseBundleConfig(ReadFile(bundles_ + "/" + name + "/" + se_lv2::kConfigFile), &config);
    return config.uri;
  }

  // serdi's reading of a Turtle file of the bundles.
  Triples Serdi(const std::string& file) const {
    const Outcome parsed = Modhost({"-i", "turtle", "-o", "ntriples", "lv2/" + file}, "serdi");
    EXPECT_EQ(parsed.status, 0) << file << ": " << parsed.err;
    return ParseNTriples(parsed.out);
  }

  std::string bundles_;
};

TEST_F(Lv2BundleTest, LilvListsAndBenchesEveryShippedModule) {
  std::set<std::string> uris;
  for (const RegisteredModule& module : se_test::ShippedModules()) {
    ASSERT_EQ(MakeBundle(module.library, module.name + ".lv2").status, 0) << module.name;
    uris.insert(UriOf(module.name + ".lv2"));
  }
  const Outcome listed = Modhost({}, "lv2ls");
  std::string expected;
  for (const std::string& uri : uris) expected += uri + "\n";
  EXPECT_EQ(listed.out, expected) << listed.err;

  const Outcome timed = Modhost({"-b", "300", "-n", "48000"}, "lv2bench");
  ASSERT_EQ(timed.status, 0) << timed.err;
  for (const std::string& uri : uris) {
    const size_t line = timed.out.find(" " + uri + "\n");
    ASSERT_NE(line, std::string::npos) << timed.out;
    const double seconds = std::stod(timed.out.substr(timed.out.rfind('\n', line) + 1));
    EXPECT_GT(seconds, 0.0) << uri;
  }
}

// Every shipped module's bundle against its pin table, as the test host reads it.
class Lv2BundleModuleTest : public Lv2BundleTest,
                            public testing::WithParamInterface<RegisteredModule> {};

TEST_P(Lv2BundleModuleTest, Lv2infoAndSerdiShowEveryPinAsItsPort) {
  const RegisteredModule& module = GetParam();
  ASSERT_EQ(MakeBundle(module.library, "module.lv2").status, 0);
  se_test::TestHost host(se_test::LoadLibrary(module.library));
  se_host::ModuleTexts texts;
  ASSERT_TRUE(host.core().ReadModuleTexts(&texts));
  const std::string uri = UriOf("module.lv2");
  EXPECT_EQ(uri.compare(0, 14, "urn:se-module:"), 0) << uri;

  const Outcome info = Modhost({uri}, "lv2info");
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\tName:              " + texts.name + "\n"), std::string::npos);
  EXPECT_NE(info.out.find("Optional Features: " + kLv2 + "hardRTCapable"), std::string::npos);
  std::map<int, InfoPort> ports = ParseLv2Info(info.out);
  const Triples turtle = Serdi("module.lv2/plugin.ttl");
  std::map<int, std::string> nodes = PortNodes(turtle);
  ASSERT_EQ(ports.size(), host.pins().size());
  std::set<std::string> symbols;
  for (const se_host::PinInfo& pin : host.pins()) {
    SCOPED_TRACE(pin.name);
    const InfoPort& port = ports[pin.index];
    EXPECT_EQ(port.name, pin.name);
    symbols.insert(port.symbol);
    if (pin.IsAudioOutput()) {
      EXPECT_EQ(port.types, (std::set<std::string>{"AudioPort", "OutputPort"}));
    } else if (pin.IsAudio()) {
      // lv2info shows no values of CV ports; the Turtle itself, as serdi reads it, holds them.
      EXPECT_EQ(port.types, (std::set<std::string>{"CVPort", "InputPort"}));
      EXPECT_EQ(std::stof(One(turtle, nodes[pin.index], kLv2 + "default")),
                modhost::VoltsToSample(modhost::DefaultVolts(pin, nullptr)));
      EXPECT_NE(One(turtle, nodes[pin.index], kRdfs + "comment").find("1.0 is 10 V"),
                std::string::npos);
    } else {
      EXPECT_EQ(port.types, (std::set<std::string>{"ControlPort", "InputPort"}));
      EXPECT_EQ(port.properties.count("integer"), 1u);
      EXPECT_EQ(port.numbers.at("Default"), modhost::DefaultControlValue(pin, nullptr));
      std::map<int, std::string> items;
      for (const modhost::EnumItem& item : modhost::ParseEnumItems(pin.extra))
        items[item.value] = item.label;
      EXPECT_EQ(port.points, items);
    }
  }
  EXPECT_EQ(symbols.size(), host.pins().size()) << "every symbol is a port's own";
  // The about text, its last line breaks aside.
  const std::string about = One(turtle, "<" + uri + ">", kRdfs + "comment");
  EXPECT_EQ(texts.about.compare(0, about.size(), about), 0) << about;
  EXPECT_EQ(modhost::Trim(texts.about.substr(about.size())), "") << about;
  Serdi("module.lv2/manifest.ttl");
}

INSTANTIATE_TEST_SUITE_P(EveryShippedModule, Lv2BundleModuleTest,
                         testing::ValuesIn(se_test::ShippedModules()),
                         [](const auto& info) { return se_test::ModuleTestName(info.param); });

// What lv2info and serdi show of Pelio's and Tessavine's ports, written out by hand.
TEST_F(Lv2BundleTest, PelioAndTessavineAsLilvShowsThem) {
  ASSERT_EQ(MakeBundle(kPelio, "pelio.lv2").status, 0);
  ASSERT_EQ(MakeBundle(kTessavine, "tessavine.lv2").status, 0);
  const Outcome tessavine = Modhost({kTessavineUri}, "lv2info");
  ASSERT_EQ(tessavine.status, 0) << tessavine.err;
  EXPECT_NE(tessavine.out.find("Name:              Tessavine\n"), std::string::npos);
  EXPECT_NE(tessavine.out.find("Optional Features: " + kLv2 + "hardRTCapable"), std::string::npos);
  std::map<int, InfoPort> ports = ParseLv2Info(tessavine.out);
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].types, (std::set<std::string>{"CVPort", "InputPort"}));
  EXPECT_EQ(ports[0].symbol, "pitch");
  EXPECT_EQ(ports[1].types, (std::set<std::string>{"AudioPort", "OutputPort"}));
  EXPECT_EQ(ports[1].name, "Signal Out");
  EXPECT_EQ(ports[2].types, (std::set<std::string>{"ControlPort", "InputPort"}));
  EXPECT_EQ(ports[2].symbol, "freq_scale");
  EXPECT_EQ(ports[2].properties, (std::set<std::string>{"enumeration", "integer"}));
  EXPECT_EQ(ports[2].points, (std::map<int, std::string>{{0, "1 Volt/Octave"}, {1, "1 Volt/kHz"}}));
  EXPECT_EQ(ports[2].numbers,
            (std::map<std::string, double>{{"Default", 0}, {"Minimum", 0}, {"Maximum", 1}}));

  const Outcome pelio = Modhost({kPelioUri}, "lv2info");
  ports = ParseLv2Info(pelio.out);
  ASSERT_EQ(ports.size(), 22u) << pelio.err;
  for (int pin = 2; pin <= 17; ++pin) {
    EXPECT_EQ(ports[pin].types, (std::set<std::string>{"CVPort", "InputPort"})) << pin;
    EXPECT_EQ(ports[pin].name, std::to_string(pin - 1) + "f");
    EXPECT_EQ(ports[pin].symbol, "_" + std::to_string(pin - 1) + "f");
  }
  EXPECT_EQ(ports[1].numbers,
            (std::map<std::string, double>{{"Default", 16}, {"Minimum", 1}, {"Maximum", 16}}));
  EXPECT_EQ(ports[1].points.size(), 16u);
  EXPECT_EQ(ports[1].points[12], "12");
  EXPECT_EQ(ports[19].types, (std::set<std::string>{"AudioPort", "OutputPort"}));
  EXPECT_EQ(ports[21].points,
            (std::map<int, std::string>{{0, "Normal"}, {1, "High"}, {2, "Ultra-High"}}));

  const Triples pelio_ttl = Serdi("pelio.lv2/plugin.ttl");
  std::map<int, std::string> nodes = PortNodes(pelio_ttl);
  for (const auto& [index, want] : std::map<int, std::vector<double>>{
           {0, {0.5, -1, 1}}, {2, {0, -1, 1}}, {17, {0, -1, 1}}, {18, {2, -2, 2}}}) {
    EXPECT_EQ(std::stod(One(pelio_ttl, nodes[index], kLv2 + "default")), want[0]) << index;
    EXPECT_EQ(std::stod(One(pelio_ttl, nodes[index], kLv2 + "minimum")), want[1]) << index;
    EXPECT_EQ(std::stod(One(pelio_ttl, nodes[index], kLv2 + "maximum")), want[2]) << index;
  }
  const std::string about = One(pelio_ttl, "<" + kPelioUri + ">", kRdfs + "comment");
  EXPECT_EQ(about.compare(0, 24, "Pelio v0.6\n\nQuick Help:\n"), 0) << about;
  EXPECT_EQ(about.back(), 'r');  // "...like a low-pass filter", without the last line break
}

TEST_F(Lv2BundleTest, AwkwardNamesAndControlsBecomeValidTurtle) {
  const Outcome made = MakeBundle(kAwkward, "awkward.lv2");
  ASSERT_EQ(made.status, 0) << made.err;
  // The unreadable default of "9 lives" is the render's too: a warning, and 0 V.
  EXPECT_NE(made.err.find("modhost lv2: warning: pin '9 lives' has the default 'many'"),
            std::string::npos)
      << made.err;
  const Outcome parsed =
      Modhost({"-i", "turtle", "-o", "ntriples", "lv2/awkward.lv2/plugin.ttl"}, "serdi");
  ASSERT_EQ(parsed.status, 0) << parsed.err;
  const Triples triples = ParseNTriples(parsed.out);
  const std::string uri = "<urn:se-module:lv2%20test%2Fmodule%20%231>";
  EXPECT_EQ(One(triples, uri, "http://usefulinc.com/ns/doap#name"), "LV2 \"test\" module");
  EXPECT_EQ(One(triples, uri, "http://www.w3.org/2000/01/rdf-schema#comment"),
            "Line one\nLine \\two\\ \"quoted\"");
  std::map<int, std::string> nodes = PortNodes(triples);
  ASSERT_EQ(nodes.size(), 8u);
  const std::vector<std::pair<std::string, std::string>> names = {
      {"in_a", "In \"A\""},
      {"out", "Out"},
      {"gain", "Gain"},
      {"steps", "Steps"},
      {"shape_line", "Shape\nline"},
      {"_9_lives", "9 lives"},
      {"out_2", "Out"},
      {"back_slash", "back\\slash \xEF\xBF\xBD"}};
  for (size_t index = 0; index < names.size(); ++index) {
    EXPECT_EQ(One(triples, nodes[index], kLv2 + "symbol"), names[index].first);
    EXPECT_EQ(One(triples, nodes[index], kLv2 + "name"), names[index].second);
  }
  // A range from the pin's volts, a toggle, an integer range, an enumeration without items.
  EXPECT_EQ(One(triples, nodes[0], kLv2 + "default"), "-0.25");
  EXPECT_EQ(One(triples, nodes[0], kLv2 + "minimum"), "-0.5");
  EXPECT_EQ(One(triples, nodes[5], kLv2 + "default"), "0.0");
  EXPECT_EQ(One(triples, nodes[2], kLv2 + "portProperty"), kLv2 + "integer");
  EXPECT_EQ(triples.at(nodes[2]).count(kLv2 + "portProperty"), 2u);  // and toggled
  EXPECT_EQ(One(triples, nodes[3], kLv2 + "maximum"), "8");
  EXPECT_EQ(One(triples, nodes[4], kLv2 + "default"), "7");
  EXPECT_EQ(One(triples, nodes[4], kLv2 + "minimum"), "-32768");
  EXPECT_EQ(One(triples, nodes[7], kLv2 + "minimum"), "(none)");
}

// lv2apply plays a plug-in from an input file, one sample per run() and at the file's rate; it
// knows no CV ports, so it plays the --audio-inputs bundles, whose bridge is the same code.
TEST_F(Lv2BundleTest, Lv2applyPlaysWhatRenderPlays) {
  ASSERT_EQ(MakeBundle(kPelio, "pelio.lv2", {"--audio-inputs"}).status, 0);
  ASSERT_EQ(MakeBundle(kTessavine, "tessavine.lv2", {"--audio-inputs"}).status, 0);
  ASSERT_EQ(MakeBundle(kAwkward, "awkward.lv2", {"--audio-inputs"}).status, 0);
  const int rate = 48000;
  const int frames = 12000;
  // Tessavine with its pitch gliding up four octaves, under the kHz law.
  std::vector<float> pitch(frames);
  for (int frame = 0; frame < frames; ++frame)
    pitch[frame] = modhost::VoltsToSample(0.5 + 4.0 * frame / frames);
  WriteWav(InFolder("pitch.wav"), rate, 1, pitch);
  Outcome played = Modhost({"-i", "pitch.wav", "-o", "lilv.wav", "-c", "freq_scale", "1",
                            kTessavineUri + ":audio-inputs"},
                           "lv2apply");
  ASSERT_EQ(played.status, 0) << played.err;
  Outcome rendered = Modhost({"render", kTessavine, "-o", "render.wav", "--rate", "48000",
                              "--samples", std::to_string(frames), "--input", "Pitch=pitch.wav",
                              "--set", "Freq Scale=1 Volt/kHz"});
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  EXPECT_EQ(FirstBitDifference(ReadWav(InFolder("lilv.wav")).samples,
                               ReadWav(InFolder("render.wav")).samples),
            -1);

  // Pelio: every audio input from the file (lv2apply's channels are the audio inputs in port
  // order), the Mod input sweeping 20 V to 0 V, 8 harmonics of the better sine.
  const std::vector<std::string> inputs = {"Pitch", "1f",  "2f",  "3f",  "4f",  "5f",
                                           "6f",    "7f",  "8f",  "9f",  "10f", "11f",
                                           "12f",   "13f", "14f", "15f", "16f", "Mod"};
  std::vector<float> interleaved(inputs.size() * frames);
  std::vector<std::string> render = {"render", kPelio,         "-o",        "render.wav",
                                     "--rate", "48000",        "--samples", std::to_string(frames),
                                     "--set",  "Quality=High", "--set",     "Harmonics=8"};
  for (size_t input = 0; input < inputs.size(); ++input) {
    std::vector<float> channel(frames);
    for (int frame = 0; frame < frames; ++frame) {
      const double volts = input == 0    ? 3.0
                           : input == 17 ? 20.0 * (frames - frame) / frames
                                         : 10.0 / static_cast<double>(input);
      channel[frame] = modhost::VoltsToSample(volts);
      interleaved[frame * inputs.size() + input] = channel[frame];
    }
    WriteWav(InFolder("in" + std::to_string(input) + ".wav"), rate, 1, channel);
    render.insert(render.end(),
                  {"--input", inputs[input] + "=in" + std::to_string(input) + ".wav"});
  }
  WriteWav(InFolder("inputs.wav"), rate, static_cast<int>(inputs.size()), interleaved);
  played = Modhost({"-i", "inputs.wav", "-o", "lilv.wav", "-c", "quality", "1", "-c", "harmonics",
                    "8", kPelioUri + ":audio-inputs"},
                   "lv2apply");
  ASSERT_EQ(played.status, 0) << played.err;
  rendered = Modhost(render);
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  const Wav pelio = ReadWav(InFolder("lilv.wav"));
  EXPECT_EQ(FirstBitDifference(pelio.samples, ReadWav(InFolder("render.wav")).samples), -1);
  EXPECT_GT(*std::max_element(pelio.samples.begin(), pelio.samples.end()), 0.1f);

  // The test module: a boolean off, an integer, an enumeration without items, two outputs.
  std::vector<float> pair;
  for (int frame = 0; frame < frames; ++frame)
    pair.insert(pair.end(), {modhost::VoltsToSample(frame % 7), 0.25f});
  WriteWav(InFolder("pair.wav"), rate, 2, pair);
  std::vector<float> first(frames);
  for (int frame = 0; frame < frames; ++frame) first[frame] = pair[2 * frame];
  WriteWav(InFolder("a.wav"), rate, 1, first);
  played = Modhost({"-i", "pair.wav", "-o", "lilv.wav", "-c", "gain", "0", "-c", "steps", "5", "-c",
                    "shape_line", "-3", "urn:se-module:lv2%20test%2Fmodule%20%231:audio-inputs"},
                   "lv2apply");
  ASSERT_EQ(played.status, 0) << played.err;
  rendered = Modhost({"render", kAwkward, "-o", "render.wav", "--rate", "48000", "--samples",
                      std::to_string(frames), "--input", "In \"A\"=a.wav", "--set", "9 lives=2.5",
                      "--set", "Gain=false", "--set", "Steps=5", "--set", "Shape\nline=-3"});
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  const Wav awkward = ReadWav(InFolder("lilv.wav"));
  EXPECT_EQ(awkward.info.channels, 2);
  EXPECT_EQ(FirstBitDifference(awkward.samples, ReadWav(InFolder("render.wav")).samples), -1);
}

TEST_F(Lv2BundleTest, RefusesWhatCannotBeAPluginInOneLine) {
  const std::vector<std::pair<std::string, std::string>> modules = {
      {"indirect", "pin 8 'Kept' (input, indirect) cannot be an LV2 port: the host keeps"},
      {"control_output", "pin 8 'Told' (output, enum) cannot be an LV2 port"},
      {"no_identifier", "the module gives no identifier"}};
  for (const auto& [variant, message] : modules) {
    const Outcome refused =
        MakeBundle(se_test::TestPluginPath("lv2_test_module_" + variant), "x.lv2");
    EXPECT_EQ(refused.status, 1) << variant;
    EXPECT_EQ(refused.err.find("modhost lv2: " + message), 0u) << refused.err;
    EXPECT_EQ(Lines(refused.err), 1) << refused.err;
  }
  // A library that is no module fails as info fails, with the same status.
  WriteFile(InFolder("text.so"), "not a library\n");
  for (const std::string& library :
       {InFolder("missing.so"), InFolder("text.so"),
        se_test::TestPluginPath("host_no_entry_library"),
        se_test::TestPluginPath("host_raw_null_plugin"),
        se_test::TestPluginPath("broken_module_crashes_in_properties")}) {
    const Outcome info = Modhost({"info", library});
    const Outcome refused = MakeBundle(library, "x.lv2");
    EXPECT_NE(info.status, 0) << library;
    EXPECT_EQ(refused.status, info.status) << library << ": " << refused.err;
    EXPECT_EQ(Lines(refused.err), 1) << refused.err;
  }
  EXPECT_TRUE(Bundles().empty());
}

// A bundle of a shipped module replaced by one of the test module, and then folders that are not
// bundles of modhost's, which stay as they are.
TEST_F(Lv2BundleTest, ReplacesOnlyABundleOfItsOwn) {
  const std::string shipped = se_test::ShippedModules().at(0).library;
  ASSERT_EQ(MakeBundle(shipped, "synth.lv2").status, 0);
  const Outcome again = MakeBundle(kAwkward, "synth.lv2");
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(
      ReadFile(bundles_ + "/synth.lv2/bridge.conf").find("library lv2_test_module_awkward.so"),
      std::string::npos);
  EXPECT_FALSE(
      std::filesystem::exists(bundles_ + "/synth.lv2/" + shipped.substr(shipped.rfind('/') + 1)));
  EXPECT_EQ(Modhost({}, "lv2ls").out, UriOf("synth.lv2") + "\n");

  // A bundle of ours with a file added, a folder of someone else's, an empty folder, a file and a
  // link: each stays as it was.
  WriteFile(bundles_ + "/synth.lv2/presets.ttl", "# mine\n");
  ASSERT_EQ(mkdir((bundles_ + "/other.lv2").c_str(), 0755), 0);
  WriteFile(bundles_ + "/other.lv2/manifest.ttl", "# theirs\n");
  ASSERT_EQ(mkdir((bundles_ + "/empty.lv2").c_str(), 0755), 0);
  WriteFile(bundles_ + "/file.lv2", "a file\n");
  ASSERT_EQ(symlink("synth.lv2", (bundles_ + "/link.lv2").c_str()), 0);
  const std::vector<std::string> before = Bundles();
  for (const char* name : {"synth.lv2", "other.lv2", "empty.lv2", "file.lv2", "link.lv2"}) {
    const Outcome refused = MakeBundle(shipped, name);
    EXPECT_EQ(refused.status, 6) << name;
    EXPECT_EQ(refused.err.find(std::string("modhost lv2: cannot write 'lv2/") + name + "': "), 0u)
        << refused.err;
    EXPECT_NE(refused.err.find("modhost replaces only a bundle that it wrote"), std::string::npos);
    EXPECT_EQ(Lines(refused.err), 1);
  }
  EXPECT_EQ(Bundles(), before);
  EXPECT_EQ(ReadFile(bundles_ + "/synth.lv2/presets.ttl"), "# mine\n");
  EXPECT_EQ(ReadFile(bundles_ + "/other.lv2/manifest.ttl"), "# theirs\n");
  const Outcome nowhere = MakeBundle(shipped, "no/such/folder.lv2");
  EXPECT_EQ(nowhere.status, 6);
  EXPECT_NE(nowhere.err.find("does not exist"), std::string::npos) << nowhere.err;
}

}  // namespace
