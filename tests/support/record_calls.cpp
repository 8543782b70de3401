// Record-level calls through the owning test host (see record_calls.h).
#include "tests/support/record_calls.h"

#include "tests/support/test_host.h"

namespace se_test {

int32_t Call(ModuleRecord* record, ModuleOpcode opcode, int32_t index, int32_t value, void* ptr,
             float opt) {
  const int32_t code = static_cast<int32_t>(opcode);
  if (TestHost* host = TestHost::Owning(record)) {
    return host->core().Dispatch(code, index, value, ptr, opt);
  }
  return record->dispatcher(record, code, index, value, ptr, opt);
}

void QueueEvent(ModuleRecord* record, uint32_t time_stamp, SeEventType type, int32_t value1,
                int32_t value2, intptr_t data) {
  SeEvent event = {time_stamp, static_cast<int32_t>(type),    value1,
                   value2,     reinterpret_cast<void*>(data), nullptr};
  Call(record, ModuleOpcode::AddEvent, 0, 0, &event);
}

void PinUpdate(ModuleRecord* record, uint32_t time_stamp, int32_t pin, int32_t status,
               int32_t value) {
  QueueEvent(record, time_stamp, SeEventType::PinUpdate, status, value, pin);
}

}  // namespace se_test
