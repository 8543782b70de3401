// The one table of names for the binary interface's numbers (se_abi.h), for every program that
// prints or parses them: modhost's traces and check reports, the tests' messages, the fuzzers'
// action logs. A number outside its enumeration gets nullptr, so that each caller decides how to
// show a value that a misbehaving module or host sent (usually the bare number).
//
// Header-only and free of the standard library beyond <cstdint>, so that a plug-in could include
// it too without growing its imports.
#pragma once

#include <cstdint>

#include "se_sdk/se_abi.h"

namespace se_abi_names {

// Host -> module dispatcher opcodes, by their enumerator's name ("Open", "AddEvent", ...).
constexpr const char* ModuleOpcodeName(int32_t opcode) {
  switch (static_cast<ModuleOpcode>(opcode)) {
    case ModuleOpcode::Open:
      return "Open";
    case ModuleOpcode::Close:
      return "Close";
    case ModuleOpcode::SetSampleRate:
      return "SetSampleRate";
    case ModuleOpcode::SetBlockSize:
      return "SetBlockSize";
    case ModuleOpcode::OpaqueQuery4:
      return "OpaqueQuery4";
    case ModuleOpcode::OpaqueQuery5:
      return "OpaqueQuery5";
    case ModuleOpcode::GetPinProperties:
      return "GetPinProperties";
    case ModuleOpcode::AddEvent:
      return "AddEvent";
    case ModuleOpcode::Resume:
      return "Resume";
    case ModuleOpcode::GetModuleProperties:
      return "GetModuleProperties";
    case ModuleOpcode::QueueEmpty:
      return "QueueEmpty";
  }
  return nullptr;
}

// Module -> host requests, by their enumerator's name ("GetSampleClock", ...).
constexpr const char* HostOpcodeName(int32_t opcode) {
  switch (static_cast<HostOpcode>(opcode)) {
    case HostOpcode::SetPinStatus:
      return "SetPinStatus";
    case HostOpcode::QueryPin:
      return "QueryPin";
    case HostOpcode::ForwardPinValue:
      return "ForwardPinValue";
    case HostOpcode::GetSampleClock:
      return "GetSampleClock";
    case HostOpcode::PinRequest4:
      return "PinRequest4";
    case HostOpcode::GetBufferStartClock:
      return "GetBufferStartClock";
    case HostOpcode::GetPinCount:
      return "GetPinCount";
  }
  return nullptr;
}

// Event types, by their enumerator's name ("PinUpdate", ...).
constexpr const char* EventTypeName(int32_t type) {
  switch (static_cast<SeEventType>(type)) {
    case SeEventType::PinUpdate:
      return "PinUpdate";
    case SeEventType::DataEvent:
      return "DataEvent";
    case SeEventType::DeferredCall:
      return "DeferredCall";
  }
  return nullptr;
}

// Pin directions and data types in the lower-case words that modhost prints in its pin tables
// and reads back from the command line ("input", "audio", ...).
constexpr const char* PinDirectionName(int32_t direction) {
  switch (static_cast<PinDirection>(direction)) {
    case PinDirection::Input:
      return "input";
    case PinDirection::Output:
      return "output";
    case PinDirection::Setting:
      return "setting";
  }
  return nullptr;
}

constexpr const char* PinDatatypeName(int32_t datatype) {
  switch (static_cast<PinDatatype>(datatype)) {
    case PinDatatype::Enum:
      return "enum";
    case PinDatatype::Indirect:
      return "indirect";
    case PinDatatype::Bool:
      return "bool";
    case PinDatatype::Audio:
      return "audio";
    case PinDatatype::Int:
      return "int";
  }
  return nullptr;
}

// The names are part of modhost's output (traces, JSON): pin them where they are defined.
static_assert(ModuleOpcodeName(7)[0] == 'A' && ModuleOpcodeName(11) == nullptr, "");
static_assert(HostOpcodeName(14)[0] == 'G' && HostOpcodeName(5) == nullptr, "");

}  // namespace se_abi_names
