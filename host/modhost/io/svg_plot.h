// The picture behind `modhost analyze --svg`: what a module's inputs and settings did to a
// rendering is easiest to see as the waveform of a few periods next to the spectrum with each
// harmonic marked. Written as plain SVG text, so that it needs no library and opens in any
// browser; the tests have rsvg-convert draw every kind of plot it makes.
#pragma once

#include <cstddef>
#include <string>

#include "host/modhost/analyze/analysis.h"

namespace modhost {

// A complete SVG document with two panels: the waveform of the first three periods of the
// fundamental (the first 10 ms when there is none), and the magnitude spectrum in dB relative to
// full scale, up to 16.5 times the fundamental (or up to half the sample rate), with harmonics 1
// to 16 marked and numbered. `analysis` must come from Analyze(samples, count, ...); `name`
// (usually the file name) goes into the title.
std::string PlotAnalysisSvg(const float* samples, std::size_t count, const SignalAnalysis& analysis,
                            const std::string& name);

}  // namespace modhost
