#pragma once
// A host filter that does nothing: each operation answers as an idle filter. Tests derive from
// it and override what they count or script.
#include "filters/common/ZtZkfFilter.h"

namespace zelto::test {

class NullZkfFilter : public ZtZkfFilter {
 public:
  bool doOneKalmanStep(const ZkfSensorData&, const ZkfAiding&, const ZkfRealTimeParameters&, ZkfFilterOutput&,
                       const ZkfTime*) override {
    return false;
  }
  void restart(ZkfParams*) override {}
  void getFullState(ZkfState*) const override {}
  void setFullState(const ZkfState*) override {}
  ZkfParams* getFilterParameters() override { return nullptr; }
  bool isInitialized() const override { return false; }
  const char* svnRevision() const override { return "$Rev: 0 $"; }
  char type() const override { return '?'; }
  void getVersion(int& major, int& minor, int& revision) const override { major = minor = revision = 0; }
};

}  // namespace zelto::test
