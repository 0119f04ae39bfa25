#pragma once
// Step selection of the Zkf3 filter: with "default" set the filter runs its own schedule;
// otherwise exactly the enabled steps, in the fixed order init, predict, accUpdate, magUpdate,
// zeroRotationUpdate, correct.
#include "filters/common/ZkfFilterSteps.h"

namespace zelto {

class Zkf3FilterSteps : public ZkfFilterSteps {
 public:
  static const char* const LABEL_INIT;
  static const char* const LABEL_PREDICT;
  static const char* const LABEL_CORRECT;
  static const char* const LABEL_ZERO_ROTATION_UPDATE;
  static const char* const LABEL_ACC_UPDATE;
  static const char* const LABEL_MAG_UPDATE;
  static const char* const LABEL_DEFAULT;

  Zkf3FilterSteps() = default;
  Zkf3FilterSteps(const Zkf3FilterSteps&) = default;
  Zkf3FilterSteps& operator=(const Zkf3FilterSteps&) = default;
  ~Zkf3FilterSteps() override;

  ZkfFilterSteps* duplicate() const override;
  // Clears every flag; an empty list selects "default". Labels are matched without regard to
  // case; an unknown label stops the list (flags set before it stay) and gives false.
  bool enableSteps(const LabelList& steps) override;
  // Appends the set flags in flag order ("init" is never listed).
  void enabledSteps(LabelList& out) const override;
  // Appends every label but "init".
  void availableSteps(LabelList& out) const override;

  bool init = false;
  bool predict = false;
  bool correct = false;
  bool zeroRotationUpdate = false;
  bool accUpdate = false;
  bool magUpdate = false;
  bool defaultSchedule = true;
};

}  // namespace zelto
