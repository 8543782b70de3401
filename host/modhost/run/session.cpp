// One module instance and its observers (see session.h).
#include "host/modhost/run/session.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace modhost {

namespace {

int32_t OpcodeValue(ModuleOpcode opcode) { return static_cast<int32_t>(opcode); }

}  // namespace

std::unique_ptr<Session> Session::Create(std::shared_ptr<const se_host::PluginLibrary> library,
                                         const SessionSetup& setup,
                                         se_host::CreateResult* failure) {
  std::unique_ptr<Session> session(new Session());
  session->id_ = setup.id;
  session->observers_ = setup.observers;
  session->library_ = library;
  ModuleCall call;
  call.kind = ModuleCall::Kind::kEntry;
  session->Calling(call);
  se_host::CreateResult created = se_host::HostedModule::Create(std::move(library));
  if (!created.module) {
    session->Returned(call, 0);
    *failure = std::move(created);
    return nullptr;
  }
  session->host_ = std::move(created.module);
  call.record = session->host_->record();
  session->Returned(call, 1);
  // The host core records every request until told otherwise, so those sent from inside `main`,
  // before anyone could watch, are still there to be shown.
  for (const se_host::HostRequest& request : session->host_->requests()) {
    for (SessionObserver* observer : session->observers_) observer->Requested(*session, request);
  }
  if (!setup.record_requests) {
    // A long render would otherwise keep every request it ever made.
    session->host_->set_recording(false);
    session->host_->ClearRequests();
  }
  Session* self = session.get();
  session->host_->set_observer([self](const se_host::HostRequest& request) {
    for (SessionObserver* observer : self->observers_) observer->Requested(*self, request);
  });
  return session;
}

Session::~Session() {
  if (host_ && !host_->closed()) Close();
  ModuleCall call;
  call.kind = ModuleCall::Kind::kUnload;
  Calling(call);
  host_.reset();
  library_.reset();
  Returned(call, 0);
}

void Session::AddObserver(SessionObserver* observer) { observers_.push_back(observer); }

void Session::RemoveObserver(SessionObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void Session::Calling(const ModuleCall& call) {
  for (SessionObserver* observer : observers_) observer->Calling(*this, call);
}

void Session::Returned(const ModuleCall& call, int32_t reply) {
  // Observers unwind in the opposite order, so that one that brackets the call (CallSites) sees
  // the others' work inside its bracket.
  for (auto observer = observers_.rbegin(); observer != observers_.rend(); ++observer) {
    (*observer)->Returned(*this, call, reply);
  }
}

ModuleCall Session::DispatcherCall(int32_t opcode, int32_t index, int32_t value, void* ptr,
                                   float opt) const {
  ModuleCall call;
  call.kind = ModuleCall::Kind::kDispatcher;
  call.opcode = opcode;
  call.index = index;
  call.value = value;
  call.ptr = ptr;
  call.opt = opt;
  call.clock = host_->sample_clock();
  return call;
}

int32_t Session::Run(const ModuleCall& call) {
  Calling(call);
  return host_->Dispatch(call.opcode, call.index, call.value, call.ptr, call.opt);
}

int32_t Session::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
  const ModuleCall call = DispatcherCall(opcode, index, value, ptr, opt);
  const int32_t reply = Run(call);
  Returned(call, reply);
  return reply;
}

int32_t Session::Open() { return Dispatch(OpcodeValue(ModuleOpcode::Open), 0, 0, nullptr, 0.0f); }

int32_t Session::Close() { return Dispatch(OpcodeValue(ModuleOpcode::Close), 0, 0, nullptr, 0.0f); }

int32_t Session::SetSampleRate(float sample_rate) {
  return Dispatch(OpcodeValue(ModuleOpcode::SetSampleRate), 0, 0, nullptr, sample_rate);
}

int32_t Session::SetBlockSize(int32_t block_size) {
  return Dispatch(OpcodeValue(ModuleOpcode::SetBlockSize), 0, block_size, nullptr, 0.0f);
}

int32_t Session::Resume() {
  return Dispatch(OpcodeValue(ModuleOpcode::Resume), 0, 0, nullptr, 0.0f);
}

int32_t Session::QueueEmpty() {
  return Dispatch(OpcodeValue(ModuleOpcode::QueueEmpty), 0, 0, nullptr, 0.0f);
}

int32_t Session::AddEvent(const SeEvent& event) {
  SeEvent copy = event;
  copy.next = nullptr;
  return Dispatch(OpcodeValue(ModuleOpcode::AddEvent), 0, 0, &copy, 0.0f);
}

int32_t Session::PinUpdate(int32_t pin, int32_t status, int32_t value, uint32_t time_stamp) {
  SeEvent event = {};
  event.time_stamp = time_stamp;
  event.event_type = static_cast<int32_t>(SeEventType::PinUpdate);
  event.value1 = status;
  event.value2 = value;
  event.data = reinterpret_cast<void*>(static_cast<std::intptr_t>(pin));
  return AddEvent(event);
}

bool Session::ReadModuleTexts(se_host::ModuleTexts* texts) {
  ModuleCall call;
  int32_t reply = 0;
  const bool answered = se_host::ReadModuleTextsWith(
      [&](ModuleProperties* properties) {
        call =
            DispatcherCall(OpcodeValue(ModuleOpcode::GetModuleProperties), 0, 0, properties, 0.0f);
        reply = Run(call);
        return reply;
      },
      texts);
  if (answered) call.texts = texts;
  Returned(call, reply);
  return answered;
}

void Session::Process(int32_t buffer_offset, int32_t sample_frames, int64_t first_sample) {
  ModuleCall call;
  call.kind = ModuleCall::Kind::kProcess;
  call.buffer_offset = buffer_offset;
  call.sample_frames = sample_frames;
  call.first_sample = first_sample;
  call.clock = host_->sample_clock();
  Calling(call);
  host_->Process(buffer_offset, sample_frames);
  Returned(call, 0);
}

bool Session::EnumeratePins(std::vector<se_host::PinInfo>* pins, std::string* problem) {
  ModuleCall call;
  int32_t reply = 0;
  return se_host::EnumeratePinsWith(
      [&](int32_t index, PinDescription* description) {
        call = DispatcherCall(OpcodeValue(ModuleOpcode::GetPinProperties), index, 0, description,
                              0.0f);
        reply = Run(call);
        return reply;
      },
      se_host::HostedModule::kPinLimit, pins, problem,
      [&](const se_host::PinInfo* pin) {
        call.pin = pin;
        Returned(call, reply);
      });
}

const std::vector<se_host::PinInfo>& Session::pins() {
  if (!pins_read_) {
    pins_read_ = true;
    if (!EnumeratePins(&pins_, &pin_problem_)) pins_.clear();
  }
  return pins_;
}

bool Session::Bind(int32_t pin, float* buffer) {
  const std::vector<se_host::PinInfo>& described = pins();
  if (pin < 0 || static_cast<size_t>(pin) >= described.size()) return false;
  const se_host::PinInfo& target = described[static_cast<size_t>(pin)];
  if (!target.IsAudio() || target.variable_address == nullptr) return false;
  // The bound variable of an audio pin is a float* member of the module; the host owns its value.
  std::memcpy(target.variable_address, &buffer, sizeof buffer);
  return true;
}

}  // namespace modhost
