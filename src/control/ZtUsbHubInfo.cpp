// USB hub info: the sysfs path of the USB device that carries a port.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "zeltodeviceapi/ztdevicetypes.h"

extern "C" {

void ZtUsbHubInfo_construct(ZtUsbHubInfo* info, const char* path) { info->path = path ? strdup(path) : nullptr; }

void ZtUsbHubInfo_destruct(ZtUsbHubInfo* info) {
  std::free(info->path);
  info->path = nullptr;
}

void ZtUsbHubInfo_assign(ZtUsbHubInfo* info, const char* path) {
  // Copy before freeing: path may be info's own text (assign to itself, copy onto itself).
  char* copy = path ? strdup(path) : nullptr;
  std::free(info->path);
  info->path = copy;
}

void ZtUsbHubInfo_copy(ZtUsbHubInfo* info, const ZtUsbHubInfo* source) { ZtUsbHubInfo_assign(info, source->path); }

void ZtUsbHubInfo_swap(ZtUsbHubInfo* a, ZtUsbHubInfo* b) {
  if (a != b) std::swap(a->path, b->path);
}

int ZtUsbHubInfo_parentPathMatches(const ZtUsbHubInfo* a, const ZtUsbHubInfo* b) {
  if (!a->path || !b->path) return 0;
  if (a == b) return 1;
  const char* dotA = std::strrchr(a->path, '.');
  const char* dotB = std::strrchr(b->path, '.');
  if (!dotA || !dotB) return 0;
  const size_t lengthA = static_cast<size_t>(dotA - a->path);
  const size_t lengthB = static_cast<size_t>(dotB - b->path);
  return lengthA == lengthB && std::strncmp(a->path, b->path, lengthA) == 0;
}

}  // extern "C"
