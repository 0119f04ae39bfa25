#include "filters/zkf700/Zkf700FilterSteps.h"

namespace zelto {

const char* const Zkf700FilterSteps::LABEL_INIT = "init";
const char* const Zkf700FilterSteps::LABEL_DECISIONLOGIC = "decisionLogic";
const char* const Zkf700FilterSteps::LABEL_UPDATEGPSSTATE = "updateGpsState";
const char* const Zkf700FilterSteps::LABEL_PREDICT = "predict";
const char* const Zkf700FilterSteps::LABEL_CORRECT = "correct";
const char* const Zkf700FilterSteps::LABEL_GPSUPDATE = "gpsUpdate";
const char* const Zkf700FilterSteps::LABEL_BAROUPDATE = "baroUpdate";
const char* const Zkf700FilterSteps::LABEL_MAGUPDATE = "magUpdate";
const char* const Zkf700FilterSteps::LABEL_HOLONOMICCONSTRAINTUPDATE = "holonomicConstraintUpdate";
const char* const Zkf700FilterSteps::LABEL_ACCUPDATE = "accUpdate";
const char* const Zkf700FilterSteps::LABEL_NOROTUPDATE = "noRotationUpdate";
const char* const Zkf700FilterSteps::LABEL_LOCALCONSTANTUPDATE = "localConstantUpdate";
const char* const Zkf700FilterSteps::LABEL_DEFAULT = "default";

const char* const Zkf700FilterSteps::kLabels[kFlagCount] = {
    "init",      "decisionLogic", "updateGpsState",   "predict",          "correct",
    "gpsUpdate", "baroUpdate",    "magUpdate",        "holonomicConstraintUpdate",
    "accUpdate", "noRotationUpdate", "localConstantUpdate", "default"};

Zkf700FilterSteps::~Zkf700FilterSteps() = default;

ZkfFilterSteps* Zkf700FilterSteps::duplicate() const { return new Zkf700FilterSteps(*this); }

bool Zkf700FilterSteps::enableSteps(const LabelList& steps) {
  bool* const flags[kFlagCount] = {&init,       &decisionLogic, &updateGpsState, &predict,
                                   &correct,    &gpsUpdate,     &baroUpdate,     &magUpdate,
                                   &holonomicConstraintUpdate,  &accUpdate,      &noRotationUpdate,
                                   &localConstantUpdate,        &defaultSteps};
  return enableNamedSteps(steps, flags, kLabels, kFlagCount, defaultSteps);
}

void Zkf700FilterSteps::enabledSteps(LabelList& out) const {
  const bool* const flags[kFlagCount] = {&init,       &decisionLogic, &updateGpsState, &predict,
                                         &correct,    &gpsUpdate,     &baroUpdate,     &magUpdate,
                                         &holonomicConstraintUpdate,  &accUpdate,      &noRotationUpdate,
                                         &localConstantUpdate,        &defaultSteps};
  out.clearItems();
  appendLabels(out, flags, kLabels, kFlagCount);
}

void Zkf700FilterSteps::availableSteps(LabelList& out) const {
  out.clearItems();
  appendLabels(out, nullptr, kLabels, kFlagCount);
}

}  // namespace zelto
