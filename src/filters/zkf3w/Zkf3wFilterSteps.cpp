#include "filters/zkf3w/Zkf3wFilterSteps.h"

#include <iterator>

namespace zelto {

const char* const Zkf3wFilterSteps::LABEL_INIT = "init";
const char* const Zkf3wFilterSteps::LABEL_PREDICT = "predict";
const char* const Zkf3wFilterSteps::LABEL_CORRECT = "correct";
const char* const Zkf3wFilterSteps::LABEL_ACC_UPDATE = "accUpdate";
const char* const Zkf3wFilterSteps::LABEL_MAG_UPDATE = "magUpdate";
const char* const Zkf3wFilterSteps::LABEL_DEFAULT = "default";

Zkf3wFilterSteps::~Zkf3wFilterSteps() = default;

ZkfFilterSteps* Zkf3wFilterSteps::duplicate() const { return new Zkf3wFilterSteps(*this); }

bool Zkf3wFilterSteps::enableSteps(const LabelList& steps) {
  bool* const flags[] = {&init, &predict, &correct, &accUpdate, &magUpdate, &defaultSchedule};
  const char* const labels[] = {LABEL_INIT,       LABEL_PREDICT,    LABEL_CORRECT,
                                LABEL_ACC_UPDATE, LABEL_MAG_UPDATE, LABEL_DEFAULT};
  return enableNamedSteps(steps, flags, labels, std::size(flags), defaultSchedule);
}

void Zkf3wFilterSteps::enabledSteps(LabelList& out) const {
  if (predict) out.append(LABEL_PREDICT);
  if (correct) out.append(LABEL_CORRECT);
  if (accUpdate) out.append(LABEL_ACC_UPDATE);
  if (magUpdate) out.append(LABEL_MAG_UPDATE);
  if (defaultSchedule) out.append(LABEL_DEFAULT);
}

void Zkf3wFilterSteps::availableSteps(LabelList& out) const {
  out.append(LABEL_PREDICT);
  out.append(LABEL_CORRECT);
  out.append(LABEL_ACC_UPDATE);
  out.append(LABEL_MAG_UPDATE);
  out.append(LABEL_DEFAULT);
}

}  // namespace zelto
