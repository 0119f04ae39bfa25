#pragma once
// Base of a filter's full state as getFullState/setFullState copy it (state files, resets).
#include "filters/common/ZeltoParams.h"

class ZkfState : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  ~ZkfState() override;
  // Whether a stored state may be used; the base has nothing to test.
  virtual bool isValid() const;
};
