// Stand-in libudev over a scripted device tree (see FakeUdev.h). Every exported function takes
// the one state mutex. Objects are checked against the sets of live ones, so a release of a
// borrowed or already released object is counted as a misuse instead of corrupting memory.
#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/fakeudev/FakeUdev.h"

#define FAKEUDEV_EXPORT extern "C" __attribute__((visibility("default")))

struct udev {
  int unused = 0;
};

struct udev_list_entry {
  std::string name;
  udev_list_entry* next = nullptr;
};

struct udev_enumerate {
  std::vector<std::string> subsystems;
  std::vector<std::unique_ptr<udev_list_entry>> entries;
};

// A device made from a sys path owns the chain of parents it has handed out.
struct udev_device {
  int node = -1;
  int references = 1;
  std::unique_ptr<udev_device> parent;  // made on first request
};

namespace {

class State final : public fakeudev::Control {
 public:
  std::mutex mutex;
  std::vector<fakeudev::Node> nodes;
  std::set<udev*> contexts;
  std::set<udev_enumerate*> enumerations;
  std::set<udev_device*> devices;  // made from a sys path, not released
  int misuseCount = 0;
  int contextCount = 0;

  void reset() override {
    std::lock_guard<std::mutex> lock(mutex);
    nodes.clear();
    misuseCount = 0;
    contextCount = 0;
  }
  int addNode(const fakeudev::Node& node) override {
    std::lock_guard<std::mutex> lock(mutex);
    nodes.push_back(node);
    return static_cast<int>(nodes.size()) - 1;
  }
  int liveObjects() override {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(contexts.size() + enumerations.size() + devices.size());
  }
  int misuses() override {
    std::lock_guard<std::mutex> lock(mutex);
    return misuseCount;
  }
  int contextsMade() override {
    std::lock_guard<std::mutex> lock(mutex);
    return contextCount;
  }

  // The node of a device handed out by this library (caller holds the mutex); null otherwise.
  const fakeudev::Node* nodeOf(const udev_device* d) const {
    if (!d || d->node < 0 || d->node >= static_cast<int>(nodes.size())) return nullptr;
    return &nodes[static_cast<size_t>(d->node)];
  }
};

State& state() {
  static State s;
  return s;
}

}  // namespace

FAKEUDEV_EXPORT fakeudev::Control* fakeudev_control() { return &state(); }

FAKEUDEV_EXPORT udev* udev_new() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto* u = new udev;
  s.contexts.insert(u);
  ++s.contextCount;
  return u;
}

FAKEUDEV_EXPORT udev* udev_unref(udev* u) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!u) return nullptr;
  if (s.contexts.erase(u) == 0) {
    ++s.misuseCount;
    return nullptr;
  }
  delete u;
  return nullptr;
}

FAKEUDEV_EXPORT udev_enumerate* udev_enumerate_new(udev* u) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.contexts.count(u)) return nullptr;
  auto* e = new udev_enumerate;
  s.enumerations.insert(e);
  return e;
}

FAKEUDEV_EXPORT int udev_enumerate_add_match_subsystem(udev_enumerate* e, const char* subsystem) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.enumerations.count(e) || !subsystem) return -22;
  e->subsystems.emplace_back(subsystem);
  return 0;
}

FAKEUDEV_EXPORT int udev_enumerate_scan_devices(udev_enumerate* e) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.enumerations.count(e)) return -22;
  e->entries.clear();
  for (const fakeudev::Node& n : s.nodes) {
    if (!e->subsystems.empty() &&
        std::find(e->subsystems.begin(), e->subsystems.end(), n.subsystem) == e->subsystems.end())
      continue;
    auto entry = std::make_unique<udev_list_entry>();
    entry->name = n.syspath;
    if (!e->entries.empty()) e->entries.back()->next = entry.get();
    e->entries.push_back(std::move(entry));
  }
  return 0;
}

FAKEUDEV_EXPORT udev_list_entry* udev_enumerate_get_list_entry(udev_enumerate* e) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.enumerations.count(e) || e->entries.empty()) return nullptr;
  return e->entries.front().get();
}

FAKEUDEV_EXPORT udev_enumerate* udev_enumerate_unref(udev_enumerate* e) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!e) return nullptr;
  if (s.enumerations.erase(e) == 0) {
    ++s.misuseCount;
    return nullptr;
  }
  delete e;
  return nullptr;
}

FAKEUDEV_EXPORT udev_list_entry* udev_list_entry_get_next(udev_list_entry* entry) {
  return entry ? entry->next : nullptr;
}

FAKEUDEV_EXPORT const char* udev_list_entry_get_name(udev_list_entry* entry) {
  return entry ? entry->name.c_str() : nullptr;
}

FAKEUDEV_EXPORT udev_device* udev_device_new_from_syspath(udev* u, const char* syspath) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.contexts.count(u) || !syspath) return nullptr;
  for (size_t i = 0; i < s.nodes.size(); ++i) {
    if (s.nodes[i].syspath != syspath) continue;
    if (s.nodes[i].failNew) return nullptr;
    auto* d = new udev_device;
    d->node = static_cast<int>(i);
    s.devices.insert(d);
    return d;
  }
  return nullptr;
}

FAKEUDEV_EXPORT udev_device* udev_device_unref(udev_device* d) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!d) return nullptr;
  if (!s.devices.count(d)) {
    ++s.misuseCount;  // a parent (owned by its child) or a device already released
    return nullptr;
  }
  if (--d->references == 0) {
    s.devices.erase(d);
    delete d;
  }
  return nullptr;
}

namespace {

// Caller holds the mutex.
udev_device* parentOf(State& s, udev_device* d) {
  const fakeudev::Node* n = s.nodeOf(d);
  if (!n || n->parent < 0) return nullptr;
  if (!d->parent) {
    d->parent = std::make_unique<udev_device>();
    d->parent->node = n->parent;
  }
  return d->parent.get();
}

}  // namespace

FAKEUDEV_EXPORT udev_device* udev_device_get_parent(udev_device* d) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return parentOf(s, d);
}

FAKEUDEV_EXPORT udev_device* udev_device_get_parent_with_subsystem_devtype(udev_device* d, const char* subsystem,
                                                                           const char* devtype) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!subsystem) return nullptr;
  for (udev_device* p = parentOf(s, d); p; p = parentOf(s, p)) {
    const fakeudev::Node* n = s.nodeOf(p);
    if (n->subsystem == subsystem && (!devtype || n->devtype == devtype)) return p;
  }
  return nullptr;
}

#ifndef FAKEUDEV_OMIT_DEVNODE
FAKEUDEV_EXPORT const char* udev_device_get_devnode(udev_device* d) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const fakeudev::Node* n = s.nodeOf(d);
  return n && !n->devnode.empty() ? n->devnode.c_str() : nullptr;
}
#endif

FAKEUDEV_EXPORT const char* udev_device_get_sysattr_value(udev_device* d, const char* attribute) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const fakeudev::Node* n = s.nodeOf(d);
  if (!n || !attribute) return nullptr;
  auto it = n->attributes.find(attribute);
  return it == n->attributes.end() ? nullptr : it->second.c_str();
}
