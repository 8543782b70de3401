// Calls into a module through its record, for tests written against the record as the host sees
// it. Each goes through the TestHost that created the record, as every call of a host does, so
// that the requests the module sends meanwhile are answered and recorded there; a record that no
// TestHost made (one created with a null callback, say) is called directly.
#pragma once

#include <cstdint>

#include "se_sdk/se_abi.h"

namespace se_test {

int32_t Call(ModuleRecord* record, ModuleOpcode opcode, int32_t index = 0, int32_t value = 0,
             void* ptr = nullptr, float opt = 0.0f);

// Queues a copy of the event {time_stamp, type, value1, value2, data} (dispatcher opcode 7).
void QueueEvent(ModuleRecord* record, uint32_t time_stamp, SeEventType type, int32_t value1,
                int32_t value2, intptr_t data);

// A pin update (event type 0) of `pin` with `status` and `value` at `time_stamp`.
void PinUpdate(ModuleRecord* record, uint32_t time_stamp, int32_t pin, int32_t status,
               int32_t value);

}  // namespace se_test
