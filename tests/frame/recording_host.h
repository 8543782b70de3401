// A minimal in-process host for the frame's tests: a callback that records every request and
// answers GetSampleClock, GetPinCount, GetBufferStartClock and QueryPin from settable values,
// plus helpers that drive a module only through its record, as a host does.
#pragma once

#include <cstdint>
#include <vector>

#include "se_sdk/se_abi.h"

struct HostRequest {
  ModuleRecord* record;
  int32_t opcode;
  int32_t index;
  int32_t value;
  uintptr_t ptr;
  float opt;
};

struct RecordingHost {
  static inline uint32_t sample_clock = 0;
  static inline int32_t pin_count = 0;
  static inline uint32_t buffer_start_clock = 0;  // the answer to GetBufferStartClock
  static inline int32_t query_answer = 0;         // the answer to QueryPin
  static inline std::vector<HostRequest> requests;

  static void Reset() {
    sample_clock = 0;
    pin_count = 0;
    buffer_start_clock = 0;
    query_answer = 0;
    requests.clear();
  }

  static int32_t SE_CDECL Callback(ModuleRecord* record, int32_t opcode, int32_t index,
                                   int32_t value, void* ptr, float opt) {
    requests.push_back({record, opcode, index, value, reinterpret_cast<uintptr_t>(ptr), opt});
    if (opcode == static_cast<int32_t>(HostOpcode::GetSampleClock)) {
      return static_cast<int32_t>(sample_clock);
    }
    if (opcode == static_cast<int32_t>(HostOpcode::GetPinCount)) return pin_count;
    if (opcode == static_cast<int32_t>(HostOpcode::GetBufferStartClock)) {
      return static_cast<int32_t>(buffer_start_clock);
    }
    if (opcode == static_cast<int32_t>(HostOpcode::QueryPin)) return query_answer;
    return 0;
  }
};

inline int32_t Call(ModuleRecord* record, ModuleOpcode opcode, int32_t index = 0, int32_t value = 0,
                    void* ptr = nullptr, float opt = 0.0f) {
  return record->dispatcher(record, static_cast<int32_t>(opcode), index, value, ptr, opt);
}

inline void QueueEvent(ModuleRecord* record, uint32_t time_stamp, SeEventType type, int32_t value1,
                       int32_t value2, intptr_t data) {
  SeEvent event = {time_stamp, static_cast<int32_t>(type),    value1,
                   value2,     reinterpret_cast<void*>(data), nullptr};
  Call(record, ModuleOpcode::AddEvent, 0, 0, &event);
}

inline void PinUpdate(ModuleRecord* record, uint32_t time_stamp, int32_t pin, int32_t status,
                      int32_t value) {
  QueueEvent(record, time_stamp, SeEventType::PinUpdate, status, value, pin);
}
