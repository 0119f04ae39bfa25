#include "device/DeviceTaskScope.h"

#include <memory>
#include <utility>

#include "device/DeferredEndings.h"
#include "device/ZtDevice.h"
#include "foundation/JournalMacros.h"

namespace {
thread_local DeviceTaskScope* t_innermost = nullptr;
}

DeviceTaskScope::DeviceTaskScope(const ZtDevice* device, Kind kind)
    : m_device(device), m_outer(t_innermost), m_kind(kind) {
  t_innermost = this;
}

DeviceTaskScope::~DeviceTaskScope() {
  t_innermost = m_outer;
  if (!m_deferred) return;
  std::unique_ptr<std::vector<std::function<void()>>> deferred(m_deferred);
  try {
    DeferredEndings::queue(std::move(*deferred));
  } catch (...) {
    // No memory or no thread for the job: the devices stay as they are, no longer counted as
    // ending (a close would wait for them forever).
    DeferredEndings::settle();
    JLOG_ERROR("a device ending deferred to the end of its own work could not be queued");
  }
}

bool DeviceTaskScope::isRunningTaskOf(const ZtDevice* device) {
  for (const DeviceTaskScope* s = t_innermost; s; s = s->m_outer)
    if (s->m_kind == Kind::kTask && s->m_device == device) return true;
  return false;
}

DeviceTaskScope* DeviceTaskScope::holding(const ZtDevice* device) {
  DeviceTaskScope* found = nullptr;
  if (!t_innermost) return nullptr;
  const ZtDevice* tree = device->master();
  for (DeviceTaskScope* s = t_innermost; s; s = s->m_outer)
    if (s->m_device == device || s->m_device->master() == tree) found = s;
  return found;
}

bool DeviceTaskScope::any() { return t_innermost != nullptr; }

void DeviceTaskScope::defer(std::function<void()> action) {
  if (!m_deferred) {
    m_deferred = new std::vector<std::function<void()>>();
    DeferredEndings::announce();
  }
  m_deferred->push_back(std::move(action));
}
