#pragma once
// Step selection of the Zkf3i filter: one flag per step and "default". With "default" set the
// filter runs its own schedule and the other flags are not looked at; otherwise exactly the set
// steps, in the fixed order init, userMagModel, predict, accUpdate, magUpdate,
// zeroRotationUpdate, correct (not the flag order). "caZeroRotationUpdate" is kept and listed
// but selects nothing.
#include "filters/common/ZkfFilterSteps.h"

namespace zelto {

class Zkf3iFilterSteps : public ZkfFilterSteps {
 public:
  static const char* const LABEL_INIT;
  static const char* const LABEL_PREDICT;
  static const char* const LABEL_CORRECT;
  static const char* const LABEL_ZEROROTUPDATE;
  static const char* const LABEL_CAZEROROTUPDATE;
  static const char* const LABEL_ACCUPDATE;
  static const char* const LABEL_MAGUPDATE;
  static const char* const LABEL_USERMAGMODEL;
  static const char* const LABEL_DEFAULT;

  Zkf3iFilterSteps() = default;
  Zkf3iFilterSteps(const Zkf3iFilterSteps&) = default;
  Zkf3iFilterSteps& operator=(const Zkf3iFilterSteps&) = default;
  ~Zkf3iFilterSteps() override;

  ZkfFilterSteps* duplicate() const override;
  // Clears every flag; an empty list selects "default". Labels are matched without regard to
  // case; an unknown label stops the list (flags set before it stay) and gives false.
  bool enableSteps(const LabelList& steps) override;
  // Empties out, then appends the labels of the set flags in flag order.
  void enabledSteps(LabelList& out) const override;
  // Empties out, then appends all nine labels in flag order, "init" first, "default" last.
  void availableSteps(LabelList& out) const override;

  // Flag by flag.
  bool operator==(const Zkf3iFilterSteps& other) const;

  bool init = false;
  bool predict = false;
  bool correct = false;
  bool zeroRotationUpdate = false;
  bool caZeroRotationUpdate = false;
  bool accUpdate = false;
  bool magUpdate = false;
  bool userMagModel = false;
  bool defaultSchedule = true;
};

}  // namespace zelto
