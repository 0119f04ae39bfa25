// Array descriptor of output configuration entries for the companion ZtArray.
#include "device/ZtOutputConfiguration.h"

namespace {

int itemCompare(const void* pa, const void* pb) {
  const auto* a = static_cast<const ZtOutputConfiguration*>(pa);
  const auto* b = static_cast<const ZtOutputConfiguration*>(pb);
  if (a->dataIdentifier != b->dataIdentifier) return a->dataIdentifier < b->dataIdentifier ? -1 : 1;
  if (a->frequency != b->frequency) return a->frequency < b->frequency ? -1 : 1;
  return 0;
}

}  // namespace

extern "C" {

// Plain items: construction zeroes, copies are byte copies.
const ZtArrayDescriptor g_ztOutputConfigurationArrayDescriptor = {
    sizeof(ZtOutputConfiguration), nullptr, nullptr, nullptr, nullptr, nullptr, itemCompare};

void ZtOutputConfigurationArray_construct(ZtOutputConfigurationArray* array, size_t count,
                                          const ZtOutputConfiguration* source) {
  ZtArray_construct(ZTARRAY(array), &g_ztOutputConfigurationArrayDescriptor, count, source);
}

}  // extern "C"
