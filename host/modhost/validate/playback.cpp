// Playing a script through a block plan and checking each block (see playback.h).
#include "host/modhost/validate/playback.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <utility>

#include "host/modhost/io/text.h"
#include "host/modhost/validate/tracing.h"

namespace modhost {
namespace validation {

namespace {

// Only the first fault of each kind in a render is described; the count says how many blocks.
const size_t kMaxFaultsPerRender = 1;

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

void AddFault(std::vector<std::string>* faults, const std::string& fault) {
  if (faults->size() < kMaxFaultsPerRender) faults->push_back(fault);
}

}  // namespace

RenderSession::RenderSession(Session& instance, const Script& script, const BlockPlan& plan)
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

RenderResult Render(Session& instance, const Script& script, const BlockPlan& plan) {
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

}  // namespace validation
}  // namespace modhost
