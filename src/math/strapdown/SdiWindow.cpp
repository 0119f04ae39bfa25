#include "math/strapdown/SdiWindow.h"

#include "math/strapdown/Strapdown.h"

namespace zelto {

SdiWindow::~SdiWindow() = default;

bool SdiWindow::add(const SdiData& increment) {
  if (m_counter == 0) init();
  sdiWindowAdd(m_dq, m_dv, increment.m_dq, increment.m_dv);
  if (++m_counter == m_rate) {
    m_counter = 0;
    return true;
  }
  return false;
}

bool SdiWindow::resume(const SdiData& partial, int counter) {
  if (counter < 0 || counter >= m_rate) return false;
  SdiData::operator=(partial);
  m_counter = counter;
  return true;
}

void SdiWindow::setDecimationRate(int rate) {
  if (rate <= 0) return;
  m_rate = rate;
  m_counter = 0;
  init();
}

}  // namespace zelto
