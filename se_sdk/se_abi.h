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
//
// Threads. The protocol names no threads of its own. The host makes each call on a thread of its
// choosing and the module does all its work on that thread before the call returns; it starts no
// thread and never waits. The host never makes two calls into one instance at the same time: the
// dispatcher and the process entry share the event queue and the pins without a lock. Separate
// instances share nothing, so the host may run them on different threads at once. The module's
// requests go back only from inside a host call, on that call's thread, so the host callback is
// entered again from within the host's own call and must allow that. Each entry below is tagged
// in these terms:
//   [host thread]  on the thread of the host call in progress, never at the same time as another
//                  call into the same instance
//   [any time]     from `main` until Close, before Open included
//   [after Open]   once Open has built the pin table
//   [audio path]   what a host calls as it renders: the process entry once per block, and events
//                  queued between blocks (possibly on another thread than Open's, one at a time)
//   [inside X]     a request sent only from inside the host's call X
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

struct ModuleRecord;

// ---- Function shapes -------------------------------------------------------------------------

// The record's dispatcher: one ModuleOpcode with its values. Host -> module.
// [host thread] When each opcode may come is tagged at ModuleOpcode. `ptr` points at a host-owned
// record for opcodes 4-7 and 9, which the module reads or fills during the call only.
typedef int32_t(SE_CDECL* Dispatcher)(ModuleRecord* record, int32_t opcode, int32_t index,
                                      int32_t value, void* ptr, float opt);

// The host's request function: one HostOpcode with its values. Module -> host.
// [host thread, inside a host call into the module] Never from `main`, a constructor, Close or
// destruction. `record` is always the asking module's own record; `ptr` carries a sample-clock
// time as an integer for SetPinStatus and PinRequest4, else 0; `opt` is always 0.0.
typedef int32_t(SE_CDECL* HostCallback)(ModuleRecord* record, int32_t opcode, int32_t index,
                                        int32_t value, void* ptr, float opt);

// The record's process entry: render `sampleFrames` samples from index `buffer_offset` of every
// pin buffer, whose addresses the host has stored in the pins' variables before the call.
// [host thread, audio path, after Open] Once per audio block.
typedef void(SE_CDECL* ProcessEntry)(ModuleRecord* record, int32_t buffer_offset,
                                     int32_t sampleFrames);

// The library's one export, `main`: creates a module and returns its record, or null.
// [host thread] Once per instance; sends no request. Instances made by separate calls share
// nothing.
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
  void* object;            // 32: the module object that embeds this record; opaque to the host
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

// Host -> module, through the record's dispatcher, each on the [host thread]. An opcode outside
// this list is answered 0 and changes nothing.
enum class ModuleOpcode : int32_t {
  // [any time, before the first block] Sends GetSampleClock and GetPinCount, then the module's
  // own SetPinStatus. A second Open rebuilds the pin table.
  Open = 0,
  // [any time, the last call] Also destroys the module; the dispatcher answers 1.
  Close = 1,
  SetSampleRate = 2,  // [any time] opt = samples per second; modules read it at Open
  SetBlockSize = 3,   // [any time] value = samples; stored only
  OpaqueQuery4 = 4,   // [any time] ptr; answered 0
  OpaqueQuery5 = 5,   // [any time] ptr; answered 0
  // [any time] index = pin, ptr = PinDescription*; answers 1 when the pin exists.
  GetPinProperties = 6,
  // [audio path] ptr = SeEvent*, copied into the queue: before the block in which it falls, and
  // stamped no earlier than the module's sample clock.
  AddEvent = 7,
  // [after Open] After a pause: sends GetSampleClock and lifts stale events to the new clock.
  Resume = 8,
  // [any time] ptr = ModuleProperties*; answers 1 when filled.
  GetModuleProperties = 9,
  // [any time] Answers 1 when no event waits; changes nothing.
  QueueEmpty = 10,
};

// Module -> host, through HostCallback, each on the [host thread] and only from inside the host
// call that its tag names.
enum class HostOpcode : int32_t {
  // [inside Open] index = pin, value = status, ptr = sample-clock time. (A module may send it
  // from any host call; the shipped ones do so once, at Open, for their output.)
  SetPinStatus = 0,
  // [inside any host call] index = pin. Lean frame only; nothing calls it.
  QueryPin = 1,
  // [inside the process entry] index = pin, value = the event's value, when a pin update of an
  // Indirect pin falls due.
  ForwardPinValue = 2,
  // [inside Open and Resume] Reply: the host's sample clock.
  GetSampleClock = 3,
  // [inside any host call] index = pin, value, ptr = sample-clock time. Lean frame only; nothing
  // calls it.
  PinRequest4 = 4,
  // [inside any host call] index = pin; reply: the clock of the first sample of the pin's current
  // buffer. Lean frame only; nothing calls it.
  GetBufferStartClock = 8,
  // [inside Open] Reply: the pins the host holds for the module.
  GetPinCount = 14,
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
