// A one-line progress bar on stderr, redrawn in place.
#ifndef OBJSTORE_TOOLS_OSUTIL_PROGRESS_H_
#define OBJSTORE_TOOLS_OSUTIL_PROGRESS_H_

#include <string>

namespace osutil {

class ProgressBar {
 public:
  // Draws nothing unless `enabled`; callers enable it only for a terminal.
  ProgressBar(bool enabled, std::string label);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // `fraction` from 0 to 1; redraws only when the shown percentage changes.
  void update(double fraction);
  // Erases the bar, so that what follows starts on a clean line.
  void finish();

 private:
  bool enabled_;
  bool drawn_ = false;
  int shown_percent_ = -1;
  std::string label_;
};

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_PROGRESS_H_
