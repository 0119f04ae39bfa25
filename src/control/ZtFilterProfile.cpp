// Filter profile: a 26-byte record copied by value.
#include <cstdio>
#include <utility>

#include "zeltodeviceapi/ztdevicetypes.h"

static_assert(sizeof(ZtFilterProfile) == 26);

extern "C" {

ZtString* ZtFilterProfile_toString(const ZtFilterProfile* profile, ZtString* out) {
  // The label may arrive unterminated (a record read from a device or file): read at most the
  // 20 characters a valid label holds. "255.255 " plus 20 characters is the longest result.
  char text[29];
  std::snprintf(text, sizeof text, "%d.%d %.20s", profile->type, profile->version, profile->label);
  ZtString_assignCharArray(out, text);
  return out;
}

int ZtFilterProfile_empty(const ZtFilterProfile* profile) { return profile->type == 0; }

void ZtFilterProfile_swap(ZtFilterProfile* a, ZtFilterProfile* b) {
  if (a != b) std::swap(*a, *b);
}

}  // extern "C"
