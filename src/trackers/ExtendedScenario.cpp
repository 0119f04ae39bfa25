#include "trackers/ExtendedScenario.h"

#include "filters/common/ZkfParams.h"

ExtendedScenario::ExtendedScenario() = default;

ExtendedScenario::ExtendedScenario(const ZtFilterProfile& profile, ZkfParams* parameters)
    : m_profile(profile), m_parameters(parameters) {}

ExtendedScenario::~ExtendedScenario() { delete m_parameters; }

void ExtendedScenario::setParameters(ZkfParams* parameters) {
  if (parameters == m_parameters) return;
  delete m_parameters;
  m_parameters = parameters;
}
