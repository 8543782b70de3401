// How much audio-thread time a voice of each oscillator costs, side by side with what a user
// would write instead (sixteen library sines per sample) and with the bare recurrence that
// Tessavine's output bits leave no way to beat, all in one run of one program.
//
// Every benchmark renders 256 samples per iteration at 44.1 kHz, 440 Hz. Pelio is driven through
// its module record, as a host drives it: the frame's block processing, events and spans are
// part of what is measured. At the end the program prints a Markdown table (ns per sample, the
// ratios to both baselines and how many instances one core runs in real time) and checks the
// performance targets against it.
//
//   oscillator_bench [--smoke] [benchmark library flags]
//   --smoke  one iteration of each benchmark, no table: proves that everything runs.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_runner.h"
#include "pelio/PelioModule.h"
#include "pelio/pelio_simd.h"
#include "tessavine/sine_recurrence.h"

namespace {

using pelio::Isa;

constexpr int32_t kBlock = 256;
constexpr float kSampleRate = 44100.0f;
constexpr double kFrequency = 440.0;
constexpr double kPi = 3.14159265358979323846;

// ---- Baselines --------------------------------------------------------------------------------

// The additive oscillator as a user would write it: one library sine per harmonic and sample.
class NaiveAdditive {
 public:
  NaiveAdditive() {
    for (int k = 0; k < pelio::kMaxHarmonics; ++k) amplitude_[k] = 1.0 / (k + 1);
  }

  __attribute__((noinline)) void Render(float* output, int32_t count) {
    for (int32_t n = 0; n < count; ++n) {
      double sum = 0.0;
      for (int k = 0; k < pelio::kMaxHarmonics; ++k) {
        sum += amplitude_[k] * std::sin((k + 1) * phase_);
      }
      output[n] = static_cast<float>(0.5 * sum);
      phase_ += increment_;
      if (phase_ >= kPi) phase_ -= 2.0 * kPi;
    }
  }

 private:
  double amplitude_[pelio::kMaxHarmonics];
  double phase_ = -kPi;
  double increment_ = 2.0 * kPi * kFrequency / kSampleRate;
};

// y0 = c y1 - y2 and the output conversion, nothing else: the floor under Tessavine's loop.
class BareChain {
 public:
  __attribute__((noinline)) void Render(float* output, int32_t count) {
    double newest = newest_;
    double older = older_;
    for (int32_t n = 0; n < count; ++n) {
      const double next = coeff_ * newest - older;
      older = newest;
      newest = next;
      output[n] = static_cast<float>(0.5 * next);
    }
    newest_ = newest;
    older_ = older;
  }

 private:
  double increment_ = 2.0 * kPi * kFrequency / kSampleRate;
  double coeff_ = 2.0 * std::cos(increment_);
  double newest_ = 0.0;
  double older_ = -std::sin(increment_);
};

// ---- Pelio through its record -----------------------------------------------------------------

int32_t SE_CDECL RigHost(ModuleRecord*, int32_t opcode, int32_t, int32_t, void*, float) {
  // The module asks for its pin count at open; the sample clock starts at 0.
  if (opcode == static_cast<int32_t>(HostOpcode::GetPinCount)) return PelioModule::kPinCount;
  return 0;
}

struct PelioSetup {
  int16_t quality = 0;
  int16_t harmonics = 16;
  Isa isa = pelio::BestIsa();
  float mod = 2.0f;              // 20 V: the exact harmonic series
  float amplitude_scale = 1.0f;  // harmonic k + 1 gets amplitude_scale / (k + 1)
  int32_t span = kBlock;         // samples per process call
  int32_t event_interval = 0;    // 0: no events; else one pin update every this many samples
  // "1f" takes another value at every event time, so that each event starts a span with new
  // inputs, which Pelio must render apart from the one before.
  bool amplitude_steps = false;
};

// A Pelio module opened at 44.1 kHz with its buffers bound, as a host holds one.
class PelioRig {
 public:
  explicit PelioRig(const PelioSetup& setup)
      : setup_(setup),
        pitch_(kBlock, 0.5f),  // 5 V: 440 Hz
        mod_(kBlock, setup.mod),
        output_(kBlock),
        amplitude_(pelio::kMaxHarmonics) {
    PelioModule* module = new PelioModule(RigHost);
    supported_ = module->UseIsa(setup.isa);
    record_ = module->GetRecord();
    Dispatch(ModuleOpcode::SetSampleRate, 0, nullptr, kSampleRate);
    Dispatch(ModuleOpcode::Open, 0, nullptr, 0.0f);
    for (int k = 0; k < pelio::kMaxHarmonics; ++k) {
      amplitude_[k].assign(kBlock, setup.amplitude_scale / static_cast<float>(k + 1));
    }
    if (setup.amplitude_steps && setup.event_interval > 0) {
      for (int32_t n = 0; n < kBlock; ++n) {
        if (n / setup.event_interval % 2 == 1) amplitude_[0][n] = 0.999f * setup.amplitude_scale;
      }
    }
    for (int32_t pin = 0; pin < PelioModule::kPinCount; ++pin) {
      PinDescription description = {};
      Dispatch(ModuleOpcode::GetPinProperties, pin, &description, 0.0f);
      void* variable = description.variable_address;
      if (pin == 0) *static_cast<float**>(variable) = pitch_.data();
      if (pin == 1) *static_cast<int16_t*>(variable) = setup.harmonics;
      if (pin >= 2 && pin < 18) *static_cast<float**>(variable) = amplitude_[pin - 2].data();
      if (pin == 18) *static_cast<float**>(variable) = mod_.data();
      if (pin == PelioModule::kOutputPin) *static_cast<float**>(variable) = output_.data();
      if (pin == 21) *static_cast<int16_t*>(variable) = setup.quality;
    }
  }

  ~PelioRig() { Dispatch(ModuleOpcode::Close, 0, nullptr, 0.0f); }

  bool supported() const { return supported_; }

  // One host block of kBlock samples: the events that fall in it are queued first (the one at
  // its end waits for the next block), then the block is processed in calls of `span` samples.
  void RenderBlock() {
    if (setup_.event_interval > 0) {
      for (int32_t at = setup_.event_interval; at <= kBlock; at += setup_.event_interval) {
        // Pin update of "Harmonics" to the value it has: the cost of the event, not of a change
        // (the "1f moves" row adds one).
        SeEvent event = {clock_ + static_cast<uint32_t>(at),   0,      0, setup_.harmonics,
                         reinterpret_cast<void*>(intptr_t{1}), nullptr};
        Dispatch(ModuleOpcode::AddEvent, 0, &event, 0.0f);
      }
    }
    for (int32_t offset = 0; offset < kBlock; offset += setup_.span) {
      record_->process(record_, offset, setup_.span);
    }
    clock_ += kBlock;
    benchmark::DoNotOptimize(output_.data());
    benchmark::ClobberMemory();
  }

 private:
  int32_t Dispatch(ModuleOpcode opcode, int32_t index, void* ptr, float opt) {
    return record_->dispatcher(record_, static_cast<int32_t>(opcode), index, 0, ptr, opt);
  }

  PelioSetup setup_;
  std::vector<float> pitch_;
  std::vector<float> mod_;
  std::vector<float> output_;
  std::vector<std::vector<float>> amplitude_;
  ModuleRecord* record_ = nullptr;
  uint32_t clock_ = 0;
  bool supported_ = false;
};

void AddPelio(const std::string& name, const PelioSetup& setup) {
  if (!PelioRig(setup).supported()) {
    std::printf("%-52s skipped: this processor lacks %s\n", name.c_str(), IsaName(setup.isa));
    return;
  }
  bench::Add(name, [setup](benchmark::State& state) {
    PelioRig rig(setup);
    for (auto _ : state) rig.RenderBlock();
  });
}

const char* const kQualityNames[] = {"normal", "high", "ultra"};

std::string PelioName(int16_t quality, int16_t harmonics, int32_t span) {
  return std::string("pelio/") + kQualityNames[quality] + "/N=" + std::to_string(harmonics) +
         "/span=" + std::to_string(span);
}

void AddAll() {
  bench::Add("baseline/naive 16 x std::sin", [](benchmark::State& state) {
    NaiveAdditive naive;
    std::vector<float> output(kBlock);
    for (auto _ : state) {
      naive.Render(output.data(), kBlock);
      benchmark::DoNotOptimize(output.data());
    }
  });
  bench::Add("baseline/bare recurrence chain", [](benchmark::State& state) {
    BareChain chain;
    std::vector<float> output(kBlock);
    for (auto _ : state) {
      chain.Render(output.data(), kBlock);
      benchmark::DoNotOptimize(output.data());
    }
  });
  bench::Add("tessavine/constant pitch", [](benchmark::State& state) {
    SineRecurrence sine;
    sine.Reset(kSampleRate);
    const std::vector<float> pitch(kBlock, 0.5f);
    std::vector<float> output(kBlock);
    for (auto _ : state) {
      sine.Render(pitch.data(), output.data(), kBlock, 0);
      benchmark::DoNotOptimize(output.data());
    }
  });

  for (int16_t quality = 0; quality <= 2; ++quality) {
    for (int16_t harmonics : {1, 4, 16}) {
      for (int32_t span : {16, 64, 256}) {
        PelioSetup setup;
        setup.quality = quality;
        setup.harmonics = harmonics;
        setup.span = span;
        AddPelio(PelioName(quality, harmonics, span), setup);
      }
    }
  }
  for (int16_t quality = 0; quality <= 2; ++quality) {
    for (Isa isa : pelio::kAllIsas) {
      if (isa == pelio::BestIsa()) continue;
      PelioSetup setup;
      setup.quality = quality;
      setup.isa = isa;
      AddPelio(PelioName(quality, 16, kBlock) + "/" + IsaName(isa), setup);
    }
  }

  PelioSetup with_events;
  with_events.event_interval = 64;
  PelioSetup with_changes = with_events;
  with_changes.amplitude_steps = true;
  AddPelio("frame/pelio normal N=16, no events", PelioSetup());
  AddPelio("frame/pelio normal N=16, event every 64", with_events);
  AddPelio("frame/pelio normal N=16, event every 64, 1f moves", with_changes);

  PelioSetup tiny_mod;
  tiny_mod.mod = 1e-37f;
  AddPelio("denormal/pelio normal N=16, Mod 1e-37", tiny_mod);
  PelioSetup subnormal_mod;
  subnormal_mod.mod = 1e-40f;
  AddPelio("denormal/pelio normal N=16, Mod 1e-40", subnormal_mod);
  PelioSetup tiny_amplitudes;
  tiny_amplitudes.amplitude_scale = 1e-38f;
  AddPelio("denormal/pelio normal N=16, amplitudes 1e-38/k", tiny_amplitudes);
}

// ---- The table --------------------------------------------------------------------------------

const char* TargetName() {
#if defined(_WIN32)
  return "win32 (i686 mingw-w64, under Wine)";
#elif defined(__x86_64__)
  return "native (x86-64 Linux)";
#else
  return "x86 (i386 Linux)";
#endif
}

class Table {
 public:
  explicit Table(const std::vector<bench::Measurement>& measurements)
      : measurements_(measurements) {}

  // ns per sample of the benchmark called `name`, or NaN where it did not run.
  double PerSample(const std::string& name) const {
    for (const bench::Measurement& measurement : measurements_) {
      if (measurement.name == name) return measurement.nanoseconds_per_iteration / kBlock;
    }
    return NAN;
  }

  void Print() const {
    const double naive = PerSample("baseline/naive 16 x std::sin");
    const double chain = PerSample("baseline/bare recurrence chain");
    std::printf(
        "\n%s, best Pelio renderer %s, %s; fastest repetition; 256 samples per "
        "iteration, 440 Hz at 44.1 kHz.\n\n",
        TargetName(), pelio::IsaName(pelio::BestIsa()), bench::LibraryName());
    std::printf("| benchmark | ns/sample | naive / this | this / chain | instances per core |\n");
    std::printf("| --- | ---: | ---: | ---: | ---: |\n");
    for (const bench::Measurement& measurement : measurements_) {
      const double per_sample = measurement.nanoseconds_per_iteration / kBlock;
      std::printf("| %s | %.2f | %.1f | %.2f | %.0f |\n", measurement.name.c_str(), per_sample,
                  naive / per_sample, per_sample / chain, 1e9 / (per_sample * kSampleRate));
    }
  }

  // Each performance target: the figure, the bound and whether it is met.
  int CheckTargets() const {
    const double naive = PerSample("baseline/naive 16 x std::sin");
    const double chain = PerSample("baseline/bare recurrence chain");
    const std::string avx2 = PelioName(0, 16, 256) + "/avx2";
    const double avx2_path =
        pelio::BestIsa() == Isa::kAvx2 ? PerSample(PelioName(0, 16, 256)) : PerSample(avx2);
    int failed = 0;
    const auto at_least = [&](const char* what, double figure, double bound) {
      const bool met = figure >= bound;
      failed += !met;
      std::printf("| %s | %.2f | >= %.2f | %s |\n", what, figure, bound, met ? "met" : "NOT met");
    };
    const auto at_most = [&](const char* what, double figure, double bound) {
      const bool met = figure <= bound;
      failed += !met;
      std::printf("| %s | %.3f | <= %.2f | %s |\n", what, figure, bound, met ? "met" : "NOT met");
    };
    std::printf("\n| target | figure | bound | |\n| --- | ---: | ---: | --- |\n");
    at_least("Pelio Normal N=16, 256: naive / Pelio", naive / PerSample(PelioName(0, 16, 256)),
             20.0);
    at_least("Pelio Normal N=16, 256, AVX2: naive / Pelio", naive / avx2_path, 12.0);
    at_least("Pelio Normal N=16, 16-sample spans: naive / Pelio",
             naive / PerSample(PelioName(0, 16, 16)), 8.0);
    at_least("Pelio High N=16, 256: naive / Pelio", naive / PerSample(PelioName(1, 16, 256)), 12.0);
    at_least("Pelio Ultra N=16, 256: naive / Pelio", naive / PerSample(PelioName(2, 16, 256)),
             12.0);
    at_most("Tessavine / bare chain", PerSample("tessavine/constant pitch") / chain, 1.1);
    at_most("frame: event every 64 / no events",
            PerSample("frame/pelio normal N=16, event every 64") /
                PerSample("frame/pelio normal N=16, no events"),
            1.05);
    const double normal = PerSample(PelioName(0, 16, 256));
    double worst_denormal = 0.0;
    for (const char* name :
         {"denormal/pelio normal N=16, Mod 1e-37", "denormal/pelio normal N=16, Mod 1e-40",
          "denormal/pelio normal N=16, amplitudes 1e-38/k"}) {
      worst_denormal = std::fmax(worst_denormal, PerSample(name) / normal);
    }
    at_most("worst denormal input / normal input", worst_denormal, 2.0);
    return failed;
  }

 private:
  std::vector<bench::Measurement> measurements_;
};

}  // namespace

int main(int argc, char** argv) {
  bench::RunOptions options;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      options.smoke = true;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  AddAll();
  const std::vector<bench::Measurement> measurements =
      bench::RunAll(static_cast<int>(arguments.size()), arguments.data(), options);
  if (options.smoke) {
    std::printf("%zu benchmarks ran once each\n", measurements.size());
    return measurements.empty() ? 1 : 0;
  }
  const Table table(measurements);
  table.Print();
  table.CheckTargets();
  return 0;
}
