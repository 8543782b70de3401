// The picture behind `modhost analyze --svg`: what a module's inputs and settings did to a
// rendering, over time and at rest. Over time: a spectrogram (time across, frequency up, level as
// colour), the pitch track and the RMS, so that a sweep, a step or a glide shows as it happens.
// At rest, for a file with a stable pitch: a few periods of the waveform and the spectrum with
// each harmonic marked. Every level is in dBFS (0 dB = full scale, 1.0 = 10 V), and every axis
// says so. Written as plain SVG text (svg_writer.h); the tests have rsvg-convert draw every kind
// of plot it makes.
#pragma once

#include <string>

#include "host/modhost/analyze/analysis.h"

namespace modhost {

struct PlotOptions {
  bool log_frequency = false;  // the spectrogram's frequency axis
};

// A complete SVG document for `analysis`; `name` (usually the file name) goes into the title.
std::string PlotAnalysisSvg(const SignalAnalysis& analysis, const std::string& name,
                            const PlotOptions& options = {});

}  // namespace modhost
