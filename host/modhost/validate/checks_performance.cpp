// What a sample costs: the process entry timed at block sizes 1 to 4096 against real time at the
// module's rate, and again with inputs that drive values into the denormal range. Denormal
// (subnormal) floats are the classic slow path of audio code: on many processors every
// operation on one takes a microcode assist, so a filter or an envelope that decays towards
// silence, or an input of 1e-39, can make a module a hundred times slower. Hosts often flush
// denormals to zero for their plug-ins; this check clears the processor's flush-to-zero and
// denormals-are-zero modes first and says so, since a module must not rely on its host for that.
//
// The check runs with no other check beside it (runs_alone), each figure the fastest of several
// repetitions, on the thread's processor time where the system measures it finely (Linux).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"

#if defined(__SSE__) || defined(_M_IX86) || defined(_M_X64)
#include <xmmintrin.h>
#define MODHOST_HAS_MXCSR 1
#endif
#if !defined(_WIN32)
#include <time.h>
#endif

namespace modhost {
namespace validation {

namespace {

// Every buffer holds this many samples, and the blocks walk through it at their offsets: a
// multiple of every block size timed, small enough to stay in the processor's caches.
const int32_t kBufferSamples = 8192;
// Samples after the blocks' reach: a module that writes a little past its span is
// process-output-span's finding, and must not write outside the buffer here.
const int32_t kSpareSamples = 64;
const int32_t kBlockSizes[] = {1, 16, 64, 512, 4096};
const int32_t kDenormalBlock = 512;
// A module this many times slower with denormal inputs fails.
const double kDenormalLimit = 4.0;
const int kRepetitions = 5;

// Flush-to-zero (bit 15) and denormals-are-zero (bit 6) of the SSE control register.
const unsigned kFlushBits = 0x8040u;

double ThreadSeconds() {
#if defined(_WIN32)
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#else
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
#endif
}

// One instance with a buffer per audio pin, its inputs filled by a rule, timed in blocks.
class TimedInstance {
 public:
  TimedInstance(CheckContext& context, const PinLayout& layout, float sample_rate) {
    InstanceSetup setup;
    setup.sample_rate = sample_rate;
    setup.block_size = 4096;
    setup.clock = 0;
    instance_ = context.Create(setup);
    buffers_.resize(layout.pins.size());
    for (int32_t pin : layout.audio_inputs)
      Buffer(pin).assign(kBufferSamples + kSpareSamples, 0.0f);
    for (int32_t pin : layout.audio_outputs)
      Buffer(pin).assign(kBufferSamples + kSpareSamples, 0.0f);
    for (size_t pin = 0; pin < buffers_.size(); ++pin) {
      if (!buffers_[pin].empty()) instance_->Bind(static_cast<int32_t>(pin), buffers_[pin].data());
    }
  }

  std::vector<float>& Buffer(int32_t pin) { return buffers_[static_cast<size_t>(pin)]; }

  // Fills input `pin` with `level` throughout.
  void Hold(int32_t pin, float level) { std::fill(Buffer(pin).begin(), Buffer(pin).end(), level); }

  // Renders `samples` samples in blocks of `block` and returns the processor time per sample, in
  // nanoseconds.
  double Time(int32_t block, int64_t samples) {
    int32_t offset = position_ % kBufferSamples;
    const double start = ThreadSeconds();
    for (int64_t done = 0; done < samples; done += block) {
      instance_->Process(offset, block);
      offset += block;
      if (offset >= kBufferSamples) offset = 0;
    }
    const double seconds = ThreadSeconds() - start;
    position_ = offset;
    return seconds * 1e9 / static_cast<double>(samples);
  }

 private:
  std::unique_ptr<Session> instance_;
  std::vector<std::vector<float>> buffers_;
  int32_t position_ = 0;
};

// The denormal inputs: every one of them (one audio input at a time, the others at their lively
// levels), and then all inputs falling silent after a lively start, which leaves the module's
// own state to decay.
struct DenormalInput {
  std::string name;
  int32_t pin = -1;  // -1: every input silent
  enum class Shape { kConstant, kDecay, kSilence } shape = Shape::kConstant;
};

// Fills the inputs: every one at its lively level, then `input` as it shapes its pin. The
// ordinary twin of a shape (`denormal` false) moves the same way in the normal range, so that a
// module whose cost follows a moving input (one that sets up its generator again whenever its
// pitch changes, say) compares like with like.
void Fill(TimedInstance& timed, const PinLayout& layout, const Script& lively,
          const DenormalInput* input, bool denormal) {
  for (int32_t pin : layout.audio_inputs) timed.Hold(pin, lively.levels[static_cast<size_t>(pin)]);
  if (input == nullptr) return;
  if (input->shape == DenormalInput::Shape::kSilence) {
    if (denormal) {
      for (int32_t pin : layout.audio_inputs) timed.Hold(pin, 0.0f);
    }
  } else if (input->shape == DenormalInput::Shape::kConstant) {
    if (denormal) timed.Hold(input->pin, 1e-39f);
  } else {
    // Denormal: from 1e-36 down through the whole subnormal range to zero over the buffer, so
    // that most of its samples are subnormal. Ordinary: the same decay from 0.5, which stays
    // far above them.
    std::vector<float>& buffer = timed.Buffer(input->pin);
    double value = denormal ? 1e-36 : 0.5;
    const double factor = 0.99741;
    for (float& sample : buffer) {
      sample = static_cast<float>(value);
      value *= factor;
    }
    if (denormal) buffer.back() = 0.0f;
  }
}

void CheckPerformanceDenormals(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const float rate = 44100.0f;
#if defined(MODHOST_HAS_MXCSR)
  const unsigned at_start = _mm_getcsr();
  _mm_setcsr(at_start & ~kFlushBits);
  const std::string flushing = Format(
      "timed without flushing denormals: flush-to-zero and denormals-are-zero off (MXCSR "
      "0x%04X%s)",
      _mm_getcsr(), (at_start & kFlushBits) != 0 ? "; they were on, and were turned off" : "");
#else
  const std::string flushing =
      "this processor's denormal modes are not known to modhost; timed as they are";
#endif
  const Script lively = LivelyScript(layout, 0, context.random());
  const int64_t samples = context.ByLevel(16384, 65536, 524288);

  // Cost per sample at each block size.
  std::string table;
  for (int32_t block : kBlockSizes) {
    context.Step(Format("timing blocks of %d samples", block));
    TimedInstance timed(context, layout, rate);
    Fill(timed, layout, lively, nullptr, false);
    timed.Time(block, std::min<int64_t>(samples, 4096));  // warm caches and branch predictors
    double best = 1e30;
    for (int repetition = 0; repetition < kRepetitions; ++repetition) {
      best = std::min(best, timed.Time(block, std::max<int64_t>(samples / 4, block)));
    }
    const double share = best * rate * 1e-9;
    table += Format("%s%d: %.2f ns/sample (%.3g%% of one core)", table.empty() ? "" : ", ", block,
                    best, share * 100);
    if (block == kDenormalBlock && share > 1.0) {
      context.Fail(
          Format("blocks of %d samples cost %.1f ns/sample: %.0f%% of one core, slower "
                 "than real time at %s Hz",
                 block, best, share * 100, Number(rate).c_str()));
    }
  }
  context.Note("cost per sample at " + Number(rate) + " Hz by block size: " + table);
  context.Note(flushing);

  // The same with denormal inputs, each against ordinary inputs timed alternately with it.
  std::vector<DenormalInput> inputs;
  for (int32_t pin : layout.audio_inputs) {
    const std::string label = PinLabel(layout.pins[static_cast<size_t>(pin)]);
    inputs.push_back({label + " at 1e-39", pin, DenormalInput::Shape::kConstant});
    inputs.push_back({label + " decaying from 1e-36 through the denormals to 0", pin,
                      DenormalInput::Shape::kDecay});
  }
  inputs.push_back(
      {"every input falling silent after a lively start", -1, DenormalInput::Shape::kSilence});
  double worst_ratio = 0;
  std::string worst;
  for (const DenormalInput& input : inputs) {
    context.Step("timing with " + input.name);
    TimedInstance ordinary(context, layout, rate);
    TimedInstance denormal(context, layout, rate);
    const bool silence = input.shape == DenormalInput::Shape::kSilence;
    Fill(ordinary, layout, lively, &input, false);
    Fill(denormal, layout, lively, silence ? nullptr : &input, true);
    ordinary.Time(kDenormalBlock, kBufferSamples);
    denormal.Time(kDenormalBlock, kBufferSamples);
    if (silence) Fill(denormal, layout, lively, &input, true);
    double best_ordinary = 1e30, best_denormal = 1e30;
    for (int repetition = 0; repetition < kRepetitions; ++repetition) {
      best_ordinary = std::min(best_ordinary, ordinary.Time(kDenormalBlock, samples / 4));
      best_denormal = std::min(best_denormal, denormal.Time(kDenormalBlock, samples / 4));
    }
    const double ratio = best_denormal / std::max(best_ordinary, 1e-3);
    if (ratio > worst_ratio) {
      worst_ratio = ratio;
      worst = input.name;
    }
    if (ratio > kDenormalLimit) {
      context.Fail(Format(
          "%s costs %.1f ns/sample, %.1fx the %.2f ns/sample with ordinary inputs "
          "of the same shape (blocks of %d; more than %gx fails)",
          input.name.c_str(), best_denormal, ratio, best_ordinary, kDenormalBlock, kDenormalLimit));
    }
  }
  if (!worst.empty()) {
    context.Note(Format("denormal inputs: at worst %.2fx the ordinary cost, with %s", worst_ratio,
                        worst.c_str()));
  }
#if defined(MODHOST_HAS_MXCSR)
  if ((_mm_getcsr() & kFlushBits) != 0) {
    context.Note("the module turned flush-to-zero or denormals-are-zero on and left it so");
  }
  _mm_setcsr(at_start);
#endif
}

}  // namespace

std::vector<CheckDefinition> PerformanceChecks() {
  return {
      {"performance-denormals", CheckKind::kModule,
       "cost per sample at blocks of 1 to 4096; denormal inputs must not cost more than 4x",
       CheckPerformanceDenormals, 3,
       "from level 3; each figure from 65536 samples at level 5, half that at 3, 524288 at 10",
       true},
  };
}

}  // namespace validation
}  // namespace modhost
