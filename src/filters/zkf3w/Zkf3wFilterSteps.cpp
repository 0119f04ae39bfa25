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
  const bool* const flags[] = {&predict, &correct, &accUpdate, &magUpdate, &defaultSchedule};
  const char* const labels[] = {LABEL_PREDICT, LABEL_CORRECT, LABEL_ACC_UPDATE, LABEL_MAG_UPDATE, LABEL_DEFAULT};
  appendLabels(out, flags, labels, std::size(labels));
}

void Zkf3wFilterSteps::availableSteps(LabelList& out) const {
  const char* const labels[] = {LABEL_PREDICT, LABEL_CORRECT, LABEL_ACC_UPDATE, LABEL_MAG_UPDATE, LABEL_DEFAULT};
  appendLabels(out, nullptr, labels, std::size(labels));
}

}  // namespace zelto
