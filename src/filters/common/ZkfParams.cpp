#include "filters/common/ZkfParams.h"

ZkfParams::ZkfParams(ZkfFilterSteps* steps) : m_steps(steps) {}

ZkfParams::ZkfParams(const ZkfParams& other) : ZeltoParams(other), m_steps(nullptr) {
  const ZkfFilterSteps* source = other.filterSteps();
  m_steps = source ? source->duplicate() : nullptr;
}

ZkfParams& ZkfParams::operator=(const ZkfParams& other) {
  if (this != &other) {
    const ZkfFilterSteps* source = other.filterSteps();
    setFilterSteps(source ? source->duplicate() : nullptr);
  }
  return *this;
}

ZkfParams::~ZkfParams() { delete m_steps; }

ZkfFilterSteps* ZkfParams::filterSteps() const { return m_steps; }

void ZkfParams::setFilterSteps(ZkfFilterSteps* steps) {
  if (steps == m_steps) return;
  delete m_steps;
  m_steps = steps;
}
