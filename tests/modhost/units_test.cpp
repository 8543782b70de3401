// The small parts of modhost that everything else leans on, on every target: quoting outside text
// (escapes, UTF-8, cutting), the reading of a pin's texts that render and validate share, the
// child's frames as they arrive in pieces, and the FFT against the transform's definition.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "host/modhost/analyze/fft.h"
#include "host/modhost/io/text.h"
#include "host/modhost/render/control_plan.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/check_context.h"

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

TEST(MessageText, ModuleTextsAreQuotedWholeWithQuotesAndBackslashesMarked) {
  EXPECT_EQ(modhost::DoubleQuoted("Pitch"), "\"Pitch\"");
  EXPECT_EQ(modhost::DoubleQuoted("a\"b\\c\n\x01 à"), "\"a\\\"b\\\\c\\n\\x01 à\"");
  EXPECT_EQ(modhost::DoubleQuoted(std::string(100, 'x')).size(), 102u) << "never cut";
}

// ---- An enumerated pin's item list, read once for render and validate ---------------------------

using Items = std::vector<std::pair<std::string, int32_t>>;

Items ReadItems(const std::string& extra) {
  Items items;
  for (const modhost::EnumItem& item : modhost::ParseEnumItems(extra)) {
    items.push_back({item.label, item.value});
  }
  return items;
}

TEST(PinTexts, ItemListsReadAsAModuleDeveloperWritesThem) {
  EXPECT_EQ(ReadItems("A,B,C"), (Items{{"A", 0}, {"B", 1}, {"C", 2}}));
  EXPECT_EQ(ReadItems("1=1,2,3"), (Items{{"1", 1}, {"2", 2}, {"3", 3}}));
  EXPECT_EQ(ReadItems("Low=-1,Mid,High,Top=10"),
            (Items{{"Low", -1}, {"Mid", 0}, {"High", 1}, {"Top", 10}}));
  // Blanks around labels and values do not count.
  EXPECT_EQ(ReadItems(" B = 3, C"), (Items{{"B", 3}, {"C", 4}}));
  // A value must be a whole number an enumerated pin can hold; anything else is part of the label.
  EXPECT_EQ(ReadItems("A=1.5,B"), (Items{{"A=1.5", 0}, {"B", 1}}));
  EXPECT_EQ(ReadItems("A=0x10,B=70000,C=-32768,D=3 V"),
            (Items{{"A=0x10", 0}, {"B=70000", 1}, {"C", -32768}, {"D=3 V", -32767}}));
  EXPECT_EQ(ReadItems("x=y=2"), (Items{{"x=y", 2}}));
  EXPECT_EQ(ReadItems("A,,B,"), (Items{{"A", 0}, {"", 1}, {"B", 2}, {"", 3}}));
  EXPECT_EQ(ReadItems(""), Items());
}

se_host::PinInfo EnumPin(int32_t index, const std::string& name, const std::string& extra,
                         const std::string& default_text) {
  static int16_t variable = 0;
  se_host::PinInfo pin = {};
  pin.index = index;
  pin.name = name;
  pin.direction = static_cast<int32_t>(PinDirection::Setting);
  pin.datatype = static_cast<int32_t>(PinDatatype::Enum);
  pin.default_value = default_text;
  pin.extra = extra;
  pin.has_extra = true;
  pin.variable_address = &variable;
  return pin;
}

// What render sends when the user names an item, or leaves the pin at its default.
int32_t RenderedValue(const se_host::PinInfo& pin, const std::string& chosen) {
  static float buffer = 0;
  se_host::PinInfo output = {};
  output.index = pin.index + 1;
  output.name = "Out";
  output.direction = static_cast<int32_t>(PinDirection::Output);
  output.datatype = static_cast<int32_t>(PinDatatype::Audio);
  output.variable_address = &buffer;
  modhost::UserControls controls;
  if (!chosen.empty()) controls.sets.push_back({pin.name, chosen});
  modhost::ControlPlan plan;
  std::string error;
  EXPECT_TRUE(modhost::PlanControls({pin, output}, controls, 100, &plan, &error)) << error;
  return plan.events.empty() ? -99999 : plan.events.back().value;
}

// The two commands that read a module's pins must not disagree on one: the values validate sends
// are the values render sends for the items, and both start the pin at the same default.
TEST(PinTexts, RenderAndValidateReadOneItemListAlike) {
  for (const char* extra :
       {"A=1.5, B = 3", "A,B,C", "1=1,2,3,4", "Low=-1,Mid,High=7,Top", "x = 2 ,y,z=0x10", "Only"}) {
    SCOPED_TRACE(extra);
    const se_host::PinInfo pin = EnumPin(0, "Choice", extra, "1");
    std::vector<int32_t> rendered;
    for (const modhost::EnumItem& item : modhost::ParseEnumItems(extra)) {
      rendered.push_back(RenderedValue(pin, item.label));
      EXPECT_EQ(rendered.back(), item.value) << item.label;
    }
    EXPECT_EQ(modhost::validation::ControlValues(pin), rendered);
    EXPECT_EQ(RenderedValue(pin, ""), modhost::DefaultControlValue(pin, nullptr));
  }
  // "A=1.5" names the item by its whole text in both; " B = 3" by "B", with the value 3.
  const se_host::PinInfo pin = EnumPin(0, "Choice", "A=1.5, B = 3", "0");
  EXPECT_EQ(RenderedValue(pin, "A=1.5"), 0);
  EXPECT_EQ(RenderedValue(pin, "B"), 3);
  EXPECT_EQ(RenderedValue(pin, "3"), 3);
  EXPECT_EQ(modhost::validation::ControlValues(pin), (std::vector<int32_t>{0, 3}));
}

TEST(PinTexts, DefaultsAreReadAlikeWhateverReadsThem) {
  se_host::PinInfo audio = {};
  audio.datatype = static_cast<int32_t>(PinDatatype::Audio);
  for (const char* text : {"5", " -20 ", "5 V", "", "0x10", "nan", "1e400", ".5"}) {
    SCOPED_TRACE(text);
    audio.default_value = text;
    std::vector<std::string> warnings;
    const double volts = modhost::DefaultVolts(audio, &warnings);
    EXPECT_EQ(modhost::validation::DefaultSignal(audio), modhost::VoltsToSample(volts));
    double parsed = 0;
    std::string ignored;
    EXPECT_EQ(warnings.empty(),
              modhost::Trim(text).empty() || modhost::ParseVolts(text, &parsed, &ignored));
  }
  const se_host::PinInfo named = EnumPin(0, "Quality", "Normal,High,Ultra-High", "High");
  EXPECT_EQ(modhost::DefaultControlValue(named, nullptr), 1);
  std::vector<std::string> warnings;
  EXPECT_EQ(modhost::DefaultControlValue(EnumPin(0, "Q", "A=4,B", "Z"), &warnings), 4);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("'Z'"), std::string::npos) << warnings[0];
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
