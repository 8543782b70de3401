// Fuzz cases: drawing, writing, reading, playing and shrinking them (see fuzz_case.h).
#include "host/modhost/fuzz/fuzz_case.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <sstream>

#include "host/modhost/io/text.h"
#include "host/modhost/run/command_session.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/playback.h"

namespace modhost {
namespace fuzzing {

using validation::BlockPlan;
using validation::PinLayout;
using validation::RenderResult;
using validation::Script;
using validation::ScriptEvent;

namespace {

const char kHeader[] = "modhost fuzz case 1";

// Audio levels no musical input reaches, all finite: a module must still give finite output.
float ExtremeLevel(Random& random) {
  static const float kLevels[] = {1e30f, -1e30f, FLT_MAX, -FLT_MAX, 1e-39f, -1e-39f,
                                  0.0f,  -0.0f,  10.0f,   -10.0f,   1e-30f, FLT_MIN};
  return kLevels[random.Between(0, sizeof kLevels / sizeof *kLevels - 1)];
}

// Setting values at the ends of what a pin update can carry, and just past the pin's own.
int32_t ExtremeValue(const se_host::PinInfo& pin, Random& random) {
  const std::vector<int32_t> own = validation::ControlValues(pin);
  const int32_t values[] = {INT32_MIN,
                            INT32_MAX,
                            -1,
                            65535,
                            1 << 20,
                            static_cast<int32_t>(own.size()),
                            own.empty() ? 0 : *std::max_element(own.begin(), own.end()) + 1};
  return values[random.Between(0, sizeof values / sizeof *values - 1)];
}

ScriptEvent RandomEvent(const PinLayout& layout, const Script& script, uint32_t at,
                        Random& random) {
  const bool controls = !layout.controls.empty();
  const bool inputs = !layout.audio_inputs.empty();
  ScriptEvent event;
  event.at = at;
  event.status = static_cast<int32_t>(random.Between(0, 2));
  if (controls && (!inputs || random.Chance(0.5))) {
    const se_host::PinInfo& pin = layout.pins[static_cast<size_t>(random.Pick(layout.controls))];
    event.pin = pin.index;
    event.value = random.Chance(0.2) ? ExtremeValue(pin, random)
                                     : random.Pick(validation::ControlValues(pin));
    return event;
  }
  event.pin = random.Pick(layout.audio_inputs);
  if (random.Chance(0.85)) {
    event.sets_level = true;
    const float base = script.levels[static_cast<size_t>(event.pin)];
    event.level =
        random.Chance(0.2)
            ? ExtremeLevel(random)
            : static_cast<float>(std::max(-1.0, std::min(1.0, base + random.Uniform(-0.5, 0.5))));
  }
  return event;
}

BlockPlan RandomPlan(uint32_t length, Random& random) {
  static const int32_t kLargest[] = {1, 3, 7, 64, 100, 512, 4096};
  const int32_t largest = random.Chance(0.2)
                              ? static_cast<int32_t>(random.Between(1, 4096))
                              : kLargest[random.Between(0, sizeof kLargest / sizeof *kLargest - 1)];
  const int32_t max_offset = random.Chance(0.5) ? 0 : static_cast<int32_t>(random.Between(1, 64));
  if (random.Chance(0.3)) {
    return BlockPlan::Uniform(length, largest).WithRandomOffsets(max_offset, random);
  }
  return BlockPlan::RandomSizes(length, largest, max_offset, random);
}

bool Fail(std::string* error, size_t line, const std::string& message) {
  *error = "line " + std::to_string(line) + ": " + message;
  return false;
}

std::string PlanText(const BlockPlan& plan) {
  std::string text;
  for (size_t block = 0; block < plan.sizes.size(); ++block) {
    text += Format(" %d@%d", plan.sizes[block], plan.offsets[block]);
  }
  return text;
}

bool ReadPlan(std::istringstream& words, BlockPlan* plan) {
  std::string word;
  while (words >> word) {
    const size_t at = word.find('@');
    if (at == std::string::npos) return false;
    char* end = nullptr;
    const long size = std::strtol(word.c_str(), &end, 10);
    if (end != word.c_str() + at || size <= 0 || size > 1 << 20) return false;
    const long offset = std::strtol(word.c_str() + at + 1, &end, 10);
    if (*end != '\0' || offset < 0 || offset > 1 << 20) return false;
    plan->sizes.push_back(static_cast<int32_t>(size));
    plan->offsets.push_back(static_cast<int32_t>(offset));
  }
  return true;
}

// The case cut to its first `length` samples.
FuzzCase Truncated(const FuzzCase& fuzz_case, uint32_t length) {
  FuzzCase cut = fuzz_case;
  cut.script.length = length;
  cut.script.events.clear();
  for (const ScriptEvent& event : fuzz_case.script.events) {
    if (event.at < length) cut.script.events.push_back(event);
  }
  cut.resumes.clear();
  for (const Resume& resume : fuzz_case.resumes) {
    if (resume.at < length) cut.resumes.push_back(resume);
  }
  cut.plan = Recut(fuzz_case.plan, length, cut.resumes);
  cut.other = Recut(fuzz_case.other, length, cut.resumes);
  return cut;
}

// The case without its first `skip` samples: later events and resumes move earlier, earlier
// level changes become starting levels.
FuzzCase WithoutStart(const FuzzCase& fuzz_case, uint32_t skip) {
  FuzzCase shifted = fuzz_case;
  shifted.script.length = fuzz_case.script.length - skip;
  shifted.script.events.clear();
  for (const ScriptEvent& event : fuzz_case.script.events) {
    if (event.at >= skip) {
      ScriptEvent moved = event;
      moved.at -= skip;
      shifted.script.events.push_back(moved);
    } else if (event.sets_level) {
      shifted.script.levels[static_cast<size_t>(event.pin)] = event.level;
    }
  }
  shifted.resumes.clear();
  for (const Resume& resume : fuzz_case.resumes) {
    if (resume.at > skip) shifted.resumes.push_back({resume.at - skip, resume.pause});
  }
  shifted.plan =
      Recut(BlockPlan::Uniform(shifted.script.length, 64), shifted.script.length, shifted.resumes);
  shifted.other = Recut(fuzz_case.other, shifted.script.length, shifted.resumes);
  return shifted;
}

}  // namespace

const char* FindingName(Finding::Kind kind) {
  switch (kind) {
    case Finding::Kind::kNone:
      return "none";
    case Finding::Kind::kCrash:
      return "crash";
    case Finding::Kind::kHang:
      return "hang";
    case Finding::Kind::kNonFinite:
      return "non-finite output";
    case Finding::Kind::kPartition:
      return "block partition difference";
  }
  return "none";
}

std::string FuzzCase::Write() const {
  std::string text = std::string(kHeader) + "\n";
  text += Format("rate %.9g\nclock %u\nlength %u\npins %zu\n", sample_rate, clock, script.length,
                 script.levels.size());
  for (size_t pin = 0; pin < script.levels.size(); ++pin) {
    if (script.levels[pin] != 0.0f || std::signbit(script.levels[pin])) {
      text += Format("level %zu %.9g\n", pin, script.levels[pin]);
    }
  }
  for (const ScriptEvent& event : script.events) {
    text += Format("event %u %d %d %d", event.at, event.pin, event.status, event.value);
    if (event.sets_level) text += Format(" level %.9g", event.level);
    if (event.lead != 0) text += Format(" lead %d", event.lead);
    if (!event.update) text += " silent";
    text += "\n";
  }
  for (const Resume& resume : resumes) text += Format("resume %u %u\n", resume.at, resume.pause);
  text += "plan" + PlanText(plan) + "\n";
  text += "other" + PlanText(other) + "\n";
  return text;
}

bool FuzzCase::Read(const std::string& text, FuzzCase* read, std::string* error) {
  FuzzCase fuzz_case;
  std::istringstream lines(text);
  std::string line;
  size_t number = 0;
  bool header = false, have_plan = false, have_other = false;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (!header) {
      if (line != kHeader) return Fail(error, number, "not a modhost fuzz case");
      header = true;
      continue;
    }
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "rate") {
      if (!(words >> fuzz_case.sample_rate)) return Fail(error, number, "a rate is a number");
    } else if (key == "clock") {
      if (!(words >> fuzz_case.clock)) return Fail(error, number, "a clock is a whole number");
    } else if (key == "length") {
      if (!(words >> fuzz_case.script.length) || fuzz_case.script.length > (1u << 24)) {
        return Fail(error, number, "a length is a whole number up to 2^24");
      }
    } else if (key == "pins") {
      size_t pins = 0;
      if (!(words >> pins) || pins > 4096) return Fail(error, number, "bad pin count");
      fuzz_case.script.levels.assign(pins, 0.0f);
    } else if (key == "level") {
      size_t pin = 0;
      std::string value;
      if (!(words >> pin >> value) || pin >= fuzz_case.script.levels.size()) {
        return Fail(error, number, "a level names a pin below the pin count and a value");
      }
      fuzz_case.script.levels[pin] = std::strtof(value.c_str(), nullptr);
    } else if (key == "event") {
      ScriptEvent event;
      if (!(words >> event.at >> event.pin >> event.status >> event.value) ||
          event.at >= fuzz_case.script.length || event.pin < 0 ||
          static_cast<size_t>(event.pin) >= fuzz_case.script.levels.size()) {
        return Fail(error, number, "an event is: event SAMPLE PIN STATUS VALUE [level L] [lead N]");
      }
      std::string word;
      while (words >> word) {
        std::string value;
        if (word == "silent") {
          event.update = false;
        } else if (word == "level" && words >> value) {
          event.sets_level = true;
          event.level = std::strtof(value.c_str(), nullptr);
        } else if (word == "lead" && words >> event.lead && event.lead >= 0) {
        } else {
          return Fail(error, number, "unknown event word '" + Excerpt(word) + "'");
        }
      }
      fuzz_case.script.events.push_back(event);
    } else if (key == "resume") {
      Resume resume;
      if (!(words >> resume.at >> resume.pause) || resume.at == 0 ||
          resume.at >= fuzz_case.script.length) {
        return Fail(error, number, "a resume is: resume SAMPLE PAUSE, inside the render");
      }
      fuzz_case.resumes.push_back(resume);
    } else if (key == "plan" || key == "other") {
      BlockPlan& plan = key == "plan" ? fuzz_case.plan : fuzz_case.other;
      if (!ReadPlan(words, &plan)) return Fail(error, number, "a plan is blocks SIZE@OFFSET");
      (key == "plan" ? have_plan : have_other) = true;
    } else {
      return Fail(error, number, "unknown line '" + Excerpt(key) + "'");
    }
  }
  if (!header) return Fail(error, number, "empty: not a modhost fuzz case");
  if (!have_plan || !have_other) return Fail(error, number, "a case needs a plan and an other");
  std::sort(fuzz_case.resumes.begin(), fuzz_case.resumes.end(),
            [](const Resume& first, const Resume& second) { return first.at < second.at; });
  // Plans that do not fit the length or the resumes are cut to fit, as a host would cut them.
  fuzz_case.plan = Recut(fuzz_case.plan, fuzz_case.script.length, fuzz_case.resumes);
  fuzz_case.other = Recut(fuzz_case.other, fuzz_case.script.length, fuzz_case.resumes);
  *read = fuzz_case;
  return true;
}

std::string FuzzCase::Summary() const {
  return Format("%s, %zu event%s, %zu resume%s, %s Hz", validation::Samples(script.length).c_str(),
                script.events.size(), script.events.size() == 1 ? "" : "s", resumes.size(),
                resumes.size() == 1 ? "" : "s", Format("%.9g", sample_rate).c_str());
}

FuzzCase GenerateCase(const PinLayout& layout, Random& random) {
  FuzzCase fuzz_case;
  static const float kRates[] = {44100.0f, 48000.0f,  8000.0f,   11025.0f,  22050.0f,  88200.0f,
                                 96000.0f, 192000.0f, 384000.0f, 768000.0f, 44123.45f, 12345.678f};
  fuzz_case.sample_rate = kRates[random.Between(0, sizeof kRates / sizeof *kRates - 1)];
  const double size_roll = random.Uniform(0, 1);
  const uint32_t length = static_cast<uint32_t>(size_roll < 0.4   ? random.Between(1, 512)
                                                : size_roll < 0.8 ? random.Between(513, 4096)
                                                                  : random.Between(4097, 32768));
  const double clock_roll = random.Uniform(0, 1);
  fuzz_case.clock = clock_roll < 0.3 ? 0u
                    : clock_roll < 0.6
                        ? static_cast<uint32_t>(0x100000000ll - random.Between(1, 2 * length))
                        : static_cast<uint32_t>(random.Between(0, 0xFFFFFFFFll));
  Script& script = fuzz_case.script;
  script = validation::LivelyScript(layout, length, random);
  for (int32_t pin : layout.audio_inputs) {
    if (random.Chance(0.15)) script.levels[static_cast<size_t>(pin)] = ExtremeLevel(random);
  }

  // Groups of events at one sample, most of one event, some bursts of up to eight; the groups
  // are handed over in shuffled order, each group's events in the order they were made.
  std::vector<std::vector<ScriptEvent>> groups;
  if (!layout.controls.empty() || !layout.audio_inputs.empty()) {
    const int64_t count = random.Between(0, std::min<int64_t>(64, length / 8 + 2));
    for (int64_t group = 0; group < count; ++group) {
      const double roll = random.Uniform(0, 1);
      const uint32_t at = roll < 0.1 ? 0u
                          : roll < 0.3
                              ? 64u * static_cast<uint32_t>(random.Between(0, (length - 1) / 64))
                              : static_cast<uint32_t>(random.Between(0, length - 1));
      const int64_t burst = random.Chance(0.3) ? random.Between(2, 8) : 1;
      const int32_t lead = static_cast<int32_t>(random.Chance(0.7) ? 0 : random.Between(1, 3));
      std::vector<ScriptEvent> events;
      for (int64_t made = 0; made < burst; ++made) {
        ScriptEvent event = RandomEvent(layout, script, at, random);
        event.lead = lead;
        events.push_back(event);
      }
      groups.push_back(events);
    }
  }
  random.Shuffle(groups);
  // Events at one sample are handed over together, whatever their group: the order in which
  // they arrive decides which wins, and it must be the same in both block plans.
  std::map<uint32_t, int32_t> leads;
  for (const std::vector<ScriptEvent>& group : groups) {
    for (ScriptEvent event : group) {
      event.lead = leads.emplace(event.at, event.lead).first->second;
      script.events.push_back(event);
    }
  }

  if (length > 1 && random.Chance(0.25)) {
    const int64_t count = random.Between(1, 2);
    for (int64_t made = 0; made < count; ++made) {
      Resume resume;
      resume.at = static_cast<uint32_t>(random.Between(1, length - 1));
      resume.pause = static_cast<uint32_t>(random.Between(1, 200000));
      const bool taken = std::any_of(fuzz_case.resumes.begin(), fuzz_case.resumes.end(),
                                     [&](const Resume& other) { return other.at == resume.at; });
      if (!taken) fuzz_case.resumes.push_back(resume);
    }
    std::sort(fuzz_case.resumes.begin(), fuzz_case.resumes.end(),
              [](const Resume& first, const Resume& second) { return first.at < second.at; });
  }
  fuzz_case.plan = Recut(RandomPlan(length, random), length, fuzz_case.resumes);
  fuzz_case.other = Recut(RandomPlan(length, random), length, fuzz_case.resumes);
  return fuzz_case;
}

BlockPlan Recut(const BlockPlan& plan, uint32_t length, const std::vector<Resume>& resumes) {
  BlockPlan cut;
  size_t next_resume = 0;
  uint32_t position = 0;
  // Emits [position, end) at `offset`, ending a block at each resume inside it.
  auto emit = [&](uint32_t end, int32_t offset) {
    while (position < end) {
      while (next_resume < resumes.size() && resumes[next_resume].at <= position) ++next_resume;
      uint32_t stop = end;
      if (next_resume < resumes.size() && resumes[next_resume].at < end) {
        stop = resumes[next_resume].at;
      }
      cut.sizes.push_back(static_cast<int32_t>(stop - position));
      cut.offsets.push_back(offset);
      position = stop;
    }
  };
  for (size_t block = 0; block < plan.sizes.size() && position < length; ++block) {
    const uint32_t size = static_cast<uint32_t>(std::max(plan.sizes[block], 1));
    emit(std::min(length, position + size), plan.offsets[block]);
  }
  while (position < length) emit(std::min(length, position + 64), 0);
  return cut;
}

Finding PlayCase(validation::CheckContext& context, const FuzzCase& fuzz_case) {
  const PinLayout& layout = context.Layout();
  const Script& script = fuzz_case.script;
  if (script.levels.size() != layout.pins.size()) {
    Finding mismatch;
    mismatch.kind = Finding::Kind::kNone;
    mismatch.detail = Format("the case is for a module of %zu pins; this one has %zu",
                             script.levels.size(), layout.pins.size());
    return mismatch;
  }
  // One render through `plan`, resumes included, on a fresh instance.
  auto render = [&](const BlockPlan& plan, const char* which) {
    validation::InstanceSetup setup;
    setup.sample_rate = fuzz_case.sample_rate;
    setup.clock = fuzz_case.clock;
    setup.block_size = std::max(
        1, plan.sizes.empty() ? 1 : *std::max_element(plan.sizes.begin(), plan.sizes.end()));
    context.Step(std::string("opening an instance for the ") + which + " block plan");
    std::unique_ptr<Session> instance = context.Create(setup);
    CallSites sites;
    instance->AddObserver(&sites);
    RenderResult whole;
    whole.outputs.resize(layout.audio_outputs.size());
    std::vector<float> levels = script.levels;
    size_t block = 0;
    uint32_t start = 0;
    for (size_t segment = 0; segment <= fuzz_case.resumes.size(); ++segment) {
      const uint32_t end =
          segment < fuzz_case.resumes.size() ? fuzz_case.resumes[segment].at : script.length;
      if (segment > 0) {
        instance->host().set_sample_clock(instance->clock() + fuzz_case.resumes[segment - 1].pause);
        instance->Resume();
      }
      Script part;
      part.length = end - start;
      part.levels = levels;
      for (const ScriptEvent& event : script.events) {
        if (event.at < start || event.at >= end) continue;
        ScriptEvent moved = event;
        moved.at -= start;
        part.events.push_back(moved);
        if (event.sets_level) levels[static_cast<size_t>(event.pin)] = event.level;
      }
      BlockPlan part_plan;
      for (uint32_t covered = 0; covered < part.length && block < plan.sizes.size(); ++block) {
        part_plan.sizes.push_back(plan.sizes[block]);
        part_plan.offsets.push_back(plan.offsets[block]);
        covered += static_cast<uint32_t>(plan.sizes[block]);
      }
      const RenderResult result = validation::Render(*instance, part, part_plan);
      for (size_t output = 0; output < whole.outputs.size(); ++output) {
        whole.outputs[output].insert(whole.outputs[output].end(), result.outputs[output].begin(),
                                     result.outputs[output].end());
      }
      start = end;
    }
    instance->RemoveObserver(&sites);
    return whole;
  };
  Finding finding;
  const RenderResult first = render(fuzz_case.plan, "first");
  std::string where;
  if (validation::FirstNonFinite(first, 0, script.length, &where, layout) >= 0) {
    finding.kind = Finding::Kind::kNonFinite;
    finding.detail = "non-finite output from finite inputs: " + where;
    return finding;
  }
  const RenderResult second = render(fuzz_case.other, "second");
  if (validation::FirstNonFinite(second, 0, script.length, &where, layout) >= 0) {
    finding.kind = Finding::Kind::kNonFinite;
    finding.detail = "non-finite output from finite inputs, second block plan: " + where;
    return finding;
  }
  if (validation::FirstDifference(layout, first, second, 0, script.length, &where) >= 0) {
    finding.kind = Finding::Kind::kPartition;
    finding.detail = "the two block plans give different output: " + where;
  }
  return finding;
}

std::vector<FuzzCase> Reductions(const FuzzCase& fuzz_case) {
  std::vector<FuzzCase> smaller;
  const uint32_t length = fuzz_case.script.length;
  const std::vector<ScriptEvent>& events = fuzz_case.script.events;
  // Fewer resumes.
  for (size_t resume = 0; resume < fuzz_case.resumes.size(); ++resume) {
    FuzzCase fewer = fuzz_case;
    fewer.resumes.erase(fewer.resumes.begin() + static_cast<std::ptrdiff_t>(resume));
    smaller.push_back(fewer);
  }
  // Fewer events: halves first, then ever smaller runs of them, then single ones.
  for (size_t chunk = std::max<size_t>(events.size() / 2, 1); chunk >= 1; chunk /= 2) {
    for (size_t first = 0; first < events.size(); first += chunk) {
      FuzzCase fewer = fuzz_case;
      auto& kept = fewer.script.events;
      kept.erase(
          kept.begin() + static_cast<std::ptrdiff_t>(first),
          kept.begin() + static_cast<std::ptrdiff_t>(std::min(events.size(), first + chunk)));
      smaller.push_back(fewer);
    }
    if (chunk == 1) break;
  }
  // A shorter render: its end, then its start.
  if (length > 1) {
    uint32_t last = 0;
    for (const ScriptEvent& event : events) last = std::max(last, event.at + 1);
    for (uint32_t shorter : {length / 2, last + 16, length - length / 8, length - 1}) {
      if (shorter >= 1 && shorter < length) smaller.push_back(Truncated(fuzz_case, shorter));
    }
    for (uint32_t skip : {length / 2, length / 8}) {
      if (skip >= 1 && skip < length) smaller.push_back(WithoutStart(fuzz_case, skip));
    }
  }
  // Simpler ways of doing the same: events handed over at their block, plain plans, rate, clock.
  FuzzCase plain = fuzz_case;
  for (ScriptEvent& event : plain.script.events) event.lead = 0;
  smaller.push_back(plain);
  plain = fuzz_case;
  plain.plan = Recut(BlockPlan::Uniform(length, 64), length, plain.resumes);
  smaller.push_back(plain);
  plain = fuzz_case;
  plain.other = Recut(BlockPlan::Uniform(length, 1), length, plain.resumes);
  smaller.push_back(plain);
  plain = fuzz_case;
  std::fill(plain.plan.offsets.begin(), plain.plan.offsets.end(), 0);
  std::fill(plain.other.offsets.begin(), plain.other.offsets.end(), 0);
  smaller.push_back(plain);
  plain = fuzz_case;
  plain.sample_rate = 44100.0f;
  smaller.push_back(plain);
  plain = fuzz_case;
  plain.clock = 0;
  smaller.push_back(plain);
  // Only those that change something.
  const std::string text = fuzz_case.Write();
  smaller.erase(
      std::remove_if(smaller.begin(), smaller.end(),
                     [&](const FuzzCase& candidate) { return candidate.Write() == text; }),
      smaller.end());
  return smaller;
}

}  // namespace fuzzing
}  // namespace modhost
