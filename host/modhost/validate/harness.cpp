// The validator's workbench (see harness.h).
#include "host/modhost/validate/harness.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>

namespace modhost {
namespace validation {

namespace {

uint32_t Bits(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float FromBits(uint32_t bits) {
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

const char* ModuleOpcodeName(int32_t opcode) {
  static const char* const kNames[] = {"Open",
                                       "Close",
                                       "SetSampleRate",
                                       "SetBlockSize",
                                       "OpaqueQuery4",
                                       "OpaqueQuery5",
                                       "GetPinProperties",
                                       "AddEvent",
                                       "Resume",
                                       "GetModuleProperties",
                                       "QueueEmpty"};
  if (opcode >= 0 && opcode <= 10) return kNames[opcode];
  return "unknown";
}

const char* HostOpcodeName(int32_t opcode) {
  switch (opcode) {
    case 0:
      return "SetPinStatus";
    case 1:
      return "QueryPin";
    case 2:
      return "ForwardPinValue";
    case 3:
      return "GetSampleClock";
    case 4:
      return "PinRequest4";
    case 8:
      return "GetBufferStartClock";
    case 14:
      return "GetPinCount";
    default:
      return "unknown";
  }
}

const size_t kMaxFaultsPerRender = 1;

std::string Samples(int64_t count) {
  return std::to_string(count) + (count == 1 ? " sample" : " samples");
}
const size_t kMaxFailures = 12;

void AddFault(std::vector<std::string>* faults, const std::string& fault) {
  if (faults->size() < kMaxFaultsPerRender) faults->push_back(fault);
}

}  // namespace

// ---- Results ----------------------------------------------------------------------------------

const char* LoadStageName(LoadStage stage) {
  switch (stage) {
    case LoadStage::kNotTried:
      return "not-tried";
    case LoadStage::kLoaded:
      return "loaded";
    case LoadStage::kCannotLoad:
      return "cannot-load";
    case LoadStage::kNoMain:
      return "no-main";
    case LoadStage::kBadRecord:
      return "bad-record";
  }
  return "not-tried";
}

LoadStage LoadStageFromName(const std::string& name) {
  for (LoadStage stage :
       {LoadStage::kLoaded, LoadStage::kCannotLoad, LoadStage::kNoMain, LoadStage::kBadRecord}) {
    if (name == LoadStageName(stage)) return stage;
  }
  return LoadStage::kNotTried;
}

// ---- Texts and pins ---------------------------------------------------------------------------

std::string Number(double value) { return Format("%.9g", value); }

std::string Pointer(const void* pointer) {
  return Format("0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(pointer));
}

bool IsControl(const se_host::PinInfo& pin) {
  const bool settable = pin.datatype == static_cast<int32_t>(PinDatatype::Enum) ||
                        pin.datatype == static_cast<int32_t>(PinDatatype::Bool) ||
                        pin.datatype == static_cast<int32_t>(PinDatatype::Int);
  return settable && !pin.IsOutput() && pin.variable_address != nullptr;
}

float DefaultSignal(const se_host::PinInfo& pin) {
  return VoltsToSample(DefaultVolts(pin, nullptr));
}

std::vector<int32_t> ControlValues(const se_host::PinInfo& pin) {
  std::vector<int32_t> values;
  auto add = [&values](int32_t value) {
    if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
  };
  if (pin.datatype == static_cast<int32_t>(PinDatatype::Enum)) {
    for (const EnumItem& item : ParseEnumItems(pin.has_extra ? pin.extra : std::string())) {
      if (values.size() == 64) break;
      add(item.value);
    }
    if (values.empty()) {
      add(0);
      add(1);
    }
  } else if (pin.datatype == static_cast<int32_t>(PinDatatype::Bool)) {
    add(0);
    add(1);
  } else {
    const int32_t base = DefaultControlValue(pin, nullptr);
    for (int32_t value : {base, base + 1, base - 1, 0, 1}) add(value);
  }
  return values;
}

std::string PinLabel(const se_host::PinInfo& pin) {
  return "pin " + std::to_string(pin.index) + " " + DoubleQuoted(pin.name);
}

std::string PinLayout::OutputName(size_t output) const {
  // An instance that describes more outputs than the first one did still gets a name.
  if (output >= audio_outputs.size()) return "output " + std::to_string(output);
  return PinLabel(pins[static_cast<size_t>(audio_outputs[output])]);
}

// ---- Scripts and block plans ------------------------------------------------------------------

std::string Script::Describe(const PinLayout& layout) const {
  std::string text = "script of " + std::to_string(length) + " samples; input levels:";
  for (int32_t pin : layout.audio_inputs) {
    const float level = static_cast<size_t>(pin) < levels.size()
                            ? levels[static_cast<size_t>(pin)]
                            : DefaultSignal(layout.pins[static_cast<size_t>(pin)]);
    text += " pin " + std::to_string(pin) + " = " + Number(level) + ";";
  }
  if (layout.audio_inputs.empty()) text += " none";
  text += "\n";
  if (events.empty()) return text + "  no events\n";
  text += "  events in the order they are handed over (@ sample after the first):\n";
  size_t shown = 0;
  for (const ScriptEvent& event : events) {
    if (++shown > 200) {
      text += "  ... " + std::to_string(events.size() - 200) + " more\n";
      break;
    }
    std::string line = "  @" + std::to_string(event.at);
    if (event.update) {
      if (event.type == 0 && event.data == nullptr) {
        const bool known = event.pin >= 0 && static_cast<size_t>(event.pin) < layout.pins.size();
        line += known ? " " + PinLabel(layout.pins[static_cast<size_t>(event.pin)])
                      : " pin " + std::to_string(event.pin);
        line += " status " + std::to_string(event.status) + " value " + std::to_string(event.value);
      } else {
        line += " type " + std::to_string(event.type) + " value1 " + std::to_string(event.status) +
                " value2 " + std::to_string(event.value) + " data " + Pointer(event.data);
      }
    } else {
      line += " pin " + std::to_string(event.pin) + " (no event)";
    }
    if (event.sets_level) line += ", input level " + Number(event.level);
    if (event.lead > 0) line += ", handed over " + std::to_string(event.lead) + " blocks early";
    text += line + "\n";
  }
  return text;
}

std::string BlockPlan::Describe() const {
  std::string text = "blocks:";
  const bool uniform =
      !sizes.empty() &&
      std::all_of(sizes.begin(), sizes.end() - 1, [&](int32_t size) { return size == sizes[0]; });
  if (uniform) {
    text += " " + std::to_string(sizes.size() - 1) + " x " + std::to_string(sizes[0]) + " then " +
            std::to_string(sizes.back());
  } else {
    for (size_t index = 0; index < sizes.size() && index < 64; ++index) {
      text += " " + std::to_string(sizes[index]);
    }
    if (sizes.size() > 64) text += " ...";
  }
  if (shared_buffer) {
    text += "; one buffer per pin for the whole render";
  } else if (std::any_of(offsets.begin(), offsets.end(), [](int32_t offset) { return offset; })) {
    text += "; buffer offsets:";
    for (size_t index = 0; index < offsets.size() && index < 64; ++index) {
      text += " " + std::to_string(offsets[index]);
    }
    if (offsets.size() > 64) text += " ...";
  }
  return text + "\n";
}

std::string BlockPlan::Summary() const {
  if (sizes.empty()) return "no blocks";
  const auto range = std::minmax_element(sizes.begin(), sizes.end() - 1);
  std::string text = std::to_string(sizes.size()) + (sizes.size() == 1 ? " block" : " blocks");
  if (sizes.size() == 1 || *range.first == *range.second) {
    text += " of " + Samples(sizes.front());
  } else {
    text +=
        " of " + std::to_string(*range.first) + " to " + std::to_string(*range.second) + " samples";
  }
  const int32_t deepest = *std::max_element(offsets.begin(), offsets.end());
  if (shared_buffer) {
    text += " in one buffer";
  } else if (deepest > 0) {
    text += " at offsets up to " + std::to_string(deepest);
  }
  return text;
}

BlockPlan BlockPlan::Uniform(uint32_t length, int32_t size) {
  BlockPlan plan;
  for (uint32_t position = 0; position < length; position += static_cast<uint32_t>(size)) {
    plan.sizes.push_back(static_cast<int32_t>(std::min<uint32_t>(size, length - position)));
  }
  plan.offsets.assign(plan.sizes.size(), 0);
  return plan;
}

BlockPlan BlockPlan::CutAt(uint32_t length, std::vector<uint32_t> cuts) {
  cuts.push_back(length);
  std::sort(cuts.begin(), cuts.end());
  BlockPlan plan;
  uint32_t position = 0;
  for (uint32_t cut : cuts) {
    if (cut <= position || cut > length) continue;
    plan.sizes.push_back(static_cast<int32_t>(cut - position));
    position = cut;
  }
  plan.offsets.assign(plan.sizes.size(), 0);
  return plan;
}

BlockPlan BlockPlan::RandomSizes(uint32_t length, int32_t max_size, int32_t max_offset,
                                 Random& random) {
  BlockPlan plan;
  for (uint32_t position = 0; position < length;) {
    const uint32_t size = static_cast<uint32_t>(random.Between(1, max_size));
    plan.sizes.push_back(static_cast<int32_t>(std::min(size, length - position)));
    position += static_cast<uint32_t>(plan.sizes.back());
  }
  plan.offsets.assign(plan.sizes.size(), 0);
  return plan.WithRandomOffsets(max_offset, random);
}

BlockPlan& BlockPlan::WithRandomOffsets(int32_t max_offset, Random& random) {
  for (int32_t& offset : offsets) offset = static_cast<int32_t>(random.Between(0, max_offset));
  return *this;
}

BlockPlan& BlockPlan::Shared() {
  shared_buffer = true;
  int32_t position = 0;
  for (size_t index = 0; index < sizes.size(); ++index) {
    offsets[index] = position;
    position += sizes[index];
  }
  return *this;
}

// ---- Instances --------------------------------------------------------------------------------

void Tracer::Line(const std::string& text) {
  if (!on_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

Instance::Instance(std::unique_ptr<se_host::HostedModule> host, int id, Tracer* tracer)
    : host_(std::move(host)),
      id_(id),
      tracer_(tracer),
      watcher_(std::make_shared<std::function<void(const se_host::HostRequest&)>>()) {
  const int instance_id = id_;
  Tracer* lines = tracer_;
  auto trace = [instance_id, lines](const se_host::HostRequest& request) {
    lines->Line(Format("[#%d]   host request %d (%s) index %d value %d ptr 0x%" PRIxPTR
                       " opt %s%s -> %d",
                       instance_id, request.opcode, HostOpcodeName(request.opcode), request.index,
                       request.value, request.ptr, Number(request.opt).c_str(),
                       request.foreign_record ? " [foreign record]" : "", request.reply));
  };
  // The observer comes too late for requests sent from inside `main`; the log still has them.
  if (tracer_->on()) {
    for (const se_host::HostRequest& request : host_->requests()) trace(request);
  }
  std::shared_ptr<std::function<void(const se_host::HostRequest&)>> watcher = watcher_;
  host_->set_observer([lines, trace, watcher](const se_host::HostRequest& request) {
    if (lines->on()) trace(request);
    if (*watcher) (*watcher)(request);
  });
}

void Instance::WatchRequests(std::function<void(const se_host::HostRequest&)> watcher) {
  *watcher_ = std::move(watcher);
}

Instance::~Instance() {
  if (!host_->closed()) Close();
}

std::string Instance::Describe(int32_t opcode, int32_t index, int32_t value, void* ptr,
                               float opt) const {
  return Format("[#%d] dispatcher %d (%s) index %d value %d ptr %s opt %s", id_, opcode,
                ModuleOpcodeName(opcode), index, value, Pointer(ptr).c_str(), Number(opt).c_str());
}

int32_t Instance::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
  if (tracer_->on()) tracer_->Line(Describe(opcode, index, value, ptr, opt));
  const int32_t reply = host_->Dispatch(opcode, index, value, ptr, opt);
  if (tracer_->on()) tracer_->Line(Format("[#%d]   -> %d", id_, reply));
  return reply;
}

void Instance::Process(int32_t buffer_offset, int32_t sample_frames) {
  if (tracer_->on()) {
    tracer_->Line(Format("[#%d] process buffer_offset %d sampleFrames %d (host clock %u)", id_,
                         buffer_offset, sample_frames, host_->sample_clock()));
  }
  host_->Process(buffer_offset, sample_frames);
}

int32_t Instance::Open() { return Dispatch(0, 0, 0, nullptr, 0.0f); }
int32_t Instance::Close() { return Dispatch(1, 0, 0, nullptr, 0.0f); }
int32_t Instance::SetSampleRate(float sample_rate) {
  return Dispatch(2, 0, 0, nullptr, sample_rate);
}
int32_t Instance::SetBlockSize(int32_t block_size) {
  return Dispatch(3, 0, block_size, nullptr, 0.0f);
}
int32_t Instance::Resume() { return Dispatch(8, 0, 0, nullptr, 0.0f); }
int32_t Instance::QueueEmpty() { return Dispatch(10, 0, 0, nullptr, 0.0f); }

int32_t Instance::AddEvent(const SeEvent& event) {
  SeEvent copy = event;
  copy.next = nullptr;
  if (tracer_->on()) {
    tracer_->Line(Format("[#%d] event time_stamp %u type %d value1 %d value2 %d data %s", id_,
                         copy.time_stamp, copy.event_type, copy.value1, copy.value2,
                         Pointer(copy.data).c_str()));
  }
  return Dispatch(7, 0, 0, &copy, 0.0f);
}

int32_t Instance::PinUpdate(int32_t pin, int32_t status, int32_t value, uint32_t time_stamp) {
  SeEvent event = {};
  event.time_stamp = time_stamp;
  event.event_type = 0;
  event.value1 = status;
  event.value2 = value;
  event.data = reinterpret_cast<void*>(static_cast<std::intptr_t>(pin));
  return AddEvent(event);
}

const std::vector<se_host::PinInfo>& Instance::pins() {
  if (!pins_read_) {
    pins_read_ = true;
    if (!EnumeratePins(*this, se_host::HostedModule::kPinLimit, &pins_, &pin_problem_)) {
      pins_.clear();
    }
  }
  return pins_;
}

void Instance::Bind(int32_t pin, float* buffer) {
  const std::vector<se_host::PinInfo>& described = pins();
  if (pin < 0 || static_cast<size_t>(pin) >= described.size()) return;
  const se_host::PinInfo& target = described[static_cast<size_t>(pin)];
  if (!target.IsAudio() || target.variable_address == nullptr) return;
  std::memcpy(target.variable_address, &buffer, sizeof buffer);
}

bool EnumeratePins(Instance& instance, int32_t limit, std::vector<se_host::PinInfo>* pins,
                   std::string* problem) {
  return se_host::EnumeratePinsWith(
      [&instance](int32_t index, PinDescription* description) {
        return instance.Dispatch(6, index, 0, description, 0.0f);
      },
      limit, pins, problem);
}

// ---- Rendering --------------------------------------------------------------------------------

RenderSession::RenderSession(Instance& instance, const Script& script, const BlockPlan& plan)
    : instance_(instance), script_(script), plan_(plan), origin_(instance.clock()) {
  const std::vector<se_host::PinInfo>& pins = instance.pins();
  std::vector<uint32_t> starts;
  uint32_t total = 0;
  for (int32_t size : plan.sizes) {
    starts.push_back(total);
    total += static_cast<uint32_t>(std::max(size, 0));
  }
  deliveries_.resize(plan.sizes.size());
  for (size_t index = 0; index < script.events.size() && !starts.empty(); ++index) {
    const ScriptEvent& event = script.events[index];
    const int64_t own_block =
        std::upper_bound(starts.begin(), starts.end(), event.at) - starts.begin() - 1;
    const int64_t block = std::max<int64_t>(0, own_block - event.lead);
    deliveries_[static_cast<size_t>(block)].push_back(index);
  }

  tracks_.resize(pins.size());
  for (const se_host::PinInfo& pin : pins) {
    if (!pin.IsAudio()) continue;
    audio_pins_.push_back(pin.index);
    if (!pin.IsAudioInput()) continue;
    const size_t slot = static_cast<size_t>(pin.index);
    float level = slot < script.levels.size() ? script.levels[slot] : DefaultSignal(pin);
    std::vector<std::pair<uint32_t, float>> changes;
    for (const ScriptEvent& event : script.events) {
      if (event.sets_level && event.pin == pin.index) changes.push_back({event.at, event.level});
    }
    std::stable_sort(
        changes.begin(), changes.end(),
        [](const std::pair<uint32_t, float>& first, const std::pair<uint32_t, float>& second) {
          return first.first < second.first;
        });
    std::vector<float>& track = tracks_[slot];
    track.resize(script.length);
    size_t next_change = 0;
    for (uint32_t sample = 0; sample < script.length; ++sample) {
      while (next_change < changes.size() && changes[next_change].first <= sample) {
        level = changes[next_change++].second;
      }
      track[sample] = level;
    }
  }
  for (const se_host::PinInfo& pin : pins) {
    if (pin.IsAudioOutput()) result_.outputs.emplace_back(script.length, 0.0f);
  }
  buffers_.resize(audio_pins_.size());
  if (plan.shared_buffer) {
    size_t extent = 0;
    for (size_t block = 0; block < plan.sizes.size(); ++block) {
      extent = std::max(extent, static_cast<size_t>(plan.offsets[block] + plan.sizes[block]));
    }
    for (size_t slot = 0; slot < audio_pins_.size(); ++slot) {
      std::vector<float>& storage = buffers_[slot].storage[0];
      storage.assign(extent + 2 * kGuardSamples, FromBits(kUnwrittenPattern));
      const std::vector<float>& track = tracks_[static_cast<size_t>(audio_pins_[slot])];
      for (size_t sample = 0; sample < track.size() && sample < extent; ++sample) {
        storage[kGuardSamples + sample] = track[sample];
      }
    }
  }
}

void RenderSession::Deliver(size_t block) {
  for (size_t index : deliveries_[block]) {
    const ScriptEvent& scripted = script_.events[index];
    if (!scripted.update) continue;
    SeEvent event = {};
    event.time_stamp = origin_ + scripted.at;
    event.event_type = scripted.type;
    event.value1 = scripted.status;
    event.value2 = scripted.value;
    event.data = scripted.data;
    if (scripted.type == 0 && scripted.data == nullptr) {
      event.data = reinterpret_cast<void*>(static_cast<std::intptr_t>(scripted.pin));
    }
    instance_.AddEvent(event);
  }
}

void RenderSession::Step() {
  if (done()) return;
  const size_t block = block_;
  const int32_t size = plan_.sizes[block];
  const int32_t offset = plan_.offsets[block];
  const std::vector<se_host::PinInfo>& pins = instance_.pins();
  Deliver(block);

  std::vector<std::vector<float>> before(audio_pins_.size());
  for (size_t slot = 0; slot < audio_pins_.size(); ++slot) {
    const se_host::PinInfo& pin = pins[static_cast<size_t>(audio_pins_[slot])];
    std::vector<float>& storage = buffers_[slot].storage[plan_.shared_buffer ? 0 : block % 2];
    if (!plan_.shared_buffer) {
      storage.assign(static_cast<size_t>(offset + size + 2 * kGuardSamples),
                     FromBits(kUnwrittenPattern));
      if (pin.IsAudioInput()) {
        const std::vector<float>& track = tracks_[static_cast<size_t>(pin.index)];
        for (int32_t sample = 0; sample < size; ++sample) {
          storage[static_cast<size_t>(kGuardSamples + offset + sample)] =
              track[position_ + static_cast<uint32_t>(sample)];
        }
      }
    }
    instance_.Bind(pin.index, storage.data() + kGuardSamples);
    before[slot] = storage;
  }

  instance_.Process(offset, size);

  size_t output = 0;
  bool span_fault = false;
  bool input_fault = false;
  for (size_t slot = 0; slot < audio_pins_.size(); ++slot) {
    const se_host::PinInfo& pin = pins[static_cast<size_t>(audio_pins_[slot])];
    const std::vector<float>& storage = buffers_[slot].storage[plan_.shared_buffer ? 0 : block % 2];
    const std::string where =
        Format("block %zu (%s at buffer offset %d): ", block, Samples(size).c_str(), offset) +
        PinLabel(pin);
    const int64_t span_begin = kGuardSamples + offset;
    const int64_t span_end = span_begin + size;
    int64_t unwritten = 0, first_unwritten = -1, outside = 0, first_outside = -1;
    for (int64_t index = 0; index < static_cast<int64_t>(storage.size()); ++index) {
      const bool in_span = index >= span_begin && index < span_end;
      const bool changed = Bits(storage[static_cast<size_t>(index)]) !=
                           Bits(before[slot][static_cast<size_t>(index)]);
      if (pin.IsAudioOutput() && in_span) {
        if (Bits(storage[static_cast<size_t>(index)]) == kUnwrittenPattern) {
          if (unwritten++ == 0) first_unwritten = index;
        }
      } else if (changed) {
        if (outside++ == 0) first_outside = index;
      }
    }
    if (pin.IsAudioOutput()) {
      span_fault = span_fault || unwritten > 0 || outside > 0;
      if (unwritten > 0) {
        AddFault(&result_.span_faults,
                 where + Format(": %" PRId64 " of %s of the span left unwritten, the first at"
                                " buffer index %" PRId64,
                                unwritten, Samples(size).c_str(), first_unwritten - kGuardSamples));
      }
      if (outside > 0) {
        AddFault(&result_.span_faults,
                 where + Format(": wrote %s outside its span, the first at buffer index %" PRId64
                                " (the span is %d to %d)",
                                Samples(outside).c_str(), first_outside - kGuardSamples, offset,
                                offset + size - 1));
      }
      std::vector<float>& out = result_.outputs[output++];
      for (int32_t sample = 0; sample < size; ++sample) {
        out[position_ + static_cast<uint32_t>(sample)] =
            storage[static_cast<size_t>(span_begin + sample)];
      }
    } else if (outside > 0) {
      input_fault = true;
      AddFault(&result_.input_faults,
               where + Format(": changed %s of the input buffer, the first at buffer index %" PRId64
                              " (the span is %d to %d)",
                              Samples(outside).c_str(), first_outside - kGuardSamples, offset,
                              offset + size - 1));
    }
  }
  if (span_fault) ++result_.span_fault_blocks;
  if (input_fault) ++result_.input_fault_blocks;
  ++result_.blocks;
  position_ += static_cast<uint32_t>(size);
  ++block_;
}

RenderResult Render(Instance& instance, const Script& script, const BlockPlan& plan) {
  RenderSession session(instance, script, plan);
  while (!session.done()) session.Step();
  return std::move(session.result());
}

int64_t FirstDifference(const PinLayout& layout, const RenderResult& first,
                        const RenderResult& second, size_t from, size_t to, std::string* where) {
  int64_t earliest = -1;
  const size_t outputs = std::min(first.outputs.size(), second.outputs.size());
  for (size_t output = 0; output < outputs; ++output) {
    const std::vector<float>& one = first.outputs[output];
    const std::vector<float>& other = second.outputs[output];
    const size_t end = std::min({to, one.size(), other.size()});
    for (size_t sample = from; sample < end; ++sample) {
      if (Bits(one[sample]) == Bits(other[sample])) continue;
      if (earliest < 0 || static_cast<int64_t>(sample) < earliest) {
        earliest = static_cast<int64_t>(sample);
        if (where) {
          *where =
              Format("output %s at sample %zu: %s against %s", layout.OutputName(output).c_str(),
                     sample, Number(one[sample]).c_str(), Number(other[sample]).c_str());
        }
      }
      break;
    }
  }
  return earliest;
}

int64_t FirstNonFinite(const RenderResult& result, size_t from, size_t to, std::string* where,
                       const PinLayout& layout) {
  int64_t earliest = -1;
  for (size_t output = 0; output < result.outputs.size(); ++output) {
    const std::vector<float>& samples = result.outputs[output];
    for (size_t sample = from; sample < std::min(to, samples.size()); ++sample) {
      if (std::isfinite(samples[sample])) continue;
      if (earliest < 0 || static_cast<int64_t>(sample) < earliest) {
        earliest = static_cast<int64_t>(sample);
        if (where) {
          *where = Format("output %s is %s at sample %zu", layout.OutputName(output).c_str(),
                          Number(samples[sample]).c_str(), sample);
        }
      }
      break;
    }
  }
  return earliest;
}

// ---- Scripts from the pins --------------------------------------------------------------------

Script DefaultScript(const PinLayout& layout, uint32_t length) {
  Script script;
  script.length = length;
  script.levels.assign(layout.pins.size(), 0.0f);
  for (int32_t pin : layout.audio_inputs) {
    script.levels[static_cast<size_t>(pin)] = DefaultSignal(layout.pins[static_cast<size_t>(pin)]);
  }
  return script;
}

Script LivelyScript(const PinLayout& layout, uint32_t length, Random& random) {
  Script script = DefaultScript(layout, length);
  for (int32_t pin : layout.audio_inputs) {
    float& level = script.levels[static_cast<size_t>(pin)];
    if (level == 0.0f) level = static_cast<float>(std::round(random.Uniform(0.1, 0.9) * 1e4) / 1e4);
  }
  return script;
}

void AddRandomEvents(Script* script, const PinLayout& layout, size_t count, int32_t max_lead,
                     Random& random) {
  if (script->length == 0 || (layout.controls.empty() && layout.audio_inputs.empty())) return;
  std::vector<ScriptEvent> made;
  std::map<uint32_t, int32_t> leads;
  auto time = [&]() -> uint32_t {
    const double roll = random.Uniform(0, 1);
    if (roll < 0.1) return 0;
    if (roll < 0.3) {
      const uint32_t grid = random.Chance(0.5) ? 64 : 7;
      return grid * static_cast<uint32_t>(random.Between(0, (script->length - 1) / grid));
    }
    return static_cast<uint32_t>(random.Between(0, script->length - 1));
  };
  auto control_event = [&](uint32_t at) {
    const se_host::PinInfo& pin = layout.pins[static_cast<size_t>(random.Pick(layout.controls))];
    ScriptEvent event;
    event.at = at;
    event.pin = pin.index;
    event.status = static_cast<int32_t>(random.Between(0, 2));
    event.value = random.Pick(ControlValues(pin));
    return event;
  };
  while (made.size() < count) {
    const uint32_t at = time();
    const bool controls = !layout.controls.empty();
    const bool inputs = !layout.audio_inputs.empty();
    const double roll = random.Uniform(0, 1);
    if (controls && (!inputs || roll < 0.4)) {
      made.push_back(control_event(at));
    } else if (controls && roll < 0.5) {
      made.push_back(control_event(at));
      made.push_back(control_event(at));
    } else {
      const int32_t pin = random.Pick(layout.audio_inputs);
      ScriptEvent event;
      event.at = at;
      event.pin = pin;
      event.status = static_cast<int32_t>(random.Between(0, 2));
      if (random.Chance(0.85)) {
        const float base = script->levels[static_cast<size_t>(pin)];
        const double level = std::min(1.0, std::max(-1.0, base + random.Uniform(-0.3, 0.3)));
        event.sets_level = true;
        event.level = static_cast<float>(std::round(level * 1e4) / 1e4);
      }
      made.push_back(event);
    }
  }
  for (ScriptEvent& event : made) {
    auto found = leads.find(event.at);
    if (found == leads.end()) {
      found = leads.emplace(event.at, static_cast<int32_t>(random.Between(0, max_lead))).first;
    }
    event.lead = found->second;
  }
  // Shuffled, except that events at one sample keep the order in which they were made: that
  // order decides which of them wins.
  std::vector<size_t> order(made.size());
  std::iota(order.begin(), order.end(), 0);
  random.Shuffle(order);
  std::map<uint32_t, std::vector<size_t>> by_time;
  for (size_t index = 0; index < made.size(); ++index) by_time[made[index].at].push_back(index);
  std::map<uint32_t, size_t> taken;
  for (size_t& slot : order) {
    const uint32_t at = made[slot].at;
    slot = by_time[at][taken[at]++];
  }
  for (size_t index : order) script->events.push_back(made[index]);
}

std::string Change::Describe(const PinLayout& layout) const {
  const std::string label = PinLabel(layout.pins[static_cast<size_t>(pin)]);
  return is_level ? label + " to level " + Number(level)
                  : label + " to value " + std::to_string(value);
}

void Change::AddTo(Script* script, uint32_t at, int32_t lead) const {
  ScriptEvent event;
  event.at = at;
  event.pin = pin;
  event.value = is_level ? 0 : value;
  event.sets_level = is_level;
  event.level = level;
  event.lead = lead;
  script->events.push_back(event);
}

void AddInputNudge(Script* script, const PinLayout& layout, uint32_t at) {
  if (layout.audio_inputs.empty()) return;
  const int32_t pin = layout.audio_inputs.front();
  int nudges = 0;
  for (const ScriptEvent& event : script->events) {
    if (event.sets_level && event.pin == pin) ++nudges;
  }
  const float base = script->levels[static_cast<size_t>(pin)];
  const float step = 0.02f * static_cast<float>(nudges + 1) * (nudges % 2 == 0 ? 1.0f : -1.0f);
  const float level = base + step <= 1.0f && base + step >= -1.0f ? base + step : base - step;
  script->events.push_back(ScriptEvent::LevelChange(at, pin, level));
}

std::vector<Change> FindEffectiveChanges(CheckContext& context, const Script& base, size_t limit,
                                         uint32_t nudge_after) {
  const PinLayout& layout = context.Layout();
  std::vector<Change> candidates;
  for (int32_t pin : layout.controls) {
    const se_host::PinInfo& control = layout.pins[static_cast<size_t>(pin)];
    for (int32_t value : ControlValues(control)) {
      if (value == DefaultControlValue(control, nullptr)) continue;
      Change change;
      change.pin = pin;
      change.value = value;
      candidates.push_back(change);
    }
  }
  for (int32_t pin : layout.audio_inputs) {
    const float level = base.levels[static_cast<size_t>(pin)];
    Change change;
    change.is_level = true;
    change.pin = pin;
    change.level = level + 0.2f <= 1.0f ? level + 0.2f : level - 0.2f;
    candidates.push_back(change);
  }
  if (candidates.size() > limit) {
    context.random().Shuffle(candidates);
    candidates.resize(limit);
  }
  context.Step("looking for pin changes that show in the output (" +
               std::to_string(candidates.size()) + " candidates)");
  Script script = base;
  script.length = 192;
  script.events.clear();
  if (nudge_after > 0) AddInputNudge(&script, layout, 64 + nudge_after);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  InstanceSetup setup;
  setup.clock = 1000;
  RenderResult unchanged;
  {
    std::unique_ptr<Instance> instance = context.Create(setup);
    unchanged = Render(*instance, script, plan);
  }
  std::vector<Change> effective;
  for (const Change& change : candidates) {
    Script changed = script;
    change.AddTo(&changed, 64);
    std::unique_ptr<Instance> instance = context.Create(setup);
    const RenderResult result = Render(*instance, changed, plan);
    if (FirstDifference(layout, unchanged, result, 64, script.length, nullptr) >= 0) {
      effective.push_back(change);
    }
  }
  return effective;
}

// ---- The context of one check ------------------------------------------------------------------

CheckContext::CheckContext(const CheckSettings& settings, const std::string& check_name)
    : settings_(settings),
      random_(DeriveSeed(settings.seed, check_name)),
      tracer_(settings.trace) {}

CheckContext::~CheckContext() = default;

void CheckContext::Step(const std::string& text) {
  if (settings_.progress) settings_.progress("step", text);
}

void CheckContext::Playing(const Script& script, const BlockPlan& plan) {
  if (!settings_.progress) return;
  settings_.progress("script", script.Describe(layout_) + plan.Describe());
  settings_.progress("step", Format("playing a script of %u samples with %zu events in ",
                                    script.length, script.events.size()) +
                                 plan.Summary());
}

void CheckContext::Fail(const std::string& message) {
  report_.passed = false;
  if (report_.failures.size() < kMaxFailures) {
    report_.failures.push_back(message);
  } else if (report_.failures.size() == kMaxFailures) {
    report_.failures.push_back("(more failures not shown)");
  }
}

void CheckContext::Fail(const std::string& message, const Script& script, const BlockPlan* plan) {
  Fail(message);
  if (report_.script.empty()) {
    report_.script = script.Describe(layout_) + (plan ? plan->Describe() : std::string());
  }
}

void CheckContext::Note(const std::string& message) {
  if (std::find(report_.notes.begin(), report_.notes.end(), message) == report_.notes.end()) {
    report_.notes.push_back(message);
  }
}

void CheckContext::Abort(const std::string& message) {
  Fail(message);
  throw CheckAborted();
}

std::shared_ptr<const se_host::PluginLibrary> CheckContext::Library() {
  if (!library_) {
    Step("loading the library");
    auto library = std::make_shared<se_host::PluginLibrary>();
    if (!library->Load(settings_.library_path)) {
      Abort(std::string("the library cannot be used (") +
            se_host::LibraryErrorName(library->error()) + "): " + library->error_text());
    }
    library_ = library;
  }
  return library_;
}

std::unique_ptr<Instance> CheckContext::Create(const InstanceSetup& setup) {
  std::shared_ptr<const se_host::PluginLibrary> library = Library();
  if (tracer_.on()) tracer_.Line(Format("[#%d] main", next_instance_id_));
  se_host::CreateResult created = se_host::HostedModule::Create(library);
  if (!created.module) {
    Abort(std::string("no instance (") + se_host::CreateErrorName(created.error) +
          "): " + created.error_text);
  }
  auto instance =
      std::make_unique<Instance>(std::move(created.module), next_instance_id_++, &tracer_);
  if (!setup.record_requests) instance->host().set_recording(false);

  instance->host().set_sample_clock(setup.clock >= 0
                                        ? static_cast<uint32_t>(setup.clock)
                                        : static_cast<uint32_t>(random_.Between(0, 1 << 30)));
  if (setup.host_pins >= 0) instance->host().set_pin_count(static_cast<int32_t>(setup.host_pins));
  if (setup.open) {
    const std::vector<se_host::PinInfo>& pins = instance->pins();
    if (pins.empty() && !instance->pin_problem().empty()) {
      Abort("the pins cannot be enumerated: " + instance->pin_problem());
    }
    if (setup.host_pins < 0) instance->host().set_pin_count(static_cast<int32_t>(pins.size()));
    instance->SetSampleRate(setup.sample_rate);
    instance->SetBlockSize(setup.block_size);
    instance->Open();
  }
  return instance;
}

const PinLayout& CheckContext::Layout() {
  if (!layout_read_) {
    std::unique_ptr<Instance> instance = Create();
    layout_.pins = instance->pins();
    if (layout_.pins.empty() && !instance->pin_problem().empty()) {
      Abort("the pins cannot be enumerated: " + instance->pin_problem());
    }
    for (const se_host::PinInfo& pin : layout_.pins) {
      if (pin.IsAudioInput()) layout_.audio_inputs.push_back(pin.index);
      if (pin.IsAudioOutput()) layout_.audio_outputs.push_back(pin.index);
      if (IsControl(pin)) layout_.controls.push_back(pin.index);
    }
    layout_read_ = true;
  }
  return layout_;
}

}  // namespace validation
}  // namespace modhost
