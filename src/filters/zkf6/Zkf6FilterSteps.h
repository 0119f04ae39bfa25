#pragma once
// Step selection of the Zkf6 filter: with "default" set the filter runs its own schedule (one
// aiding update per step by priority); otherwise exactly the enabled steps, in the fixed order
// init, predict, correct, zeroRotationUpdate, magUpdate, gpsPositionUpdate, gpsVelocityUpdate,
// baroUpdate, zeroVelocityUpdate, holonomicUpdate.
#include "filters/common/ZkfFilterSteps.h"

namespace zelto {

class Zkf6FilterSteps : public ZkfFilterSteps {
 public:
  static const char* const LABEL_INIT;
  static const char* const LABEL_PREDICT;
  static const char* const LABEL_CORRECT;
  static const char* const LABEL_ZEROROTUPDATE;
  static const char* const LABEL_MAGUPDATE;
  static const char* const LABEL_GPSPOSUPDATE;
  static const char* const LABEL_GPSVELUPDATE;
  static const char* const LABEL_BAROUPDATE;
  static const char* const LABEL_ZEROVELUPDATE;
  static const char* const LABEL_HOLONOMICUPDATE;
  static const char* const LABEL_DEFAULT;

  Zkf6FilterSteps() = default;
  Zkf6FilterSteps(const Zkf6FilterSteps&) = default;
  Zkf6FilterSteps& operator=(const Zkf6FilterSteps&) = default;
  ~Zkf6FilterSteps() override;

  ZkfFilterSteps* duplicate() const override;
  // Clears every flag; an empty list selects "default". Labels are matched without regard to
  // case; an unknown label stops the list (flags set before it stay) and gives false.
  bool enableSteps(const LabelList& steps) override;
  // Both list in the order init, predict, correct, magUpdate, zeroRotationUpdate,
  // gpsPositionUpdate, gpsVelocityUpdate, baroUpdate, zeroVelocityUpdate, holonomicUpdate,
  // default (magUpdate before zeroRotationUpdate, unlike the flag order).
  void enabledSteps(LabelList& out) const override;
  void availableSteps(LabelList& out) const override;

  bool init = false;
  bool predict = false;
  bool correct = false;
  bool zeroRotationUpdate = false;
  bool magUpdate = false;
  bool gpsPositionUpdate = false;
  bool gpsVelocityUpdate = false;
  bool baroUpdate = false;
  bool zeroVelocityUpdate = false;
  bool holonomicUpdate = false;
  bool defaultSchedule = true;
};

}  // namespace zelto
