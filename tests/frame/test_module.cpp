// The frame's test module (see test_module.h).
#include "tests/frame/test_module.h"

#include <stdexcept>

FrameTestModule::FrameTestModule(HostCallback host) : SEModule_base(host), m_mode_store(0) {
  SetSubProcess(&FrameTestModule::sub_process);
  ++live_modules;
}

FrameTestModule::~FrameTestModule() { --live_modules; }

void FrameTestModule::OnPinChanged(SEPin* pin) {
  if (m_notice_count < kMaxRecords) {
    m_notices[m_notice_count++] = {pin->Index(), pin->Status(), SampleClock()};
  }
  if (m_switch_on_pin_change) SetSubProcess(&FrameTestModule::sub_process_alternate);
  if (m_pin_changes_that_throw > 0) {
    --m_pin_changes_that_throw;
    throw std::runtime_error("pin change");
  }
}

void FrameTestModule::Close() {
  if (m_close_throws) throw std::runtime_error("close");
}

bool FrameTestModule::GetModuleProperties(ModuleProperties* properties) {
  properties->name = "Frame Test";
  properties->id = "frame test module";
  properties->about = "Watches the frame\n";
  return true;
}

bool FrameTestModule::GetPinProperties(int32_t index, PinDescription* description) {
  switch (index) {
    case 0:
      description->variable_address = &m_in;
      description->direction = static_cast<int32_t>(PinDirection::Input);
      description->datatype = static_cast<int32_t>(PinDatatype::Audio);
      description->name = "In";
      description->default_value = "0";
      return true;
    case 1:
      description->variable_address = &m_out;
      description->direction = static_cast<int32_t>(PinDirection::Output);
      description->datatype = static_cast<int32_t>(PinDatatype::Audio);
      description->name = "Out";
      description->default_value = "0";
      return true;
    case 2:
      description->variable_address = &m_mode_store;
      description->direction = static_cast<int32_t>(PinDirection::Setting);
      description->datatype = m_mode_datatype;
      description->name = "Mode";
      description->default_value = "0";
      description->extra = "A,B,C";
      return true;
    default:
      return false;
  }
}

void FrameTestModule::OnDataEvent(uint32_t time_stamp, int32_t value1, int16_t value2) {
  if (m_data_event_count < kMaxRecords) {
    m_data_events[m_data_event_count][0] = time_stamp;
    m_data_events[m_data_event_count][1] = static_cast<uint32_t>(value1);
    m_data_events[m_data_event_count][2] = static_cast<uint32_t>(static_cast<int32_t>(value2));
    ++m_data_event_count;
  }
}

void FrameTestModule::sub_process(int32_t buffer_offset, int32_t sampleFrames) {
  Render(buffer_offset, sampleFrames, 0);
}

void FrameTestModule::sub_process_alternate(int32_t buffer_offset, int32_t sampleFrames) {
  Render(buffer_offset, sampleFrames, 1);
}

void FrameTestModule::CountDeferredCall() {
  ++m_deferred_calls;
  m_deferred_clock = SampleClock();
}

void FrameTestModule::ThrowingDeferredCall() {
  CountDeferredCall();
  throw std::runtime_error("deferred call");
}

void FrameTestModule::Render(int32_t buffer_offset, int32_t sampleFrames, int renderer) {
  if (m_span_count < kMaxRecords) {
    m_spans[m_span_count++] = {buffer_offset, sampleFrames, SampleClock(), renderer};
  }
  if (m_in == nullptr || m_out == nullptr) return;
  const float marker = 100.0f * m_mode + 1000.0f * renderer;
  for (int32_t i = buffer_offset; i < buffer_offset + sampleFrames; ++i) {
    m_out[i] = m_in[i] + marker;
  }
}
