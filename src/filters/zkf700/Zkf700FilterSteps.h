#pragma once
// Step selection of the Zkf700 filter: with "default" set the filter's decision logic chooses
// the steps of every sample; otherwise exactly the enabled steps run, in the fixed order of the
// flags below.
#include <cstddef>

#include "filters/common/ZkfFilterSteps.h"

namespace zelto {

class Zkf700FilterSteps : public ZkfFilterSteps {
 public:
  static const char* const LABEL_INIT;
  static const char* const LABEL_DECISIONLOGIC;
  static const char* const LABEL_UPDATEGPSSTATE;
  static const char* const LABEL_PREDICT;
  static const char* const LABEL_CORRECT;
  static const char* const LABEL_GPSUPDATE;
  static const char* const LABEL_BAROUPDATE;
  static const char* const LABEL_MAGUPDATE;
  static const char* const LABEL_HOLONOMICCONSTRAINTUPDATE;
  static const char* const LABEL_ACCUPDATE;
  static const char* const LABEL_NOROTUPDATE;
  static const char* const LABEL_LOCALCONSTANTUPDATE;
  static const char* const LABEL_DEFAULT;
  static constexpr size_t kFlagCount = 13;

  Zkf700FilterSteps() = default;
  Zkf700FilterSteps(const Zkf700FilterSteps&) = default;
  Zkf700FilterSteps& operator=(const Zkf700FilterSteps&) = default;
  ~Zkf700FilterSteps() override;

  ZkfFilterSteps* duplicate() const override;
  // Clears every flag; an empty list selects "default". Labels are matched without regard to
  // case; an unknown label stops the list (flags set before it stay) and gives false.
  bool enableSteps(const LabelList& steps) override;
  // Empties out, then appends the label of every set flag in flag order.
  void enabledSteps(LabelList& out) const override;
  // Empties out, then appends all thirteen labels in flag order.
  void availableSteps(LabelList& out) const override;

  bool init = false;
  bool decisionLogic = false;
  bool updateGpsState = false;
  bool predict = false;
  bool correct = false;
  bool gpsUpdate = false;
  bool baroUpdate = false;
  bool magUpdate = false;
  bool holonomicConstraintUpdate = false;
  bool accUpdate = false;
  bool noRotationUpdate = false;
  bool localConstantUpdate = false;
  bool defaultSteps = true;

 private:
  static const char* const kLabels[kFlagCount];
};

}  // namespace zelto
