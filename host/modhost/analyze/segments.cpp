// Cutting the frames into segments (see segments.h).
#include "host/modhost/analyze/segments.h"

#include <algorithm>
#include <cmath>

namespace modhost {
namespace {

bool WithinTolerance(double pitch_hz, double reference_hz) {
  return std::abs(pitch_hz - reference_hz) <= kSteadyTolerance * reference_hz;
}

double Median(std::vector<double> values) {
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// The median pitch of the pitched frames first..last, taken again over those within the
// tolerance of it, so that frames absorbed from a change around the segment do not move it.
double MedianPitch(const std::vector<PitchFrame>& frames, std::size_t first, std::size_t last) {
  std::vector<double> pitches;
  for (std::size_t index = first; index <= last; ++index) {
    if (frames[index].pitch_hz > 0.0) pitches.push_back(frames[index].pitch_hz);
  }
  if (pitches.empty()) return 0.0;
  const double median = Median(pitches);
  std::vector<double> near;
  for (double pitch : pitches) {
    if (WithinTolerance(pitch, median)) near.push_back(pitch);
  }
  return Median(near);
}

// Runs of frames whose pitch stays within the tolerance of the run's running mean, as
// [first, last] pairs; every frame of a run is pitched.
std::vector<std::pair<std::size_t, std::size_t>> SteadyRuns(const std::vector<PitchFrame>& frames,
                                                            std::size_t shortest) {
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  std::size_t first = 0;
  while (first < frames.size()) {
    if (!(frames[first].pitch_hz > 0.0)) {
      ++first;
      continue;
    }
    double sum = frames[first].pitch_hz;
    std::size_t last = first;
    while (
        last + 1 < frames.size() && frames[last + 1].pitch_hz > 0.0 &&
        WithinTolerance(frames[last + 1].pitch_hz, sum / static_cast<double>(last - first + 1))) {
      ++last;
      sum += frames[last].pitch_hz;
    }
    if (last - first + 1 >= shortest) runs.emplace_back(first, last);
    first = last + 1;
  }
  return runs;
}

}  // namespace

std::vector<PitchSegment> FindSegments(const std::vector<PitchFrame>& frames, double hop_seconds,
                                       double frame_seconds, double duration_seconds) {
  std::vector<PitchSegment> segments;
  if (frames.empty()) return segments;
  // A steady run must last a frame (the shortest stretch the frames resolve), or cover them all.
  const std::size_t frames_per_frame =
      static_cast<std::size_t>(std::max(1.0, std::floor(frame_seconds / hop_seconds + 1e-9)));
  const std::size_t shortest = std::min(frames_per_frame, frames.size());

  // The raw segments: steady runs, and between them runs of glide or no pitch.
  std::size_t next = 0;
  auto add_unsteady = [&](std::size_t end) {  // frames next..end-1
    while (next < end) {
      const bool pitched = frames[next].pitch_hz > 0.0;
      std::size_t last = next;
      while (last + 1 < end && (frames[last + 1].pitch_hz > 0.0) == pitched) ++last;
      PitchSegment segment;
      segment.kind = pitched ? SegmentKind::kGlide : SegmentKind::kNoPitch;
      segment.first_frame = segment.core_first = next;
      segment.last_frame = segment.core_last = last;
      segments.push_back(segment);
      next = last + 1;
    }
  };
  for (const auto& [first, last] : SteadyRuns(frames, shortest)) {
    add_unsteady(first);
    PitchSegment segment;
    segment.kind = SegmentKind::kSteady;
    segment.first_frame = segment.core_first = first;
    segment.last_frame = segment.core_last = last;
    segments.push_back(segment);
    next = last + 1;
  }
  add_unsteady(frames.size());

  // Short runs beside steady segments are the frames that straddle a change: split them.
  std::vector<PitchSegment> merged;
  for (std::size_t index = 0; index < segments.size(); ++index) {
    PitchSegment segment = segments[index];
    const bool short_run = segment.kind != SegmentKind::kSteady &&
                           segment.last_frame - segment.first_frame + 1 < frames_per_frame;
    const bool steady_before = !merged.empty() && merged.back().kind == SegmentKind::kSteady;
    const bool steady_after =
        index + 1 < segments.size() && segments[index + 1].kind == SegmentKind::kSteady;
    const bool at_start = index == 0;
    const bool at_end = index + 1 == segments.size();
    if (short_run && ((steady_before && (steady_after || at_end)) || (at_start && steady_after))) {
      if (steady_before && steady_after) {
        const std::size_t middle = (segment.first_frame + segment.last_frame + 1) / 2;
        merged.back().last_frame = middle - 1;
        segments[index + 1].first_frame = middle;
      } else if (steady_before) {
        merged.back().last_frame = segment.last_frame;
      } else {
        segments[index + 1].first_frame = segment.first_frame;
      }
      continue;
    }
    merged.push_back(segment);
  }
  // Neighbouring steady segments of one pitch (split only by a short disturbance) are one.
  segments.clear();
  for (PitchSegment& segment : merged) {
    if (segment.kind == SegmentKind::kSteady) {
      segment.frequency_hz = MedianPitch(frames, segment.first_frame, segment.last_frame);
    }
    if (!segments.empty() && segments.back().kind == segment.kind &&
        (segment.kind != SegmentKind::kSteady ||
         WithinTolerance(segment.frequency_hz, segments.back().frequency_hz))) {
      segments.back().last_frame = segment.last_frame;
      segments.back().core_last = segment.core_last;
      if (segment.kind == SegmentKind::kSteady) {
        segments.back().frequency_hz =
            MedianPitch(frames, segments.back().first_frame, segment.last_frame);
      }
      continue;
    }
    segments.push_back(segment);
  }

  // Times: each frame owns the hop around its centre, and the edges go to the file's ends. Two
  // segments meet halfway between their own frames, so that the frames that straddled the change
  // and were split between them leave the boundary where the change is.
  for (std::size_t index = 0; index < segments.size(); ++index) {
    PitchSegment& segment = segments[index];
    segment.start_seconds = index == 0 ? 0.0 : segments[index - 1].end_seconds;
    if (index + 1 == segments.size()) {
      segment.end_seconds = duration_seconds;
    } else {
      const PitchSegment& following = segments[index + 1];
      segment.end_seconds = 0.5 * (frames[segment.core_last].time_seconds +
                                   frames[following.core_first].time_seconds);
    }
    if (segment.kind == SegmentKind::kGlide) {
      segment.start_hz = frames[segment.first_frame].pitch_hz;
      segment.end_hz = frames[segment.last_frame].pitch_hz;
    }
  }
  return segments;
}

std::optional<PitchSegment> StableSegment(const std::vector<PitchSegment>& segments,
                                          double duration_seconds) {
  for (const PitchSegment& segment : segments) {
    if (segment.kind == SegmentKind::kSteady &&
        segment.end_seconds - segment.start_seconds >= kStableShare * duration_seconds) {
      return segment;
    }
  }
  return std::nullopt;
}

}  // namespace modhost
