// From a file's frames to what a person asks first: one pitch, or which pitches when.
//
// The frames are cut into segments of three kinds: steady (every frame's pitch within
// kSteadyTolerance of the segment's mean, for at least one frame length), glide (pitched, but
// moving faster than that) and no pitch (silent or aperiodic frames). A frame that straddles a
// change of pitch sees both sides and can read as a common subharmonic of the two (220 Hz then
// 330 Hz reads as 110 Hz); such runs are shorter than a frame, so a run shorter than one frame
// between two steady segments, or between one and the file's edge, is split between its
// neighbours. A file has a stable pitch when one steady segment covers kStableShare of its
// length.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "host/modhost/analyze/pitch_track.h"

namespace modhost {

// 1%, about 17 cents: more than any frame's error, less than a semitone (6%).
inline constexpr double kSteadyTolerance = 0.01;
inline constexpr double kStableShare = 0.9;

enum class SegmentKind { kSteady, kGlide, kNoPitch };

struct PitchSegment {
  SegmentKind kind = SegmentKind::kNoPitch;
  std::size_t first_frame = 0;
  std::size_t last_frame = 0;
  // The frames that made the segment, before those straddling a change on either side joined.
  std::size_t core_first = 0;
  std::size_t core_last = 0;
  double start_seconds = 0.0;  // the first segment starts at 0, the last ends at the file's end
  double end_seconds = 0.0;
  double frequency_hz = 0.0;  // steady: the median of its frames' pitches
  double start_hz = 0.0;      // glide: the first and last frames' pitches
  double end_hz = 0.0;
};

// The segments of `frames` (each `hop_seconds` after the last) of a file of `duration_seconds`
// analyzed in frames of `frame_seconds`.
std::vector<PitchSegment> FindSegments(const std::vector<PitchFrame>& frames, double hop_seconds,
                                       double frame_seconds, double duration_seconds);

// The steady segment covering kStableShare of `duration_seconds`, if there is one.
std::optional<PitchSegment> StableSegment(const std::vector<PitchSegment>& segments,
                                          double duration_seconds);

}  // namespace modhost
