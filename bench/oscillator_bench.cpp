// How much audio-thread time a voice of each oscillator costs, side by side with what a user
// would write instead (sixteen library sines per sample) and with the bare recurrence that
// Tessavine's output bits leave no way to beat, all in one run of one program.
//
// Two kinds of rows:
//   library/...  the built plug-in libraries, loaded and driven as a host drives them
//                (library_rig.h): `main`, the dispatcher, buffers bound through the pins
//                described by opcode 6, settings and events through opcode 7, blocks through the
//                record's process entry. This is the code that ships; the targets are judged on
//                these rows.
//   kernel/...   the same modules' classes compiled into this program (Tessavine's generator
//                called directly, Pelio's module class through its record), where a renderer can
//                be forced (the .../sse2 rows) and the kernels can be compared with the library.
// Every figure is per sample, 440 Hz at 44.1 kHz; an iteration renders 256 samples (one block of
// 256, or four of 64) or one longer block. At the end the program prints a Markdown table (ns per
// sample, the spread of the repetitions, the ratios to both baselines and how many instances one
// core runs in real time), the performance targets and what an event costs.
//
//   oscillator_bench [--smoke] [--plugins=DIR] [--compare-plugins=DIR]
//                    [benchmark library flags, e.g. --benchmark_filter=library/]
//   --smoke                 one iteration of each benchmark, no table: proves that everything
//                           runs (and fails when a library cannot be loaded).
//   --plugins=DIR           the built plug-ins to time (default: this build's plugins folder).
//   --compare-plugins=DIR   another build's plug-ins (of an older commit, say), timed in the same
//                           run as compare/... rows next to these.
//   --benchmark_filter, --benchmark_repetitions (default 11), --benchmark_min_time (seconds per
//                           repetition, default 0.05) work on every target (bench_runner.h).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include "bench/bench_runner.h"
#include "bench/library_rig.h"
#include "pelio/PelioModule.h"
#include "pelio/pelio_simd.h"
#include "tessavine/sine_recurrence.h"

#ifndef SE_BENCH_PLUGIN_DIR
#define SE_BENCH_PLUGIN_DIR "plugins"
#endif

namespace {

using pelio::Isa;

constexpr int32_t kBlock = 256;
constexpr float kSampleRate = 44100.0f;
constexpr double kFrequency = 440.0;
constexpr double kPi = 3.14159265358979323846;
// One event every this many samples in the event rows: four per 256-sample block (the one at the
// block's end waits for the next block, which handles it at its first sample).
constexpr int32_t kEventInterval = 64;

// ---- Rows ------------------------------------------------------------------------------------

// Samples rendered per iteration of each benchmark, by name.
std::map<std::string, int32_t>& SamplesPerIteration() {
  static std::map<std::string, int32_t> samples;
  return samples;
}

void AddRow(const std::string& name, int32_t samples_per_iteration, bench::Body body) {
  SamplesPerIteration()[name] = samples_per_iteration;
  bench::Add(name, std::move(body));
}

// Libraries that could not be loaded; --smoke then fails.
int g_unloadable = 0;

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

// ---- Pelio's settings, for both rigs ----------------------------------------------------------

struct PelioSetup {
  int16_t quality = 0;
  int16_t harmonics = 16;
  Isa isa = pelio::BestIsa();    // the kernel rig only: a library always takes its best one
  float mod = 2.0f;              // 20 V: the exact harmonic series
  float amplitude_scale = 1.0f;  // harmonic k + 1 gets amplitude_scale / (k + 1)
  int32_t span = kBlock;         // samples per process call
  int32_t event_interval = 0;    // 0: no events; else one pin update every this many samples
  // "1f" takes another value at every event time, so that each event starts a span with new
  // inputs, which Pelio must render apart from the one before.
  bool amplitude_steps = false;
};

// The amplitude of harmonic k + 1 at sample n of a block.
float Amplitude(const PelioSetup& setup, int k, int32_t n) {
  if (k == 0 && setup.amplitude_steps && setup.event_interval > 0 &&
      n / setup.event_interval % 2 == 1) {
    return 0.999f * setup.amplitude_scale;
  }
  return setup.amplitude_scale / static_cast<float>(k + 1);
}

// ---- Pelio's class through its record (kernel rows) -------------------------------------------

int32_t SE_CDECL RigHost(ModuleRecord*, int32_t opcode, int32_t, int32_t, void*, float) {
  // The module asks for its pin count at open; the sample clock starts at 0.
  if (opcode == static_cast<int32_t>(HostOpcode::GetPinCount)) return PelioModule::kPinCount;
  return 0;
}

// A Pelio module of this program opened at 44.1 kHz with its buffers bound; its settings are
// written straight into the pins' variables.
class PelioRig {
 public:
  // Buffers in the arena: 0 pitch, 1 to 16 the amplitudes, 17 Mod, 18 the output.
  explicit PelioRig(const PelioSetup& setup) : setup_(setup), buffers_(19, kBlock) {
    PelioModule* module = new PelioModule(RigHost);
    supported_ = module->UseIsa(setup.isa);
    record_ = module->GetRecord();
    Dispatch(ModuleOpcode::SetSampleRate, 0, nullptr, kSampleRate);
    Dispatch(ModuleOpcode::Open, 0, nullptr, 0.0f);
    for (int32_t n = 0; n < kBlock; ++n) {
      buffers_.Buffer(0)[n] = 0.5f;  // 5 V: 440 Hz
      for (int k = 0; k < pelio::kMaxHarmonics; ++k)
        buffers_.Buffer(1 + k)[n] = Amplitude(setup, k, n);
      buffers_.Buffer(17)[n] = setup.mod;
    }
    output_ = buffers_.Buffer(18);
    for (int32_t pin = 0; pin < PelioModule::kPinCount; ++pin) {
      PinDescription description = {};
      Dispatch(ModuleOpcode::GetPinProperties, pin, &description, 0.0f);
      void* variable = description.variable_address;
      if (pin == 0) *static_cast<float**>(variable) = buffers_.Buffer(0);
      if (pin == 1) *static_cast<int16_t*>(variable) = setup.harmonics;
      if (pin >= 2 && pin < 18) *static_cast<float**>(variable) = buffers_.Buffer(pin - 1);
      if (pin == 18) *static_cast<float**>(variable) = buffers_.Buffer(17);
      if (pin == PelioModule::kOutputPin) *static_cast<float**>(variable) = output_;
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
        SeEvent event = {clock_ + static_cast<uint32_t>(at),
                         static_cast<int32_t>(SeEventType::PinUpdate),
                         0,
                         setup_.harmonics,
                         reinterpret_cast<void*>(intptr_t{1}),
                         nullptr};
        Dispatch(ModuleOpcode::AddEvent, 0, &event, 0.0f);
      }
    }
    for (int32_t offset = 0; offset < kBlock; offset += setup_.span) {
      record_->process(record_, offset, setup_.span);
    }
    clock_ += kBlock;
    benchmark::DoNotOptimize(output_);
    benchmark::ClobberMemory();
  }

 private:
  int32_t Dispatch(ModuleOpcode opcode, int32_t index, void* ptr, float opt) {
    return record_->dispatcher(record_, static_cast<int32_t>(opcode), index, 0, ptr, opt);
  }

  PelioSetup setup_;
  bench::BufferArena buffers_;
  float* output_ = nullptr;
  ModuleRecord* record_ = nullptr;
  uint32_t clock_ = 0;
  bool supported_ = false;
};

void AddKernelPelio(const std::string& name, const PelioSetup& setup) {
  if (!PelioRig(setup).supported()) {
    std::printf("%-60s skipped: this processor lacks %s\n", name.c_str(), IsaName(setup.isa));
    return;
  }
  AddRow(name, kBlock, [setup](benchmark::State& state) {
    PelioRig rig(setup);
    for (auto _ : state) rig.RenderBlock();
  });
}

// ---- Pelio's library (library rows) -----------------------------------------------------------

// A Pelio instance of a built library (library_rig.h). Its settings arrive as pin updates.
class PelioLibraryRig {
 public:
  PelioLibraryRig(const std::string& path, const PelioSetup& setup) : setup_(setup) {
    instance_ = bench::LibraryInstance::Create(path, kSampleRate, kBlock, kBlock, &error_);
    if (!instance_) return;
    harmonics_pin_ = instance_->PinIndex("Harmonics");
    const int32_t quality_pin = instance_->PinIndex("Quality");
    float* pitch = instance_->Buffer(instance_->PinIndex("Pitch"));
    float* mod = instance_->Buffer(instance_->PinIndex("Mod"));
    output_ = instance_->Buffer(instance_->PinIndex("Output"));
    float* amplitude[pelio::kMaxHarmonics];
    bool complete = harmonics_pin_ >= 0 && quality_pin >= 0 && pitch && mod && output_;
    for (int k = 0; k < pelio::kMaxHarmonics; ++k) {
      amplitude[k] = instance_->Buffer(instance_->PinIndex(std::to_string(k + 1) + "f"));
      complete = complete && amplitude[k] != nullptr;
    }
    if (!complete) {
      error_ = path + ": not Pelio's pins";
      instance_.reset();
      return;
    }
    for (int32_t n = 0; n < kBlock; ++n) {
      pitch[n] = 0.5f;  // 5 V: 440 Hz
      mod[n] = setup.mod;
      for (int k = 0; k < pelio::kMaxHarmonics; ++k) amplitude[k][n] = Amplitude(setup, k, n);
    }
    instance_->QueueUpdate(harmonics_pin_, setup.harmonics, instance_->clock());
    instance_->QueueUpdate(quality_pin, setup.quality, instance_->clock());
    // The first block takes the settings; timing starts with a module that runs.
    RenderBlock();
  }

  bool ok() const { return instance_ != nullptr; }
  const std::string& error() const { return error_; }

  // As PelioRig::RenderBlock, through the library's record.
  void RenderBlock() {
    if (setup_.event_interval > 0) {
      const uint32_t clock = instance_->clock();
      for (int32_t at = setup_.event_interval; at <= kBlock; at += setup_.event_interval) {
        instance_->QueueUpdate(harmonics_pin_, setup_.harmonics, clock + at);
      }
    }
    for (int32_t offset = 0; offset < kBlock; offset += setup_.span) {
      instance_->Process(offset, setup_.span);
    }
    benchmark::DoNotOptimize(output_);
    benchmark::ClobberMemory();
  }

 private:
  PelioSetup setup_;
  std::unique_ptr<bench::LibraryInstance> instance_;
  std::string error_;
  int32_t harmonics_pin_ = -1;
  float* output_ = nullptr;
};

void AddLibraryPelio(const std::string& name, const std::string& path, const PelioSetup& setup) {
  {
    PelioLibraryRig probe(path, setup);
    if (!probe.ok()) {
      std::printf("%-60s skipped: %s\n", name.c_str(), probe.error().c_str());
      ++g_unloadable;
      return;
    }
  }
  AddRow(name, kBlock, [path, setup](benchmark::State& state) {
    PelioLibraryRig rig(path, setup);
    for (auto _ : state) rig.RenderBlock();
  });
}

// ---- Tessavine's library (library rows) -------------------------------------------------------

struct TessavineSetup {
  int32_t block = kBlock;
  bool moving_pitch = false;   // another pitch at every sample: a re-seeding at every sample
  int32_t event_interval = 0;  // 0: no events; else a pin update of "Freq Scale" to its value
  // An AVX instruction and vzeroupper before each block, as a host or another module may run:
  // what the vector state costs the SSE2 loop (mini_benchmark.h). Only where there is AVX.
  bool avx_before_block = false;
};

// Runs one AVX instruction, then vzeroupper, as AVX code that cleans up after itself does.
void RunAvxInstruction() {
#if defined(__i386__) || defined(__x86_64__)
  asm volatile("vxorps %%ymm0, %%ymm0, %%ymm0\n\tvzeroupper" : : : "xmm0");
#endif
}

bool ProcessorHasAvx() {
#if defined(__i386__) || defined(__x86_64__)
  return __builtin_cpu_supports("avx") != 0;
#else
  return false;
#endif
}

class TessavineLibraryRig {
 public:
  TessavineLibraryRig(const std::string& path, const TessavineSetup& setup) : setup_(setup) {
    instance_ =
        bench::LibraryInstance::Create(path, kSampleRate, setup.block, setup.block, &error_);
    if (!instance_) return;
    float* pitch = instance_->Buffer(instance_->PinIndex("Pitch"));
    output_ = instance_->Buffer(instance_->PinIndex("Signal Out"));
    freq_scale_pin_ = instance_->PinIndex("Freq Scale");
    if (!pitch || !output_ || freq_scale_pin_ < 0) {
      error_ = path + ": not Tessavine's pins";
      instance_.reset();
      return;
    }
    for (int32_t n = 0; n < setup.block; ++n) {
      // 5 V: 440 Hz, or a glide upwards from there in steps of 1e-4 V.
      pitch[n] = setup.moving_pitch ? 0.5f + 1e-5f * static_cast<float>(n) : 0.5f;
    }
    RenderBlock();
  }

  bool ok() const { return instance_ != nullptr; }
  const std::string& error() const { return error_; }

  void RenderBlock() {
    if (setup_.event_interval > 0) {
      const uint32_t clock = instance_->clock();
      for (int32_t at = setup_.event_interval; at <= setup_.block; at += setup_.event_interval) {
        instance_->QueueUpdate(freq_scale_pin_, 0, clock + at);
      }
    }
    if (setup_.avx_before_block) RunAvxInstruction();
    instance_->Process(0, setup_.block);
    benchmark::DoNotOptimize(output_);
    benchmark::ClobberMemory();
  }

 private:
  TessavineSetup setup_;
  std::unique_ptr<bench::LibraryInstance> instance_;
  std::string error_;
  int32_t freq_scale_pin_ = -1;
  float* output_ = nullptr;
};

void AddLibraryTessavine(const std::string& name, const std::string& path,
                         const TessavineSetup& setup) {
  {
    TessavineLibraryRig probe(path, setup);
    if (!probe.ok()) {
      std::printf("%-60s skipped: %s\n", name.c_str(), probe.error().c_str());
      ++g_unloadable;
      return;
    }
  }
  // Blocks shorter than 256 samples: as many as make 256 per iteration.
  const int32_t blocks = setup.block < kBlock ? kBlock / setup.block : 1;
  AddRow(name, blocks * setup.block, [path, setup, blocks](benchmark::State& state) {
    TessavineLibraryRig rig(path, setup);
    for (auto _ : state) {
      for (int32_t block = 0; block < blocks; ++block) rig.RenderBlock();
    }
  });
}

// ---- All rows ---------------------------------------------------------------------------------

struct Folders {
  std::string plugins = SE_BENCH_PLUGIN_DIR;
  std::string compare;  // empty: no compare/... rows
};

const char* const kQualityNames[] = {"normal", "high", "ultra"};

std::string PelioName(int16_t quality, int16_t harmonics, int32_t span) {
  return std::string("pelio/") + kQualityNames[quality] + "/N=" + std::to_string(harmonics) +
         "/span=" + std::to_string(span);
}

std::string TessavineName(int32_t block) {
  return "tessavine/constant pitch/block=" + std::to_string(block);
}

// The three event rows of one build of Pelio: `prefix` + "no events", "event every 64" and
// "event every 64, 1f moves".
const char* const kEventRows[] = {"no events", "event every 64", "event every 64, 1f moves"};

PelioSetup EventSetup(int row) {
  PelioSetup setup;
  if (row >= 1) setup.event_interval = kEventInterval;
  if (row == 2) setup.amplitude_steps = true;
  return setup;
}

void AddLibraryEventRows(const std::string& prefix, const std::string& path) {
  for (int row = 0; row < 3; ++row) {
    AddLibraryPelio(prefix + kEventRows[row], path, EventSetup(row));
  }
}

const char kLibraryFrame[] = "library/frame/pelio normal N=16, ";
const char kKernelFrame[] = "kernel/frame/pelio normal N=16, ";
const char kKernelAvx2Frame[] = "kernel/frame/pelio normal N=16 avx2, ";
const char kCompareFrame[] = "compare/frame/pelio normal N=16, ";

void AddAll(const Folders& folders) {
  const std::string pelio = bench::PluginPath(folders.plugins, "pelio");
  const std::string tessavine = bench::PluginPath(folders.plugins, "tessavine");

  AddRow("baseline/naive 16 x std::sin", kBlock, [](benchmark::State& state) {
    NaiveAdditive naive;
    bench::BufferArena buffers(1, kBlock);
    float* output = buffers.Buffer(0);
    for (auto _ : state) {
      naive.Render(output, kBlock);
      benchmark::DoNotOptimize(output);
    }
  });
  AddRow("baseline/bare recurrence chain", kBlock, [](benchmark::State& state) {
    BareChain chain;
    bench::BufferArena buffers(1, kBlock);
    float* output = buffers.Buffer(0);
    for (auto _ : state) {
      chain.Render(output, kBlock);
      benchmark::DoNotOptimize(output);
    }
  });

  // The libraries.
  for (int32_t block : {64, 256, 4096}) {
    TessavineSetup setup;
    setup.block = block;
    AddLibraryTessavine("library/" + TessavineName(block), tessavine, setup);
  }
  TessavineSetup moving;
  moving.moving_pitch = true;
  AddLibraryTessavine("library/tessavine/pitch moving at every sample/block=256", tessavine,
                      moving);
  if (ProcessorHasAvx()) {
    TessavineSetup after_avx;
    after_avx.avx_before_block = true;
    AddLibraryTessavine("library/" + TessavineName(256) + ", AVX code before each block", tessavine,
                        after_avx);
  }
  for (int16_t quality = 0; quality <= 2; ++quality) {
    for (int16_t harmonics : {1, 4, 16}) {
      for (int32_t span : {16, 64, 256}) {
        PelioSetup setup;
        setup.quality = quality;
        setup.harmonics = harmonics;
        setup.span = span;
        AddLibraryPelio("library/" + PelioName(quality, harmonics, span), pelio, setup);
      }
    }
  }
  AddLibraryEventRows(kLibraryFrame, pelio);
  TessavineSetup tessavine_events;
  tessavine_events.event_interval = kEventInterval;
  AddLibraryTessavine("library/frame/tessavine, no events", tessavine, TessavineSetup());
  AddLibraryTessavine("library/frame/tessavine, event every 64", tessavine, tessavine_events);
  PelioSetup tiny_mod;
  tiny_mod.mod = 1e-37f;
  PelioSetup subnormal_mod;
  subnormal_mod.mod = 1e-40f;
  PelioSetup tiny_amplitudes;
  tiny_amplitudes.amplitude_scale = 1e-38f;
  AddLibraryPelio("library/denormal/pelio normal N=16, Mod 1e-37", pelio, tiny_mod);
  AddLibraryPelio("library/denormal/pelio normal N=16, Mod 1e-40", pelio, subnormal_mod);
  AddLibraryPelio("library/denormal/pelio normal N=16, amplitudes 1e-38/k", pelio, tiny_amplitudes);

  // The kernels, compiled into this program.
  AddRow("kernel/tessavine/constant pitch", kBlock, [](benchmark::State& state) {
    SineRecurrence sine;
    sine.Reset(kSampleRate);
    bench::BufferArena buffers(2, kBlock);
    float* pitch = buffers.Buffer(0);
    float* output = buffers.Buffer(1);
    for (int32_t n = 0; n < kBlock; ++n) pitch[n] = 0.5f;
    for (auto _ : state) {
      sine.Render(pitch, output, kBlock, 0);
      benchmark::DoNotOptimize(output);
    }
  });
  for (int16_t quality = 0; quality <= 2; ++quality) {
    for (int16_t harmonics : {1, 4, 16}) {
      for (int32_t span : {16, 64, 256}) {
        PelioSetup setup;
        setup.quality = quality;
        setup.harmonics = harmonics;
        setup.span = span;
        AddKernelPelio("kernel/" + PelioName(quality, harmonics, span), setup);
      }
    }
  }
  for (int16_t quality = 0; quality <= 2; ++quality) {
    for (Isa isa : pelio::kAllIsas) {
      if (isa == pelio::BestIsa()) continue;
      PelioSetup setup;
      setup.quality = quality;
      setup.isa = isa;
      AddKernelPelio("kernel/" + PelioName(quality, 16, kBlock) + "/" + IsaName(isa), setup);
    }
  }
  for (int row = 0; row < 3; ++row) {
    AddKernelPelio(std::string(kKernelFrame) + kEventRows[row], EventSetup(row));
  }
  // The same with the AVX2 renderer, as on a processor without AVX-512.
  if (pelio::BestIsa() == Isa::kAvx512) {
    for (int row = 0; row < 3; ++row) {
      PelioSetup setup = EventSetup(row);
      setup.isa = Isa::kAvx2;
      AddKernelPelio(std::string(kKernelAvx2Frame) + kEventRows[row], setup);
    }
  }
  AddKernelPelio("kernel/denormal/pelio normal N=16, Mod 1e-37", tiny_mod);
  AddKernelPelio("kernel/denormal/pelio normal N=16, Mod 1e-40", subnormal_mod);
  AddKernelPelio("kernel/denormal/pelio normal N=16, amplitudes 1e-38/k", tiny_amplitudes);

  // Another build's libraries, in the same run.
  if (!folders.compare.empty()) {
    const std::string other_pelio = bench::PluginPath(folders.compare, "pelio");
    const std::string other_tessavine = bench::PluginPath(folders.compare, "tessavine");
    for (int32_t block : {64, 256, 4096}) {
      TessavineSetup setup;
      setup.block = block;
      AddLibraryTessavine("compare/" + TessavineName(block), other_tessavine, setup);
    }
    AddLibraryTessavine("compare/tessavine/pitch moving at every sample/block=256", other_tessavine,
                        moving);
    for (int16_t quality = 0; quality <= 2; ++quality) {
      PelioSetup setup;
      setup.quality = quality;
      AddLibraryPelio("compare/" + PelioName(quality, 16, kBlock), other_pelio, setup);
    }
    AddLibraryEventRows(kCompareFrame, other_pelio);
  }
}

// ---- The machine ------------------------------------------------------------------------------

const char* TargetName() {
#if defined(_WIN32)
  return "win32 (i686 mingw-w64, under Wine)";
#elif defined(__x86_64__)
  return "native (x86-64 Linux)";
#else
  return "x86 (i386 Linux)";
#endif
}

// The processor's brand string and family, model and stepping, as CPUID gives them.
std::string ProcessorName() {
#if defined(__i386__) || defined(__x86_64__)
  unsigned words[12] = {};
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  std::string brand;
  if (__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) && eax >= 0x80000004u) {
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
      __get_cpuid(0x80000002u + leaf, &words[4 * leaf], &words[4 * leaf + 1], &words[4 * leaf + 2],
                  &words[4 * leaf + 3]);
    }
    char text[49] = {};
    std::memcpy(text, words, 48);
    brand = text;
    while (!brand.empty() && brand.back() == ' ') brand.pop_back();
    while (!brand.empty() && brand.front() == ' ') brand.erase(brand.begin());
  }
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    const unsigned base_family = (eax >> 8) & 0xF;
    const unsigned family = base_family == 0xF ? base_family + ((eax >> 20) & 0xFF) : base_family;
    const unsigned model = base_family == 0xF || base_family == 0x6
                               ? (((eax >> 16) & 0xF) << 4) | ((eax >> 4) & 0xF)
                               : (eax >> 4) & 0xF;
    char text[64];
    std::snprintf(text, sizeof text, " (family %u, model %u, stepping %u)", family, model,
                  eax & 0xF);
    brand += text;
  }
  return brand;
#else
  return "unknown processor";
#endif
}

// ---- The tables -------------------------------------------------------------------------------

class Table {
 public:
  explicit Table(const std::vector<bench::Measurement>& measurements)
      : measurements_(measurements) {}

  // ns per sample of the fastest repetition of the benchmark called `name` (or of its median
  // repetition), NaN where it did not run.
  double PerSample(const std::string& name, bool median = false) const {
    for (const bench::Measurement& measurement : measurements_) {
      if (measurement.name == name) {
        return (median ? measurement.median_nanoseconds : measurement.nanoseconds_per_iteration) /
               Samples(name);
      }
    }
    return NAN;
  }

  void Print(const Folders& folders) const {
    const double naive = PerSample("baseline/naive 16 x std::sin");
    const double chain = PerSample("baseline/bare recurrence chain");
    std::printf(
        "\n%s, %s; processor: %s; best Pelio renderer %s; plug-ins from %s. Fastest of %d "
        "repetitions in %s; spread: how much slower the median repetition is.\n\n",
        TargetName(), bench::LibraryName(), ProcessorName().c_str(),
        pelio::IsaName(pelio::BestIsa()), folders.plugins.c_str(),
        measurements_.empty() ? 0 : measurements_.front().repetitions, bench::ClockName());
    std::printf(
        "| benchmark | ns/sample | spread | naive / this | this / chain | instances per core "
        "|\n");
    std::printf("| --- | ---: | ---: | ---: | ---: | ---: |\n");
    for (const bench::Measurement& measurement : measurements_) {
      const double per_sample = measurement.nanoseconds_per_iteration / Samples(measurement.name);
      std::printf(
          "| %s | %.2f | %.1f%% | %.1f | %.2f | %.0f |\n", measurement.name.c_str(), per_sample,
          100.0 * (measurement.median_nanoseconds / measurement.nanoseconds_per_iteration - 1.0),
          naive / per_sample, per_sample / chain, 1e9 / (per_sample * kSampleRate));
    }
  }

  // Each performance target: the figure (from the fastest repetitions and from the medians), the
  // bound and whether the first is within it.
  void PrintTargets() const {
    std::printf(
        "\nTargets, judged on the library rows (the AVX2 line: on the kernel, where a renderer "
        "can be forced):\n\n| target | figure | from medians | bound | |\n| --- | ---: | ---: | "
        "---: | --- |\n");
    const std::string naive = "baseline/naive 16 x std::sin";
    const std::string chain = "baseline/bare recurrence chain";
    const std::string avx2 = pelio::BestIsa() == Isa::kAvx2
                                 ? "kernel/" + PelioName(0, 16, kBlock)
                                 : "kernel/" + PelioName(0, 16, kBlock) + "/avx2";
    Target("Pelio Normal N=16, 256: naive / Pelio", naive, "library/" + PelioName(0, 16, 256), 20.0,
           true);
    Target("Pelio High N=16, 256: naive / Pelio", naive, "library/" + PelioName(1, 16, 256), 12.0,
           true);
    Target("Pelio Ultra N=16, 256: naive / Pelio", naive, "library/" + PelioName(2, 16, 256), 12.0,
           true);
    Target("Pelio Normal N=16, 16-sample spans: naive / Pelio", naive,
           "library/" + PelioName(0, 16, 16), 8.0, true);
    Target("Pelio Normal N=16, 256, AVX2 (kernel): naive / Pelio", naive, avx2, 12.0, true);
    Target("Tessavine, block 256 / bare chain", "library/" + TessavineName(256), chain, 1.10,
           false);
    // An event cuts the block, so it costs what a cut there costs (a restart of the renderer,
    // as in 64-sample process calls) and the frame's queueing and handling on top.
    Target("frame: event every 64 / the block in 64-sample calls",
           std::string(kLibraryFrame) + kEventRows[1], "library/" + PelioName(0, 16, 64), 1.05,
           false);
    std::string worst;
    double worst_ratio = -1.0;
    for (const char* name : {"library/denormal/pelio normal N=16, Mod 1e-37",
                             "library/denormal/pelio normal N=16, Mod 1e-40",
                             "library/denormal/pelio normal N=16, amplitudes 1e-38/k"}) {
      const double ratio = PerSample(name) / PerSample("library/" + PelioName(0, 16, 256));
      if (ratio > worst_ratio) {
        worst_ratio = ratio;
        worst = name;
      }
    }
    if (!worst.empty()) {
      Target("worst denormal input / normal input", worst, "library/" + PelioName(0, 16, 256), 2.0,
             false);
    }
  }

  // What an event costs: each build's event rows against its own "no events" row, and the cost
  // of one event in ns (four events per 256 samples).
  void PrintEventCost() const {
    std::printf(
        "\nWhat an event every 64 samples costs (four per 256-sample block), against the same "
        "build without events; ns per event = the difference per block / 4:\n\n"
        "| build | no events, ns/sample | event every 64 | ns per event | event every 64, 1f "
        "moves | ns per event |\n| --- | ---: | ---: | ---: | ---: | ---: |\n");
    const auto row = [&](const char* what, const std::string& prefix) {
      const double none = PerSample(prefix + kEventRows[0]);
      if (std::isnan(none)) return;
      const double same = PerSample(prefix + kEventRows[1]);
      const double moves = PerSample(prefix + kEventRows[2]);
      const double per_event = kEventInterval;  // samples per event
      std::printf("| %s | %.2f | %.3f x | %.1f | %.3f x | %.1f |\n", what, none, same / none,
                  (same - none) * per_event, moves / none, (moves - none) * per_event);
    };
    row("library, as shipped", kLibraryFrame);
    row("kernel (Pelio's class in this program)", kKernelFrame);
    row("kernel with the AVX2 renderer", kKernelAvx2Frame);
    row("compare (--compare-plugins)", kCompareFrame);
    const double tessavine = PerSample("library/frame/tessavine, no events");
    const double tessavine_events = PerSample("library/frame/tessavine, event every 64");
    if (!std::isnan(tessavine)) {
      std::printf("| Tessavine library (checked frame) | %.2f | %.3f x | %.1f | | |\n", tessavine,
                  tessavine_events / tessavine, (tessavine_events - tessavine) * kEventInterval);
    }
  }

  // The compare/... rows against the same rows of the plug-ins timed.
  void PrintComparison(const Folders& folders) const {
    if (folders.compare.empty()) return;
    std::printf(
        "\nThese plug-ins (%s) against the compared ones (%s), same run:\n\n| benchmark | this, "
        "ns/sample | compared | this / compared | compared / chain | this / chain |\n| --- | "
        "---: | ---: | ---: | ---: | ---: |\n",
        folders.plugins.c_str(), folders.compare.c_str());
    const double chain = PerSample("baseline/bare recurrence chain");
    for (const bench::Measurement& measurement : measurements_) {
      const std::string& name = measurement.name;
      if (name.compare(0, 8, "compare/") != 0) continue;
      const std::string own = "library/" + name.substr(8);
      const double mine = PerSample(own);
      const double theirs = PerSample(name);
      std::printf("| %s | %.2f | %.2f | %.3f | %.3f | %.3f |\n", own.c_str(), mine, theirs,
                  mine / theirs, theirs / chain, mine / chain);
    }
  }

 private:
  double Samples(const std::string& name) const {
    const auto found = SamplesPerIteration().find(name);
    return found == SamplesPerIteration().end() ? kBlock : found->second;
  }

  // Prints the line of one target: figure = per-sample time of `numerator` / that of
  // `denominator`, which must be at least `bound` (at_least) or at most `bound`.
  void Target(const char* what, const std::string& numerator, const std::string& denominator,
              double bound, bool at_least) const {
    const double figure = PerSample(numerator) / PerSample(denominator);
    const double median = PerSample(numerator, true) / PerSample(denominator, true);
    const bool met = at_least ? figure >= bound : figure <= bound;
    std::printf("| %s | %.3f | %.3f | %s %.2f | %s |\n", what, figure, median,
                at_least ? ">=" : "<=", bound, met ? "met" : "NOT met");
  }

  std::vector<bench::Measurement> measurements_;
};

// The value of `--flag=VALUE` in `argument`, or null.
const char* FlagValue(const char* argument, const char* flag) {
  const size_t length = std::strlen(flag);
  if (std::strncmp(argument, flag, length) != 0 || argument[length] != '=') return nullptr;
  return argument + length + 1;
}

}  // namespace

int main(int argc, char** argv) {
  bench::RunOptions options;
  Folders folders;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    const char* value = nullptr;
    if (std::strcmp(argv[i], "--smoke") == 0) {
      options.smoke = true;
    } else if ((value = FlagValue(argv[i], "--plugins")) != nullptr) {
      folders.plugins = value;
    } else if ((value = FlagValue(argv[i], "--compare-plugins")) != nullptr) {
      folders.compare = value;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  std::printf(
      "processor: %s\nPelio renderer: %s (what pelio::BestIsa() picks on this processor, as the "
      "library does for each module it creates)\n",
      ProcessorName().c_str(), pelio::IsaName(pelio::BestIsa()));
  std::fflush(stdout);
  AddAll(folders);
  const std::vector<bench::Measurement> measurements =
      bench::RunAll(static_cast<int>(arguments.size()), arguments.data(), options);
  if (bench::LibraryInstance::StrayRequests() != 0) {
    std::printf("note: the modules sent %llu requests from inside timed calls (answered 0)\n",
                static_cast<unsigned long long>(bench::LibraryInstance::StrayRequests()));
  }
  if (options.smoke) {
    std::printf("%zu benchmarks ran once each; %d could not load their library\n",
                measurements.size(), g_unloadable);
    return measurements.empty() || g_unloadable != 0 ? 1 : 0;
  }
  const Table table(measurements);
  table.Print(folders);
  table.PrintTargets();
  table.PrintEventCost();
  table.PrintComparison(folders);
  return 0;
}
