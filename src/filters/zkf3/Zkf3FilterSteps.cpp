#include "filters/zkf3/Zkf3FilterSteps.h"

#include <iterator>

namespace zelto {

const char* const Zkf3FilterSteps::LABEL_INIT = "init";
const char* const Zkf3FilterSteps::LABEL_PREDICT = "predict";
const char* const Zkf3FilterSteps::LABEL_CORRECT = "correct";
const char* const Zkf3FilterSteps::LABEL_ZERO_ROTATION_UPDATE = "zeroRotationUpdate";
const char* const Zkf3FilterSteps::LABEL_ACC_UPDATE = "accUpdate";
const char* const Zkf3FilterSteps::LABEL_MAG_UPDATE = "magUpdate";
const char* const Zkf3FilterSteps::LABEL_DEFAULT = "default";

Zkf3FilterSteps::~Zkf3FilterSteps() = default;

ZkfFilterSteps* Zkf3FilterSteps::duplicate() const { return new Zkf3FilterSteps(*this); }

bool Zkf3FilterSteps::enableSteps(const LabelList& steps) {
  bool* const flags[] = {&init, &predict, &correct, &zeroRotationUpdate, &accUpdate, &magUpdate, &defaultSchedule};
  const char* const labels[] = {LABEL_INIT,       LABEL_PREDICT,    LABEL_CORRECT, LABEL_ZERO_ROTATION_UPDATE,
                                LABEL_ACC_UPDATE, LABEL_MAG_UPDATE, LABEL_DEFAULT};
  return enableNamedSteps(steps, flags, labels, std::size(flags), defaultSchedule);
}

void Zkf3FilterSteps::enabledSteps(LabelList& out) const {
  const bool* const flags[] = {&predict, &correct, &zeroRotationUpdate, &accUpdate, &magUpdate, &defaultSchedule};
  const char* const labels[] = {LABEL_PREDICT,    LABEL_CORRECT,    LABEL_ZERO_ROTATION_UPDATE,
                                LABEL_ACC_UPDATE, LABEL_MAG_UPDATE, LABEL_DEFAULT};
  appendLabels(out, flags, labels, std::size(labels));
}

void Zkf3FilterSteps::availableSteps(LabelList& out) const {
  const char* const labels[] = {LABEL_PREDICT,    LABEL_CORRECT,    LABEL_ZERO_ROTATION_UPDATE,
                                LABEL_ACC_UPDATE, LABEL_MAG_UPDATE, LABEL_DEFAULT};
  appendLabels(out, nullptr, labels, std::size(labels));
}

}  // namespace zelto
