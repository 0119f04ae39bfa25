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

namespace {

struct Listed {
  bool Zkf6FilterSteps::* flag;
  const char* const* label;
};

constexpr Listed kListOrder[] = {
    {&Zkf6FilterSteps::init, &Zkf6FilterSteps::LABEL_INIT},
    {&Zkf6FilterSteps::predict, &Zkf6FilterSteps::LABEL_PREDICT},
    {&Zkf6FilterSteps::correct, &Zkf6FilterSteps::LABEL_CORRECT},
    {&Zkf6FilterSteps::magUpdate, &Zkf6FilterSteps::LABEL_MAGUPDATE},
    {&Zkf6FilterSteps::zeroRotationUpdate, &Zkf6FilterSteps::LABEL_ZEROROTUPDATE},
    {&Zkf6FilterSteps::gpsPositionUpdate, &Zkf6FilterSteps::LABEL_GPSPOSUPDATE},
    {&Zkf6FilterSteps::gpsVelocityUpdate, &Zkf6FilterSteps::LABEL_GPSVELUPDATE},
    {&Zkf6FilterSteps::baroUpdate, &Zkf6FilterSteps::LABEL_BAROUPDATE},
    {&Zkf6FilterSteps::zeroVelocityUpdate, &Zkf6FilterSteps::LABEL_ZEROVELUPDATE},
    {&Zkf6FilterSteps::holonomicUpdate, &Zkf6FilterSteps::LABEL_HOLONOMICUPDATE},
    {&Zkf6FilterSteps::defaultSchedule, &Zkf6FilterSteps::LABEL_DEFAULT},
};

}  // namespace

void Zkf6FilterSteps::enabledSteps(LabelList& out) const {
  for (const Listed& l : kListOrder)
    if (this->*l.flag) out.append(*l.label);
}

void Zkf6FilterSteps::availableSteps(LabelList& out) const {
  for (const Listed& l : kListOrder) out.append(*l.label);
}

}  // namespace zelto
