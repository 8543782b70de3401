// The hand-made module (see raw_test_plugin.h). Plain C-style code on purpose: it shows what any
// library of the protocol may look like to the host, with its own dispatcher and process entry.
#include "tests/host/raw_test_plugin.h"

#include <cstdlib>
#include <cstring>

#ifndef RAW_PLUGIN_VARIANT
#error "define RAW_PLUGIN_VARIANT"
#endif

namespace {

// Modules alive in this library; opcode 5 answers it, so a test can see a close happen.
int32_t g_live_modules = 0;

int32_t Ask(RawTestModule* module, HostOpcode opcode, int32_t index, int32_t value, void* ptr) {
  if (!module->host) return 0;
  return module->host(&module->record, static_cast<int32_t>(opcode), index, value, ptr, 0.0f);
}

void* ClockAsPointer(uint32_t clock) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(clock));
}

void Describe(PinDescription* description, void* variable, PinDirection direction,
              PinDatatype datatype, const char* name, const char* default_value) {
  description->variable_address = variable;
  description->direction = static_cast<int32_t>(direction);
  description->datatype = static_cast<int32_t>(datatype);
  description->name = name;
  description->default_value = default_value;
}

int32_t DescribePin(RawTestModule* module, int32_t index, PinDescription* description) {
  switch (index) {
    case 0:
      Describe(description, &module->pitch, PinDirection::Input, PinDatatype::Audio, "Pitch", "5");
      return 1;
    case 1:
      Describe(description, &module->out, PinDirection::Output, PinDatatype::Audio, "Out", "0");
      return 1;
    case 2:
      Describe(description, &module->mode, PinDirection::Setting, PinDatatype::Enum, "Mode", "0");
      description->extra = "Sine,Square";
      return 1;
    case 3:
      Describe(description, &module->count, PinDirection::Input, PinDatatype::Int, nullptr,
               nullptr);
      description->extra = nullptr;
      return 1;
    default:
      return 0;
  }
}

int32_t SE_CDECL RawDispatcher(ModuleRecord* record, int32_t opcode, int32_t index, int32_t value,
                               void* ptr, float opt) {
  RawTestModule* module = reinterpret_cast<RawTestModule*>(record);
  switch (opcode) {
    case 0:
      module->clock = static_cast<uint32_t>(Ask(module, HostOpcode::GetSampleClock, 0, 0, nullptr));
      module->host_pin_count = Ask(module, HostOpcode::GetPinCount, 0, 0, nullptr);
      Ask(module, HostOpcode::SetPinStatus, 1, 2, ClockAsPointer(module->clock));
      return 0;
    case 1:
      std::free(module);
      --g_live_modules;
      return 1;
    case 2:
      module->sample_rate = opt;
      return 0;
    case 3:
      module->block_size = value;
      return 0;
    case 4: {
      const RawForwardedRequest* request = static_cast<const RawForwardedRequest*>(ptr);
      if (!module->host) return 0;
      return module->host(request->record, request->opcode, request->index, request->value,
                          request->ptr, request->opt);
    }
    case 5:
      return g_live_modules;
    case 6:
      return DescribePin(module, index, static_cast<PinDescription*>(ptr));
    case 7:
      if (module->event_count < kRawMaxEvents) {
        std::memcpy(&module->events[module->event_count], ptr, sizeof(SeEvent));
        module->handled[module->event_count] = 0;
        ++module->event_count;
      }
      return 0;
    case 8:
      module->clock = static_cast<uint32_t>(Ask(module, HostOpcode::GetSampleClock, 0, 0, nullptr));
      return 0;
    case 9: {
      ModuleProperties* properties = static_cast<ModuleProperties*>(ptr);
      properties->name = "Raw Test";
      properties->id = "raw test module";
      properties->about = "Written without the frame\n";
      return 1;
    }
    case 10:
      for (int32_t event = 0; event < module->event_count; ++event) {
        if (!module->handled[event]) return 0;
      }
      return 1;
    default:
      return 0;
  }
}

void SE_CDECL RawProcess(ModuleRecord* record, int32_t buffer_offset, int32_t sampleFrames) {
  RawTestModule* module = reinterpret_cast<RawTestModule*>(record);
  ++module->process_calls;
  const uint32_t host_clock =
      static_cast<uint32_t>(Ask(module, HostOpcode::GetSampleClock, 0, 0, nullptr));
  if (host_clock != module->clock) ++module->clock_mismatches;
  if (sampleFrames <= 0) return;

  const uint32_t end = module->clock + static_cast<uint32_t>(sampleFrames);
  for (int32_t event = 0; event < module->event_count; ++event) {
    const SeEvent& queued = module->events[event];
    if (module->handled[event] || queued.time_stamp >= end) continue;
    module->handled[event] = 1;
    if (queued.event_type == 0 && reinterpret_cast<std::intptr_t>(queued.data) == 2) {
      module->mode = static_cast<int16_t>(queued.value2);
    }
  }
  if (module->pitch && module->out) {
    for (int32_t sample = buffer_offset; sample < buffer_offset + sampleFrames; ++sample) {
      module->out[sample] = 2.0f * module->pitch[sample];
    }
  }
  module->clock = end;
}

}  // namespace

extern "C" SE_EXPORT ModuleRecord* SE_CDECL se_plugin_main(HostCallback host) SE_ENTRY_SYMBOL;

extern "C" SE_EXPORT ModuleRecord* SE_CDECL se_plugin_main(HostCallback host) {
  if (RAW_PLUGIN_VARIANT == RAW_PLUGIN_RETURNS_NULL) return nullptr;
  RawTestModule* module = nullptr;
  if (RAW_PLUGIN_VARIANT == RAW_PLUGIN_NO_MAGIC) {
    // A host refuses this record and so can never close it: static storage, so nothing leaks.
    static RawTestModule refused;
    std::memset(&refused, 0, sizeof refused);
    module = &refused;
  } else {
    module = static_cast<RawTestModule*>(std::calloc(1, sizeof(RawTestModule)));
  }
  if (!module) return nullptr;
  ++g_live_modules;
  module->host = host;
  module->sample_rate = 44100.0f;
  module->block_size = 1024;
  module->record.magic = RAW_PLUGIN_VARIANT == RAW_PLUGIN_NO_MAGIC ? 0 : kModuleRecordMagic;
  module->record.dispatcher = &RawDispatcher;
  module->record.object = module;
  module->record.reserved40 = 1;
  module->record.process = &RawProcess;
  return &module->record;
}
