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
  if (predict) out.append(LABEL_PREDICT);
  if (correct) out.append(LABEL_CORRECT);
  if (zeroRotationUpdate) out.append(LABEL_ZERO_ROTATION_UPDATE);
  if (accUpdate) out.append(LABEL_ACC_UPDATE);
  if (magUpdate) out.append(LABEL_MAG_UPDATE);
  if (defaultSchedule) out.append(LABEL_DEFAULT);
}

void Zkf3FilterSteps::availableSteps(LabelList& out) const {
  out.append(LABEL_PREDICT);
  out.append(LABEL_CORRECT);
  out.append(LABEL_ZERO_ROTATION_UPDATE);
  out.append(LABEL_ACC_UPDATE);
  out.append(LABEL_MAG_UPDATE);
  out.append(LABEL_DEFAULT);
}

}  // namespace zelto
