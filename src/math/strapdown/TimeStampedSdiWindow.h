#pragma once
// Composes increments until their summed durations exceed a threshold just below a time span.
#include "math/strapdown/SdiData.h"

namespace zelto {

class TimeStampedSdiWindow : public SdiData {
 public:
  TimeStampedSdiWindow() = default;
  TimeStampedSdiWindow(const TimeStampedSdiWindow&) = default;
  TimeStampedSdiWindow& operator=(const TimeStampedSdiWindow&) = default;
  ~TimeStampedSdiWindow() override;

  // True when the accumulated duration now exceeds the threshold; a complete window is
  // emptied by the next add.
  bool add(const SdiData& increment);
  bool isWindowComplete() const { return m_duration > m_threshold; }
  // threshold = s - s/n with s = max(|span|, 1e-5); the window is emptied.
  void setTimespan(double span, int n);
  double threshold() const { return m_threshold; }

 private:
  double m_threshold = 0.0;
};

}  // namespace zelto
