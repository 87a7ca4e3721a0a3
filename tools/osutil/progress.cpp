#include "tools/osutil/progress.h"

#include <cstdio>
#include <utility>

namespace osutil {

namespace {
constexpr int kBarWidth = 40;
}

ProgressBar::ProgressBar(bool enabled, std::string label)
    : enabled_(enabled), label_(std::move(label)) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(double fraction) {
  if (!enabled_) return;
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  const int percent = static_cast<int>(fraction * 100.0);
  if (percent == shown_percent_) return;
  shown_percent_ = percent;
  const int filled = static_cast<int>(fraction * kBarWidth);
  char bar[kBarWidth + 1];
  for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kBarWidth] = '\0';
  std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar, percent);
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::finish() {
  if (!drawn_) return;
  // Carriage return, erase to the end of the line.
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
  shown_percent_ = -1;
}

}  // namespace osutil
