#pragma once
// Step selection of the Zkf3w filter: with "default" set the filter runs its own schedule;
// otherwise exactly the enabled steps, in the fixed order init, predict, accUpdate, magUpdate,
// correct.
#include "filters/common/ZkfFilterSteps.h"

namespace zelto {

class Zkf3wFilterSteps : public ZkfFilterSteps {
 public:
  static const char* const LABEL_INIT;
  static const char* const LABEL_PREDICT;
  static const char* const LABEL_CORRECT;
  static const char* const LABEL_ACC_UPDATE;
  static const char* const LABEL_MAG_UPDATE;
  static const char* const LABEL_DEFAULT;

  Zkf3wFilterSteps() = default;
  Zkf3wFilterSteps(const Zkf3wFilterSteps&) = default;
  Zkf3wFilterSteps& operator=(const Zkf3wFilterSteps&) = default;
  ~Zkf3wFilterSteps() override;

  ZkfFilterSteps* duplicate() const override;
  // Clears every flag; an empty list selects "default". Labels are matched without regard to
  // case; an unknown label stops the list (flags set before it stay) and gives false.
  bool enableSteps(const LabelList& steps) override;
  // Appends "predict", "correct", "accUpdate", "magUpdate", "default" when set ("init" is never
  // listed).
  void enabledSteps(LabelList& out) const override;
  // Appends those five labels.
  void availableSteps(LabelList& out) const override;

  bool init = false;
  bool predict = false;
  bool correct = false;
  bool accUpdate = false;
  bool magUpdate = false;
  bool defaultSchedule = true;
};

}  // namespace zelto
