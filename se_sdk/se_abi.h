// The binary interface between a host and a module library, and nothing else.
//
// Everything that crosses the library boundary is declared here: the four function shapes, the
// three records the host and the module exchange, the opcodes in both directions and the pin
// enumerations. The real host is a 32-bit x86 Windows program, so on every 32-bit target these
// declarations must give exactly its byte layout; the static_asserts at the end pin every size
// and offset. On 64-bit targets the same declarations give the natural layout (field order kept,
// pointer fields pointer-sized, natural alignment): that is our widening for wider addresses and
// no 64-bit host of the original protocol exists to disagree with it.
//
// All integers are little-endian 32-bit words; truth values crossing the boundary are exactly 1
// or 0. The calling convention and the export of `main` are decided here too, so that no other
// file needs to know about __cdecl or symbol visibility.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Calling convention and export ---------------------------------------------------------

#if defined(_WIN32)
// The DLL's export table is written by a .def file that maps `main` to se_plugin_main.
#define SE_CDECL __cdecl
#define SE_EXPORT
#define SE_ENTRY_SYMBOL
#else
#if defined(__i386__)
#define SE_CDECL __attribute__((cdecl))
#else
#define SE_CDECL
#endif
#define SE_EXPORT __attribute__((visibility("default")))
// A C++ function may not be called main and return a pointer, so the entry has another name in
// the source and takes `main` as its symbol name.
#define SE_ENTRY_SYMBOL __asm__("main")
#endif

class SEModule_base;
struct ModuleRecord;

// ---- Function shapes -------------------------------------------------------------------------

// The record's dispatcher. Host -> module, on the host's thread; never concurrently with another
// call into the same module. `ptr` points at a host-owned record for opcodes 4-7 and 9.
typedef int32_t(SE_CDECL* Dispatcher)(ModuleRecord* record, int32_t opcode, int32_t index,
                                      int32_t value, void* ptr, float opt);

// The host's request function. Module -> host, only from inside a host call into the module.
// `record` is always the asking module's own record; `ptr` carries a sample-clock time as an
// integer for SetPinStatus and PinRequest4, else 0; `opt` is always 0.0.
typedef int32_t(SE_CDECL* HostCallback)(ModuleRecord* record, int32_t opcode, int32_t index,
                                        int32_t value, void* ptr, float opt);

// The record's process entry: render `sampleFrames` samples from index `buffer_offset` of every
// pin buffer. Host -> module, once per audio block.
typedef void(SE_CDECL* ProcessEntry)(ModuleRecord* record, int32_t buffer_offset,
                                     int32_t sampleFrames);

// The library's one export, `main`: creates a module and returns its record, or null.
typedef ModuleRecord*(SE_CDECL* PluginEntry)(HostCallback host);

// ---- ModuleRecord: module-owned, lives inside the module object ------------------------------
//
//   0 magic | 4 dispatcher | 8..19 reserved | 20 | 24 | 28 reserved | 32 object |
//  36 reserved (0) | 40 reserved (1) | 44 process | 48..107 reserved (15 words)
//
// The host reads it; the frame reads only `object`.
const int32_t kModuleRecordMagic = 0x5345507B;  // bytes 7B 50 45 53 in memory

struct ModuleRecord {
  int32_t magic;           //  0: kModuleRecordMagic
  Dispatcher dispatcher;   //  4: the record dispatcher
  int32_t reserved8[3];    //  8: 0
  int32_t reserved20;      // 20: 0
  int32_t reserved24;      // 24: 0
  int32_t reserved28;      // 28: 0
  SEModule_base* object;   // 32: the module object that embeds this record
  int32_t reserved36;      // 36: 0
  int32_t reserved40;      // 40: 1
  ProcessEntry process;    // 44: the process entry
  int32_t reserved48[15];  // 48: 0
};

// ---- ModuleProperties: host-owned, filled by dispatcher opcode 9 -----------------------------
// The texts are constants of the library, valid while it is loaded. The host's record may be
// longer; a module writes only these three words.
struct ModuleProperties {
  const char* name;   // 0: the name the host shows
  const char* id;     // 4: the module's unique identifier
  const char* about;  // 8: about text, lines ended by line feeds
};

// ---- PinDescription: host-owned (opcode 6) or the frame's working copy ------------------------
enum class PinDirection : int32_t { Input = 0, Output = 1, Setting = 3 };

enum class PinDatatype : int32_t {
  Enum = 0,      // bound to int16_t: the low 16 bits of an arriving value
  Indirect = 1,  // the host keeps the value; updates are forwarded to it (ForwardPinValue)
  Bool = 4,      // bound to one byte: 1 for any non-zero value, else 0
  Audio = 5,     // bound to float*: the host stores the current buffer's address there
  Int = 6,       // bound to int32_t
};

struct PinDescription {
  void* variable_address;     //  0: the module member bound to the pin
  int32_t direction;          //  4: a PinDirection; passed to the host unread
  int32_t datatype;           //  8: a PinDatatype
  const char* name;           // 12: zero-terminated text
  const char* default_value;  // 16: zero-terminated text, in volts for audio pins
  const char* extra;          // 20: item list or ranges; written only for pins that have one
  int32_t unused[2];          // 24: never written by a module, never read by the frame
};

// ---- SeEvent: host-owned when passed to opcode 7; the frame's queue nodes share the layout ----
enum class SeEventType : int32_t {
  PinUpdate = 0,     // value1 = status, value2 = value, data = pin index
  DataEvent = 2,     // value1, low 16 bits of value2, handed to OnDataEvent
  DeferredCall = 3,  // data = the frame's own DeferredCall; refused from a host
};

struct SeEvent {
  uint32_t time_stamp;  //  0: absolute sample-clock time at which the event takes effect
  int32_t event_type;   //  4: an SeEventType
  int32_t value1;       //  8
  int32_t value2;       // 12
  void* data;           // 16: pin index (as an integer) or DeferredCall*
  SeEvent* next;        // 20: queue link; ignored in a record passed in by the host
};

// ---- Opcodes ---------------------------------------------------------------------------------

// Host -> module, through the record's dispatcher.
enum class ModuleOpcode : int32_t {
  Open = 0,
  Close = 1,             // also destroys the module; the dispatcher answers 1
  SetSampleRate = 2,     // opt
  SetBlockSize = 3,      // value
  OpaqueQuery4 = 4,      // ptr
  OpaqueQuery5 = 5,      // ptr
  GetPinProperties = 6,  // index, ptr = PinDescription*
  AddEvent = 7,          // ptr = SeEvent*
  Resume = 8,
  GetModuleProperties = 9,  // ptr = ModuleProperties*
  QueueEmpty = 10,          // answers 1 when no event waits
};

// Module -> host, through HostCallback.
enum class HostOpcode : int32_t {
  SetPinStatus = 0,         // index = pin, value = status, ptr = sample-clock time
  QueryPin = 1,             // index = pin
  ForwardPinValue = 2,      // index = pin, value = the event's value
  GetSampleClock = 3,       // reply: the host's sample clock
  PinRequest4 = 4,          // index = pin, value, ptr = sample-clock time
  GetBufferStartClock = 8,  // index = pin; reply: clock of the buffer's first sample
  GetPinCount = 14,         // reply: pins the host holds for the module
};

// ---- The 32-bit layout, checked where it is declared -----------------------------------------
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(void*) == 4, "32-bit addresses");
static_assert(sizeof(float) == 4 && sizeof(int32_t) == 4, "32-bit words");

static_assert(sizeof(ModuleRecord) == 108, "ModuleRecord is 27 words");
static_assert(offsetof(ModuleRecord, magic) == 0, "");
static_assert(offsetof(ModuleRecord, dispatcher) == 4, "");
static_assert(offsetof(ModuleRecord, reserved8) == 8, "");
static_assert(offsetof(ModuleRecord, reserved20) == 20, "");
static_assert(offsetof(ModuleRecord, reserved24) == 24, "");
static_assert(offsetof(ModuleRecord, reserved28) == 28, "");
static_assert(offsetof(ModuleRecord, object) == 32, "");
static_assert(offsetof(ModuleRecord, reserved36) == 36, "");
static_assert(offsetof(ModuleRecord, reserved40) == 40, "");
static_assert(offsetof(ModuleRecord, process) == 44, "");
static_assert(offsetof(ModuleRecord, reserved48) == 48, "");

static_assert(sizeof(ModuleProperties) == 12, "three text pointers");
static_assert(offsetof(ModuleProperties, name) == 0, "");
static_assert(offsetof(ModuleProperties, id) == 4, "");
static_assert(offsetof(ModuleProperties, about) == 8, "");

static_assert(sizeof(PinDescription) == 32, "the frame's working copy is 32 bytes");
static_assert(offsetof(PinDescription, variable_address) == 0, "");
static_assert(offsetof(PinDescription, direction) == 4, "");
static_assert(offsetof(PinDescription, datatype) == 8, "");
static_assert(offsetof(PinDescription, name) == 12, "");
static_assert(offsetof(PinDescription, default_value) == 16, "");
static_assert(offsetof(PinDescription, extra) == 20, "");
static_assert(offsetof(PinDescription, unused) == 24, "");

static_assert(sizeof(SeEvent) == 24, "SeEvent is six words");
static_assert(offsetof(SeEvent, time_stamp) == 0, "");
static_assert(offsetof(SeEvent, event_type) == 4, "");
static_assert(offsetof(SeEvent, value1) == 8, "");
static_assert(offsetof(SeEvent, value2) == 12, "");
static_assert(offsetof(SeEvent, data) == 16, "");
static_assert(offsetof(SeEvent, next) == 20, "");
#endif
