#include "filters/common/ZkfFilterSteps.h"

#include <strings.h>

ZkfFilterSteps::~ZkfFilterSteps() = default;

ZkfFilterSteps* ZkfFilterSteps::duplicate() const { return nullptr; }

bool ZkfFilterSteps::enableNamedSteps(const zelto::LabelList& steps, bool* const* flags, const char* const* labels,
                                      size_t count, bool& defaultFlag) {
  for (size_t k = 0; k < count; ++k) *flags[k] = false;
  if (steps.count() == 0) {
    defaultFlag = true;
    return true;
  }
  for (uint32_t i = 0; i < steps.count(); ++i) {
    bool known = false;
    for (size_t k = 0; k < count && !known; ++k) {
      if (strcasecmp(steps[i].c_str(), labels[k]) == 0) {
        *flags[k] = true;
        known = true;
      }
    }
    if (!known) return false;
  }
  return true;
}

void ZkfFilterSteps::appendLabels(zelto::LabelList& out, const bool* const* flags, const char* const* labels,
                                  size_t count) {
  for (size_t k = 0; k < count; ++k)
    if (flags == nullptr || *flags[k]) out.append(labels[k]);
}
