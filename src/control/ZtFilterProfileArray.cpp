// Array descriptor of ZtFilterProfile items for the companion ZtArray.
#include <cstring>
#include <utility>

#include "zeltodeviceapi/ztdevicetypes.h"

namespace {

void itemSwap(void* a, void* b) { std::swap(*static_cast<ZtFilterProfile*>(a), *static_cast<ZtFilterProfile*>(b)); }
void itemConstruct(void* item) { std::memset(item, 0, sizeof(ZtFilterProfile)); }
void itemCopy(void* target, const void* source) { std::memcpy(target, source, sizeof(ZtFilterProfile)); }
void itemDestruct(void* item) { std::memset(item, 0, sizeof(ZtFilterProfile)); }

template <typename T>
int order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int itemCompare(const void* pa, const void* pb) {
  const auto* a = static_cast<const ZtFilterProfile*>(pa);
  const auto* b = static_cast<const ZtFilterProfile*>(pb);
  if (int c = order<signed char>(static_cast<signed char>(a->filterType), static_cast<signed char>(b->filterType))) return c;
  if (int c = order(a->filterMajor, b->filterMajor)) return c;
  if (int c = order(a->filterMinor, b->filterMinor)) return c;
  return order(a->version, b->version);
}

}  // namespace

extern "C" {

const ZtArrayDescriptor g_ztFilterProfileArrayDescriptor = {
    sizeof(ZtFilterProfile), itemSwap, itemConstruct, itemCopy, itemDestruct, itemCopy, itemCompare};

void ZtFilterProfileArray_construct(ZtFilterProfileArray* array, size_t count, const ZtFilterProfile* source) {
  ZtArray_construct(ZTARRAY(array), &g_ztFilterProfileArrayDescriptor, count, source);
}

}  // extern "C"
