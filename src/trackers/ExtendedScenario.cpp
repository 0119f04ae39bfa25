#include "trackers/ExtendedScenario.h"

#include "filters/common/ZeltoParams.h"

ExtendedScenario::ExtendedScenario() = default;

ExtendedScenario::ExtendedScenario(const ZtFilterProfile& profile, ZeltoParams* parameters)
    : m_profile(profile), m_parameters(parameters) {}

ExtendedScenario::~ExtendedScenario() { delete m_parameters; }

void ExtendedScenario::setParameters(ZeltoParams* parameters) {
  if (parameters == m_parameters) return;
  delete m_parameters;
  m_parameters = parameters;
}
