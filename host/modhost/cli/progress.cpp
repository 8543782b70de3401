// The progress bar of long renders and validations (see progress.h).
#include "host/modhost/cli/progress.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace modhost {

namespace {

const auto kQuietStart = std::chrono::seconds(2);
const auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

bool ErrorsToTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

Progress::Progress(bool enabled, int64_t total)
    : enabled_(enabled && ErrorsToTerminal() && total > 0),
      total_(total),
      started_(std::chrono::steady_clock::now()) {}

void Progress::Update(int64_t done, const std::string& what) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - started_ < kQuietStart) return;
  if (drawn_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  drawn_ = true;
  const int kWidth = 40;
  const double fraction = static_cast<double>(done) / static_cast<double>(total_);
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r\033[K[%s] %3d%% %s", bar.c_str(), static_cast<int>(fraction * 100),
               what.c_str());
  std::fflush(stderr);
}

void Progress::Finish() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace modhost
