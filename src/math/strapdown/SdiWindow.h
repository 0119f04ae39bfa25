#pragma once
// Composes increments in groups of a decimation rate: add returns true on the increment that
// completes a group, and the composition stays readable until the next add starts a new one.
#include "math/strapdown/SdiData.h"

namespace zelto {

class SdiWindow : public SdiData {
 public:
  // Rate 1 and counter 0: every increment completes a window until the rate is set.
  SdiWindow() = default;
  SdiWindow(const SdiWindow&) = default;
  SdiWindow& operator=(const SdiWindow&) = default;
  ~SdiWindow() override;

  bool add(const SdiData& increment);
  // The next add starts a new window.
  void restart() { m_counter = 0; }
  // Continues a window that already holds counter increments combined into partial (a window
  // carried over from elsewhere, e.g. a recording's start). False, nothing changed, unless
  // 0 <= counter < the rate.
  bool resume(const SdiData& partial, int counter);
  // A rate of 0 or less is ignored; otherwise the window starts over.
  void setDecimationRate(int rate);
  int getDecimationRate() const { return m_rate; }
  int getDecimationCounter() const { return m_counter; }

 private:
  int m_rate = 1;
  int m_counter = 0;
};

}  // namespace zelto
