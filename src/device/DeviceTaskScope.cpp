#include "device/DeviceTaskScope.h"

namespace {
thread_local const DeviceTaskScope* t_innermost = nullptr;
}

DeviceTaskScope::DeviceTaskScope(const ZtDevice* device) : m_device(device), m_outer(t_innermost) {
  t_innermost = this;
}

DeviceTaskScope::~DeviceTaskScope() { t_innermost = m_outer; }

bool DeviceTaskScope::isRunningTaskOf(const ZtDevice* device) {
  for (const DeviceTaskScope* s = t_innermost; s; s = s->m_outer)
    if (s->m_device == device) return true;
  return false;
}
