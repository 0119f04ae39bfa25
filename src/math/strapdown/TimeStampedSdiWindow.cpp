#include "math/strapdown/TimeStampedSdiWindow.h"

#include <algorithm>
#include <cmath>

#include "math/strapdown/Strapdown.h"

namespace zelto {

TimeStampedSdiWindow::~TimeStampedSdiWindow() = default;

bool TimeStampedSdiWindow::add(const SdiData& increment) {
  if (m_duration > m_threshold) init();
  sdiWindowAdd(m_dq, m_dv, increment.m_dq, increment.m_dv);
  m_duration += increment.m_duration;
  return m_duration > m_threshold;
}

void TimeStampedSdiWindow::setTimespan(double span, int n) {
  const double s = std::max(std::fabs(span), 1e-5);
  m_threshold = s - s / n;
  init();
}

}  // namespace zelto
