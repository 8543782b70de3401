// A module written by hand against the binary interface alone, with no frame, so that the host
// core is tested against something other than our own frame. The tests see its state through the
// record pointer: the record is the first member of the module, so the record's address is the
// module's.
//
// Pins: 0 "Pitch" (audio input), 1 "Out" (audio output, Out = 2 * Pitch), 2 "Mode" (enumerated
// setting with an item list), 3 an Int input whose texts are all null pointers.
//
// Beyond what any module does, it lets a test reach the host in ways a well-behaved module never
// would: opcode 4 sends the request described by a RawForwardedRequest (any record pointer, any
// opcode), and every process call asks the host for its clock, so that requests also arrive from
// inside a render.
#pragma once

#include <cstdint>

#include "se_sdk/se_abi.h"

// The one library source is built three times; RAW_PLUGIN_VARIANT picks how `main` behaves.
#define RAW_PLUGIN_WELL_FORMED 0
#define RAW_PLUGIN_RETURNS_NULL 1
#define RAW_PLUGIN_NO_MAGIC 2

const int32_t kRawMaxEvents = 16;
const int32_t kRawPinCount = 4;

// Opcode 4's argument: the request that the module sends to the host on the test's behalf.
struct RawForwardedRequest {
  ModuleRecord* record;
  int32_t opcode;
  int32_t index;
  int32_t value;
  void* ptr;
  float opt;
};

struct RawTestModule {
  ModuleRecord record;  // first: the record's address is the module's
  HostCallback host;
  float sample_rate;
  int32_t block_size;
  uint32_t clock;                  // the module's own sample clock
  int32_t host_pin_count;          // the reply to GetPinCount at open
  float* pitch;                    // pin 0, bound by the host
  float* out;                      // pin 1, bound by the host
  int16_t mode;                    // pin 2, set by pin updates at their time
  int32_t count;                   // pin 3
  SeEvent events[kRawMaxEvents];   // every event as it arrived, byte for byte
  int32_t handled[kRawMaxEvents];  // 1 once the event fell due in a block
  int32_t event_count;
  int32_t process_calls;
  uint32_t clock_mismatches;  // process calls in which the host's clock was not the module's
};
