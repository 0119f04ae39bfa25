#pragma once
// A host filter profile with the filter parameters of its scenario (a record of the tracker
// class's filter). Owns the parameters: destroying the scenario destroys them.
#include <string>

#include "errors/ZtException.h"
#include "zeltodeviceapi/ztdevicetypes.h"

class ZeltoParams;

class ExtendedScenario {
 public:
  ExtendedScenario();
  ExtendedScenario(const ZtFilterProfile& profile, ZeltoParams* parameters);
  ~ExtendedScenario();
  ExtendedScenario(const ExtendedScenario&) = delete;
  ExtendedScenario& operator=(const ExtendedScenario&) = delete;

  const ZtFilterProfile& profile() const { return m_profile; }
  ZtFilterProfile& profile() { return m_profile; }
  ZeltoParams* parameters() const { return m_parameters; }
  // Takes ownership; the parameters held before are destroyed.
  void setParameters(ZeltoParams* parameters);
  bool flag() const { return m_flag; }
  void setFlag(bool flag) { m_flag = flag; }

 private:
  ZtFilterProfile m_profile{};
  ZeltoParams* m_parameters = nullptr;
  bool m_flag = false;
};

// Gives the scenario a new, empty parameter record of the filter's family, marks the profile with
// the filter's type and checks its version: the major must match and the minor may be newer than
// the filter's. Throws (invalid parameter) for no scenario or a version that does not fit; the
// caller then reads the record.
template <typename Filter, typename ScenarioParams>
ScenarioParams* installScenarioParameters(ExtendedScenario* scenario, const std::string& prefix) {
  if (!scenario) throw ZtException(ZRV_INVALIDPARAM, "no scenario");
  auto* parameters = new ScenarioParams();
  scenario->setParameters(parameters);
  unsigned char type = 0, major = 0, minor = 0, revision = 0;
  Filter::getTypeAndVersion(type, major, minor, revision);
  ZtFilterProfile& profile = scenario->profile();
  profile.filterType = static_cast<char>(type);
  if (profile.filterMajor != major || profile.filterMinor < minor)
    throw ZtException(ZRV_INVALIDPARAM, prefix + "gp.filterVersion does not fit the filter");
  return parameters;
}
