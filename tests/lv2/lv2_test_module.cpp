// A module whose pins are everything an LV2 bundle has to express beyond the shipped modules, in
// one library per variant (tests/lv2/CMakeLists.txt defines one LV2_TEST_<VARIANT>):
//
//   AWKWARD         can be a plug-in, awkwardly: a boolean, an integer with a range, an enumeration
//                   without items, two outputs of one name, names with quotes, a backslash, a line
//                   break, a non-UTF-8 byte and a leading digit, a default that is no number.
//   INDIRECT        adds an indirect pin, whose value the host keeps: no LV2 port can be it.
//   CONTROL_OUTPUT  adds an enumerated output: nothing could read it.
//   NO_IDENTIFIER   answers its properties with an empty identifier: no URI can be made.
//
// Its output is a plain function of its inputs, so a render and an LV2 host must agree on it:
//   "Out" = "In \"A\"" * (Gain ? 2 : 1) + Steps / 64 + Shape / 1024 + (the sample count since
//           Open) / 2^20;
//   the second "Out" = "9 lives" - "In \"A\"".
#include <cstdint>

#include "se_sdk/SEModule_base.h"
#include "se_sdk/se_entry.h"

namespace {

class Lv2TestModule : public SEModule_base {
 public:
  explicit Lv2TestModule(HostCallback host) : SEModule_base(host) {
    SetSubProcess(&Lv2TestModule::sub_process);
  }

  void OnPinChanged(SEPin*) override {}

  void Open() override {
    SEModule_base::Open();
    m_rendered = 0;
  }

  bool GetModuleProperties(ModuleProperties* properties) override {
    properties->name = "LV2 \"test\" module";
#if defined(LV2_TEST_NO_IDENTIFIER)
    properties->id = "";
#else
    properties->id = "lv2 test/module #1";
#endif
    properties->about = "Line one\nLine \\two\\ \"quoted\"\n";
    return true;
  }

  bool GetPinProperties(int32_t index, PinDescription* description) override {
    switch (index) {
      case 0:
        DescribePin(description, &m_in_a, PinDirection::Input, PinDatatype::Audio, "In \"A\"",
                    "-2.5");
        description->extra = "5,-5";
        return true;
      case 1:
        DescribePin(description, &m_out, PinDirection::Output, PinDatatype::Audio, "Out", "0");
        return true;
      case 2:
        DescribePin(description, &m_gain, PinDirection::Input, PinDatatype::Bool, "Gain", "1");
        return true;
      case 3:
        DescribePin(description, &m_steps, PinDirection::Setting, PinDatatype::Int, "Steps", "3");
        description->extra = "0,8";
        return true;
      case 4:
        DescribePin(description, &m_shape, PinDirection::Setting, PinDatatype::Enum, "Shape\nline",
                    "7");
        return true;
      case 5:
        DescribePin(description, &m_in_b, PinDirection::Input, PinDatatype::Audio, "9 lives",
                    "many");
        return true;
      case 6:
        DescribePin(description, &m_difference, PinDirection::Output, PinDatatype::Audio, "Out",
                    "0");
        return true;
      case 7:
        DescribePin(description, &m_spare, PinDirection::Input, PinDatatype::Int,
                    "back\\slash \xff", "0");
        return true;
#if defined(LV2_TEST_INDIRECT)
      case 8:
        DescribePin(description, &m_spare, PinDirection::Input, PinDatatype::Indirect, "Kept", "0");
        return true;
#endif
#if defined(LV2_TEST_CONTROL_OUTPUT)
      case 8:
        DescribePin(description, &m_shape, PinDirection::Output, PinDatatype::Enum, "Told", "0");
        description->extra = "A,B";
        return true;
#endif
      default:
        return false;
    }
  }

  virtual void sub_process(int32_t buffer_offset, int32_t sampleFrames) {
    const float offset =
        static_cast<float>(m_steps) / 64.0f + static_cast<float>(m_shape) / 1024.0f;
    for (int32_t sample = buffer_offset; sample < buffer_offset + sampleFrames; ++sample) {
      const float ramp = static_cast<float>(m_rendered++ & 0xFFFFF) / 1048576.0f;
      m_out[sample] = m_in_a[sample] * (m_gain ? 2.0f : 1.0f) + offset + ramp;
      m_difference[sample] = m_in_b[sample] - m_in_a[sample];
    }
  }

 private:
  float* m_in_a = nullptr;
  float* m_in_b = nullptr;
  float* m_out = nullptr;
  float* m_difference = nullptr;
  bool m_gain = false;
  int32_t m_steps = 0;
  int16_t m_shape = 0;
  int32_t m_spare = 0;
  int64_t m_rendered = 0;
};

}  // namespace

SE_PLUGIN_ENTRY(Lv2TestModule)
