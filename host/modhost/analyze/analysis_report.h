// How `modhost analyze` words its results: a readable summary, a table of the frames, and JSON
// whose field names state their units. Levels are in dBFS everywhere (0 dB = full scale, 1.0 =
// 10 V), and every column and field says so.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "host/modhost/analyze/analysis.h"

namespace modhost {

// What the report says about the input besides the analysis itself.
struct ReportContext {
  std::string file;
  int channel = 1;
  int channels = 1;
  std::string svg;  // empty when no plot was written
  bool frames = false;
};

// "220.0 Hz from 0.000 s to 1.000 s, 330.0 Hz from 1.000 s to 2.000 s"; glides read "100.0 Hz
// gliding to 1000.0 Hz from ...", and what has no pitch "no pitch from ...".
std::string DescribeSegments(const std::vector<PitchSegment>& segments);

std::string AnalysisSummary(const ReportContext& context, const SignalAnalysis& analysis);
// One line per frame: time, pitch, confidence, RMS and harmonics 1 to 16.
std::string FramesTable(const SignalAnalysis& analysis);
nlohmann::ordered_json AnalysisJson(const ReportContext& context, const SignalAnalysis& analysis);

}  // namespace modhost
