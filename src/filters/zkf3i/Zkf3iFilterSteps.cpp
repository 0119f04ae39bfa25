#include "filters/zkf3i/Zkf3iFilterSteps.h"

#include <iterator>

namespace zelto {

const char* const Zkf3iFilterSteps::LABEL_INIT = "init";
const char* const Zkf3iFilterSteps::LABEL_PREDICT = "predict";
const char* const Zkf3iFilterSteps::LABEL_CORRECT = "correct";
const char* const Zkf3iFilterSteps::LABEL_ZEROROTUPDATE = "zeroRotationUpdate";
const char* const Zkf3iFilterSteps::LABEL_CAZEROROTUPDATE = "caZeroRotationUpdate";
const char* const Zkf3iFilterSteps::LABEL_ACCUPDATE = "accUpdate";
const char* const Zkf3iFilterSteps::LABEL_MAGUPDATE = "magUpdate";
const char* const Zkf3iFilterSteps::LABEL_USERMAGMODEL = "userMagModel";
const char* const Zkf3iFilterSteps::LABEL_DEFAULT = "default";

namespace {

// In flag order.
const char* const* labels() {
  static const char* const table[] = {
      Zkf3iFilterSteps::LABEL_INIT,           Zkf3iFilterSteps::LABEL_PREDICT,
      Zkf3iFilterSteps::LABEL_CORRECT,        Zkf3iFilterSteps::LABEL_ZEROROTUPDATE,
      Zkf3iFilterSteps::LABEL_CAZEROROTUPDATE, Zkf3iFilterSteps::LABEL_ACCUPDATE,
      Zkf3iFilterSteps::LABEL_MAGUPDATE,      Zkf3iFilterSteps::LABEL_USERMAGMODEL,
      Zkf3iFilterSteps::LABEL_DEFAULT};
  return table;
}

constexpr size_t kFlags = 9;

}  // namespace

Zkf3iFilterSteps::~Zkf3iFilterSteps() = default;

bool Zkf3iFilterSteps::operator==(const Zkf3iFilterSteps& o) const {
  return init == o.init && predict == o.predict && correct == o.correct && zeroRotationUpdate == o.zeroRotationUpdate &&
         caZeroRotationUpdate == o.caZeroRotationUpdate && accUpdate == o.accUpdate && magUpdate == o.magUpdate &&
         userMagModel == o.userMagModel && defaultSchedule == o.defaultSchedule;
}

ZkfFilterSteps* Zkf3iFilterSteps::duplicate() const { return new Zkf3iFilterSteps(*this); }

bool Zkf3iFilterSteps::enableSteps(const LabelList& steps) {
  bool* const flags[kFlags] = {&init,      &predict,   &correct,      &zeroRotationUpdate, &caZeroRotationUpdate,
                               &accUpdate, &magUpdate, &userMagModel, &defaultSchedule};
  return enableNamedSteps(steps, flags, labels(), kFlags, defaultSchedule);
}

void Zkf3iFilterSteps::enabledSteps(LabelList& out) const {
  const bool* const flags[kFlags] = {&init,      &predict,   &correct,      &zeroRotationUpdate, &caZeroRotationUpdate,
                                     &accUpdate, &magUpdate, &userMagModel, &defaultSchedule};
  out.clearItems();
  appendLabels(out, flags, labels(), kFlags);
}

void Zkf3iFilterSteps::availableSteps(LabelList& out) const {
  out.clearItems();
  appendLabels(out, nullptr, labels(), kFlags);
}

}  // namespace zelto
