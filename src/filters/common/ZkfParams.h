#pragma once
// Base of each filter's run-time parameters. Owns its step selection: replaced objects and the
// last one are deleted here; copies hold a duplicate (null when the source has none).
#include "filters/common/ZeltoParams.h"
#include "filters/common/ZkfFilterSteps.h"

class ZkfParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;

  // Takes ownership of steps (may be null).
  explicit ZkfParams(ZkfFilterSteps* steps = nullptr);
  ZkfParams(const ZkfParams& other);
  ZkfParams& operator=(const ZkfParams& other);
  ~ZkfParams() override;

  // The owned step selection (still owned by this record), or null.
  virtual ZkfFilterSteps* filterSteps() const;
  // Deletes the owned steps object and takes ownership of steps (may be null).
  void setFilterSteps(ZkfFilterSteps* steps);

 private:
  ZkfFilterSteps* m_steps;
};
