// Array descriptor of ZtDevice pointers for the companion ZtArray. The array does not own the
// devices.
#include <functional>
#include <utility>

#include "zeltodeviceapi/ztdevicetypes.h"

namespace {

using Item = ZtDevice*;

void itemSwap(void* a, void* b) { std::swap(*static_cast<Item*>(a), *static_cast<Item*>(b)); }
void itemConstruct(void* item) { *static_cast<Item*>(item) = nullptr; }
void itemCopy(void* target, const void* source) { *static_cast<Item*>(target) = *static_cast<const Item*>(source); }
void itemDestruct(void* item) { *static_cast<Item*>(item) = nullptr; }

int itemCompare(const void* pa, const void* pb) {
  const Item a = *static_cast<const Item*>(pa);
  const Item b = *static_cast<const Item*>(pb);
  std::less<const void*> less;  // a total order on unrelated addresses
  return less(a, b) ? -1 : (less(b, a) ? 1 : 0);
}

}  // namespace

extern "C" {

const ZtArrayDescriptor g_ztDevicePtrArrayDescriptor = {
    sizeof(Item), itemSwap, itemConstruct, itemCopy, itemDestruct, itemCopy, itemCompare};

void ZtDevicePtrArray_construct(ZtDevicePtrArray* array, size_t count, ZtDevice* const* source) {
  ZtArray_construct(ZTARRAY(array), &g_ztDevicePtrArrayDescriptor, count, source);
}

}  // extern "C"
