// One case of `modhost fuzz`: what a host does to a freshly opened module over one render, drawn
// at random from the module's pins, and played twice, cut into blocks two different ways. A case
// is a validator script (validate/scripts.h) with what a script does not have: the sample rate,
// the host's clock at open, pauses after which the host resumes the module, and the two block
// plans. It is written as text, so that a finding can be saved, shrunk and replayed anywhere:
//
//   modhost fuzz case 1
//   rate 44100
//   clock 4294967000
//   length 1200
//   level 0 0.5                      an audio input's level at the start (10 V = 1.0)
//   event 12 3 0 2 lead 1            a pin update at sample 12: pin 3, status 0, value 2, handed
//                                    over one block early
//   event 40 0 2 0 level 1e+30       the same, announcing audio input 0's new level
//   resume 600 4410                  the host pauses for 4410 samples before sample 600
//   plan 64@0 7@3 ...                block sizes at buffer offsets, first way
//   other 1@0 1@0 ...                the second way
//
// Each block plan is cut at every resume, which falls between blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/modhost/run/random.h"
#include "host/modhost/validate/check_context.h"
#include "host/modhost/validate/scripts.h"

namespace modhost {
namespace fuzzing {

struct Resume {
  uint32_t at = 0;     // the sample before which the host pauses
  uint32_t pause = 0;  // samples the clock moves on meanwhile
};

struct FuzzCase {
  float sample_rate = 44100.0f;
  uint32_t clock = 0;
  validation::Script script;
  std::vector<Resume> resumes;  // by `at`, each inside the render
  validation::BlockPlan plan;
  validation::BlockPlan other;

  std::string Write() const;
  // False, with a one-line `error` naming the line, when `text` is not a case.
  static bool Read(const std::string& text, FuzzCase* read, std::string* error);
  // "1200 samples, 14 events, 1 resume, 44100 Hz".
  std::string Summary() const;
};

// A new case for a module with `layout`: pin updates at random samples, bursts of them at one
// sample, extreme values (the ends of the 32-bit range for settings; 1e30, the largest float,
// subnormals and zero for audio inputs), block sizes from 1 to 4096 at buffer offsets, rates from
// 8 kHz to 768 kHz, resumes after pauses, and clocks at 0, anywhere, or just before they wrap.
FuzzCase GenerateCase(const validation::PinLayout& layout, Random& random);

// Cuts `plan` so that it covers exactly `length` samples and a block ends before each resume.
validation::BlockPlan Recut(const validation::BlockPlan& plan, uint32_t length,
                            const std::vector<Resume>& resumes);

// What playing a case found, apart from crashes and hangs, which end the process.
struct Finding {
  enum class Kind { kNone, kCrash, kHang, kNonFinite, kPartition };
  Kind kind = Kind::kNone;
  std::string detail;  // one line
};
const char* FindingName(Finding::Kind kind);

// Plays `fuzz_case` on two fresh instances, one per plan, and compares: a non-finite output
// (every input is finite) or a difference between the two plans is a finding.
Finding PlayCase(validation::CheckContext& context, const FuzzCase& fuzz_case);

// Smaller cases that may still show a finding, the likeliest first: fewer resumes and events,
// a shorter render, simpler plans, a plain rate and clock.
std::vector<FuzzCase> Reductions(const FuzzCase& fuzz_case);

}  // namespace fuzzing
}  // namespace modhost
