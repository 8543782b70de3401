// A stand-in for the real host application, driving one module instance of any library of this
// plug-in protocol through nothing but the binary interface: `main`, the record's dispatcher and
// process entry, and the host callback.
//
// It does what the real host does and no more: it answers the module's requests (the sample
// clock and the pin count; everything else gets a settable default), hands the module caller-owned
// audio buffers through the pins' bound variables, queues events, renders blocks and moves its
// sample clock on after each one. What it adds is visibility: every request the module makes is
// recorded with its reply, so that tests, a validator and a tracing host can see exactly what the
// module asked and when.
//
// The callback has no user-data argument, and the record pointer it brings is the module's to
// choose, so the host cannot trust it to find the instance. Instead every call into the library
// runs inside a guard that publishes the calling instance in a thread_local; a request arriving
// on that thread belongs to the innermost such call. Instances on different threads therefore
// never see each other's requests. One instance must be driven from one thread at a time, as the
// protocol requires of any host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/plugin_library.h"
#include "se_sdk/se_abi.h"

namespace se_host {

// Which call into the library was running when the module sent a request.
enum class CallSite : int32_t {
  kEntry,       // `main`
  kDispatcher,  // the record's dispatcher; HostRequest::dispatch_opcode tells which opcode
  kProcess,     // the record's process entry
};

// One request that a module sent through the host callback, and the host's reply.
struct HostRequest {
  const ModuleRecord* record;  // the record pointer the module passed
  int32_t opcode;              // a HostOpcode, or whatever the module sent
  int32_t index;
  int32_t value;
  std::uintptr_t ptr;       // the pointer-sized argument as an integer (a sample-clock time for
                            // SetPinStatus and PinRequest4)
  float opt;                // 0.0 from a well-behaved module
  int32_t reply;            // what the host answered
  bool foreign_record;      // `record` is not this instance's own record
  CallSite site;            // the call into the library in progress
  int32_t dispatch_opcode;  // the dispatcher opcode in progress; 0 unless site is kDispatcher
};

// The three texts of a module's properties, copied; empty where the module wrote null.
struct ModuleTexts {
  std::string name;
  std::string id;
  std::string about;
};

// One pin as the module described it through the dispatcher, texts copied: the one pin type of
// every host built on this core.
struct PinInfo {
  int32_t index;
  std::string name;           // empty when the module wrote a null pointer
  int32_t direction;          // a PinDirection
  int32_t datatype;           // a PinDatatype
  std::string default_value;  // empty when the module wrote a null pointer
  std::string extra;          // the item list or ranges; empty when not written or null
  bool has_extra;             // the module wrote `extra` (possibly a null pointer)
  void* variable_address;     // the module member bound to the pin
  int32_t reply;              // the dispatcher's answer (exactly 1 from a well-behaved module)
  PinDescription raw;         // the record as the module left it; `extra` is null if unwritten

  bool IsAudio() const { return datatype == static_cast<int32_t>(PinDatatype::Audio); }
  bool IsOutput() const { return direction == static_cast<int32_t>(PinDirection::Output); }
  // An audio pin of any direction but Output is one the host fills.
  bool IsAudioInput() const { return IsAudio() && !IsOutput(); }
  bool IsAudioOutput() const { return IsAudio() && IsOutput(); }
};

// Texts a module hands over are read up to this many bytes; one without a terminator by then is
// taken as unterminated rather than followed through memory that is not the module's text.
inline constexpr size_t kModuleTextLimit = 65536;

// Copies the zero-terminated `text` (null reads as empty) into `out`; false when no terminator
// came within `limit` bytes. A wild pointer may still crash, which is why modhost runs module
// code in a child process.
bool ReadModuleText(const char* text, size_t limit, std::string* out);

// Asks the module to describe pin `index` into `description` (dispatcher opcode 6, through
// whatever wrapper the caller traces it with) and returns its answer.
using PinDescriber = std::function<int32_t(int32_t index, PinDescription* description)>;

// Describes pin `index` through `describe` and reads the description into `pin`. False when the
// module answers 0 (`problem` then empty) or when one of its texts has no terminator within
// kModuleTextLimit bytes (`problem` says which).
bool DescribePinWith(const PinDescriber& describe, int32_t index, PinInfo* pin,
                     std::string* problem);

// Asks the module for its properties into `properties` (dispatcher opcode 9, through whatever
// wrapper the caller traces it with) and returns its answer. The record handed over has room to
// spare behind the three words a module fills, as the real host's longer record has.
using PropertiesAsker = std::function<int32_t(ModuleProperties* properties)>;

// Reads the module's properties through `ask` into `texts`, each cut at kModuleTextLimit bytes.
// False, with `texts` untouched, when the module answers 0.
bool ReadModuleTextsWith(const PropertiesAsker& ask, ModuleTexts* texts);

// Describes pins 0, 1, 2... until the module answers 0. False, with `problem` set and `pins`
// holding the pins read so far, when a text is unterminated or `limit` pins were described
// without an end. `described`, when given, runs after each answer with the pin read from it
// (null when there is none), for a caller that shows each call with its result.
bool EnumeratePinsWith(const PinDescriber& describe, int32_t limit, std::vector<PinInfo>* pins,
                       std::string* problem,
                       const std::function<void(const PinInfo* pin)>& described = nullptr);

// Why an instance could not be created.
enum class CreateError {
  kNone,
  kEntryReturnedNull,  // `main` returned a null record
  kNoMagic,            // the record does not start with kModuleRecordMagic
  kNoEntryPoints,      // the record's dispatcher or process entry is null
};

// A short lower-case name for `error`, for messages.
const char* CreateErrorName(CreateError error);

class HostedModule;

// What HostedModule::Create gives back: an instance, or the reason there is none.
struct CreateResult {
  std::unique_ptr<HostedModule> module;  // null on failure
  CreateError error = CreateError::kNone;
  std::string error_text;  // empty on success
};

class HostedModule {
 public:
  // Sees each request right after it was answered, whether recording is on or not.
  using RequestObserver = std::function<void(const HostRequest&)>;
  // Chooses the buffer for one audio pin; null leaves the pin unbound.
  using BufferChooser = std::function<float*(const PinInfo&)>;

  // Enumeration stops here even if a module answers for every index.
  static constexpr int32_t kPinLimit = 4096;

  // Creates an instance by calling `entry` (a library's `main`) with the host callback. The
  // caller keeps the library loaded for the instance's whole life. Requests that the module sends
  // from inside `main` are recorded like any other; the record pointer they carry is judged once
  // `main` has returned it.
  static CreateResult Create(PluginEntry entry);
  // The same for a loaded library, which the instance keeps loaded until it is destroyed.
  static CreateResult Create(std::shared_ptr<const PluginLibrary> library);

  // Closes the module if it is still open.
  ~HostedModule();
  HostedModule(const HostedModule&) = delete;
  HostedModule& operator=(const HostedModule&) = delete;

  // The record that `main` returned, for inspecting its bytes. Dangling once closed() is true.
  ModuleRecord* record() const { return record_; }
  // True once dispatcher opcode 1 went to the module. From then on every call below is ignored
  // and answers 0: the module and its record no longer exist.
  bool closed() const { return closed_; }

  // ---- The host's answers -----------------------------------------------------------------------

  // The host's sample clock: the reply to GetSampleClock. Process advances it.
  uint32_t sample_clock() const { return sample_clock_; }
  void set_sample_clock(uint32_t clock) { sample_clock_ = clock; }
  // The reply to GetPinCount: the pins the host holds for the module. 0 by default.
  int32_t pin_count() const { return pin_count_; }
  void set_pin_count(int32_t count) { pin_count_ = count; }
  // The reply to every other request. 0 by default.
  int32_t default_reply() const { return default_reply_; }
  void set_default_reply(int32_t reply) { default_reply_ = reply; }

  // ---- What the module asked --------------------------------------------------------------------

  // The recorded requests, oldest first.
  const std::vector<HostRequest>& requests() const { return requests_; }
  void ClearRequests() { requests_.clear(); }
  // Recording is on by default; switch it off for long renders. Counting goes on regardless.
  bool recording() const { return recording_; }
  void set_recording(bool on) { recording_ = on; }
  // Installs an observer (or removes it, with an empty function). It runs on the module's thread
  // inside the module's call, so it must not call into this same instance.
  void set_observer(RequestObserver observer) { observer_ = std::move(observer); }
  // Requests since creation, recorded or not, and those among them with a foreign record.
  uint64_t request_count() const { return request_count_; }
  uint64_t foreign_request_count() const { return foreign_request_count_; }
  // Requests that arrived on a thread not inside any call into a library, process-wide. Nobody
  // could be asked for those; they were answered 0 and are recorded nowhere.
  static uint64_t StrayRequestCount();

  // ---- The dispatcher, one wrapper per opcode ---------------------------------------------------

  // Any opcode with any values, as validators need. Opcode 1 marks the instance closed.
  int32_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
  int32_t Open();
  // Closes and destroys the module; answers the dispatcher's reply (1).
  int32_t Close();
  int32_t SetSampleRate(float sample_rate);
  int32_t SetBlockSize(int32_t block_size);
  int32_t OpaqueQuery4(void* ptr);
  int32_t OpaqueQuery5(void* ptr);
  int32_t GetPinProperties(int32_t index, PinDescription* description);
  // Hands the module a copy of `event`; the caller's record is never passed in.
  int32_t AddEvent(const SeEvent& event);
  int32_t Resume();
  int32_t GetModuleProperties(ModuleProperties* properties);
  // 1 when the module has no event waiting.
  int32_t QueueEmpty();

  // ---- Built on the dispatcher ------------------------------------------------------------------

  // Reads the module's properties into `texts`, each cut at kModuleTextLimit bytes. False, with
  // `texts` untouched, when the module does not answer.
  bool ReadModuleTexts(ModuleTexts* texts);

  // Asks for pin 0, 1, 2... until the module answers 0, or `limit` pins were described, or a
  // pin's text has no terminator (EnumeratePinsWith tells why).
  std::vector<PinInfo> EnumeratePins(int32_t limit = kPinLimit);
  // Describes one pin. False when the module does not answer for `index` or a text of it has no
  // terminator.
  bool DescribePin(int32_t index, PinInfo* pin);

  // Binds `buffer` to audio pin `index` by storing its address in the pin's bound variable, as the
  // host does before each block. The buffer stays the caller's and must hold every sample that a
  // block will touch. False, and nothing written, when the pin is not an audio pin with a bound
  // variable.
  bool BindAudioPin(int32_t index, float* buffer);
  // Binds every audio pin to the buffer that `choose` gives for it. Returns the number bound.
  int32_t BindAudioPins(const BufferChooser& choose);

  // Queues a pin update (event type 0): `status` and `value` for pin `index` at sample-clock time
  // `time_stamp`.
  int32_t PinUpdate(int32_t index, int32_t status, int32_t value, uint32_t time_stamp);

  // ---- Rendering --------------------------------------------------------------------------------

  // Renders `sample_frames` samples from `buffer_offset` of every bound buffer through the
  // record's process entry. Afterwards the host's clock is `sample_frames` further on (only when
  // `sample_frames` > 0), so a later Resume hands the module a clock consistent with its own.
  void Process(int32_t buffer_offset, int32_t sample_frames);
  // Process(0, sample_frames): one whole block at the start of the buffers.
  void RenderBlock(int32_t sample_frames) { Process(0, sample_frames); }

 private:
  class CallScope;

  HostedModule() = default;
  static CreateResult CreateWith(PluginEntry entry, std::shared_ptr<const PluginLibrary> library);
  static int32_t SE_CDECL Callback(ModuleRecord* record, int32_t opcode, int32_t index,
                                   int32_t value, void* ptr, float opt);
  int32_t Answer(ModuleRecord* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                 float opt) noexcept;
  bool usable() const { return record_ != nullptr && !closed_; }

  // Declared first so that it is released last, after the module is closed.
  std::shared_ptr<const PluginLibrary> library_;
  ModuleRecord* record_ = nullptr;
  bool closed_ = false;

  uint32_t sample_clock_ = 0;
  int32_t pin_count_ = 0;
  int32_t default_reply_ = 0;

  std::vector<HostRequest> requests_;
  bool recording_ = true;
  RequestObserver observer_;
  uint64_t request_count_ = 0;
  uint64_t foreign_request_count_ = 0;

  // The call into the library in progress, kept by CallScope.
  CallSite site_ = CallSite::kEntry;
  int32_t dispatch_opcode_ = 0;
};

}  // namespace se_host
