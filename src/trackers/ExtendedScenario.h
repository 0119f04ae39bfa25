#pragma once
// A host filter profile with the filter parameters of its scenario (a record of the tracker
// class's filter). Owns the parameters: destroying the scenario destroys them.
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
