#include "filters/zkf6/Zkf6FilterSteps.h"

#include <iterator>

namespace zelto {

const char* const Zkf6FilterSteps::LABEL_INIT = "init";
const char* const Zkf6FilterSteps::LABEL_PREDICT = "predict";
const char* const Zkf6FilterSteps::LABEL_CORRECT = "correct";
const char* const Zkf6FilterSteps::LABEL_ZEROROTUPDATE = "zeroRotationUpdate";
const char* const Zkf6FilterSteps::LABEL_MAGUPDATE = "magUpdate";
const char* const Zkf6FilterSteps::LABEL_GPSPOSUPDATE = "gpsPositionUpdate";
const char* const Zkf6FilterSteps::LABEL_GPSVELUPDATE = "gpsVelocityUpdate";
const char* const Zkf6FilterSteps::LABEL_BAROUPDATE = "baroUpdate";
const char* const Zkf6FilterSteps::LABEL_ZEROVELUPDATE = "zeroVelocityUpdate";
const char* const Zkf6FilterSteps::LABEL_HOLONOMICUPDATE = "holonomicUpdate";
const char* const Zkf6FilterSteps::LABEL_DEFAULT = "default";

namespace {

const char* const kListLabels[] = {
    Zkf6FilterSteps::LABEL_INIT,          Zkf6FilterSteps::LABEL_PREDICT,       Zkf6FilterSteps::LABEL_CORRECT,
    Zkf6FilterSteps::LABEL_MAGUPDATE,     Zkf6FilterSteps::LABEL_ZEROROTUPDATE, Zkf6FilterSteps::LABEL_GPSPOSUPDATE,
    Zkf6FilterSteps::LABEL_GPSVELUPDATE,  Zkf6FilterSteps::LABEL_BAROUPDATE,    Zkf6FilterSteps::LABEL_ZEROVELUPDATE,
    Zkf6FilterSteps::LABEL_HOLONOMICUPDATE, Zkf6FilterSteps::LABEL_DEFAULT};

}  // namespace

Zkf6FilterSteps::~Zkf6FilterSteps() = default;

ZkfFilterSteps* Zkf6FilterSteps::duplicate() const { return new Zkf6FilterSteps(*this); }

bool Zkf6FilterSteps::enableSteps(const LabelList& steps) {
  bool* const flags[] = {&init,          &predict,           &correct,           &zeroRotationUpdate,
                         &magUpdate,     &gpsPositionUpdate, &gpsVelocityUpdate, &baroUpdate,
                         &zeroVelocityUpdate, &holonomicUpdate, &defaultSchedule};
  const char* const labels[] = {LABEL_INIT,          LABEL_PREDICT,        LABEL_CORRECT,      LABEL_ZEROROTUPDATE,
                                LABEL_MAGUPDATE,     LABEL_GPSPOSUPDATE,   LABEL_GPSVELUPDATE, LABEL_BAROUPDATE,
                                LABEL_ZEROVELUPDATE, LABEL_HOLONOMICUPDATE, LABEL_DEFAULT};
  static_assert(std::size(flags) == std::size(labels));
  return enableNamedSteps(steps, flags, labels, std::size(flags), defaultSchedule);
}

void Zkf6FilterSteps::enabledSteps(LabelList& out) const {
  // Listed with magUpdate before zeroRotationUpdate, unlike the flag order.
  const bool* const flags[] = {&init,       &predict,           &correct,           &magUpdate,
                               &zeroRotationUpdate, &gpsPositionUpdate, &gpsVelocityUpdate, &baroUpdate,
                               &zeroVelocityUpdate, &holonomicUpdate, &defaultSchedule};
  appendLabels(out, flags, kListLabels, std::size(kListLabels));
}

void Zkf6FilterSteps::availableSteps(LabelList& out) const {
  appendLabels(out, nullptr, kListLabels, std::size(kListLabels));
}

}  // namespace zelto
