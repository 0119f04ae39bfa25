#pragma once
// Marks, for the life of the scope, that the calling thread is inside work of a device whose end
// must wait for it: a task of the device (a state change or a packet's processing) or other work
// done on the device's behalf (the link's handling of its messages, a station's request jobs).
// Scopes nest (a task of one device may call into another).
//
// Two rules follow from a scope:
//  - Own-task waits. A wait for a device's last scheduled task made from inside one of that
//    device's own tasks would wait for itself: such waits ask isRunningTaskOf first and fail
//    instead of hanging. Only task scopes count here.
//  - Deferred ending. A device ended from inside such work (an application's handler closing its
//    port or dropping its last reference) would be deleted under the work that raised the
//    handler. Its ending is kept on the outermost scope of this thread that belongs to the
//    device's tree (the device, its master or a sibling), and handed to the ending thread
//    (DeferredEndings) when that scope ends, so it runs once the work has returned and never on
//    a thread that would wait for itself.
#include <cstdint>
#include <functional>
#include <vector>

class ZtDevice;

class DeviceTaskScope {
 public:
  enum class Kind : uint8_t {
    kTask,  // a task of the device on the pool
    kHold,  // other work of the device that must not see it deleted
  };
  explicit DeviceTaskScope(const ZtDevice* device, Kind kind = Kind::kTask);
  // Hands what was deferred to this scope to the ending thread, in the order deferred.
  ~DeviceTaskScope();
  DeviceTaskScope(const DeviceTaskScope&) = delete;
  DeviceTaskScope& operator=(const DeviceTaskScope&) = delete;

  // True when this thread is inside a task of device (at any nesting depth).
  static bool isRunningTaskOf(const ZtDevice* device);
  // The outermost scope of this thread whose device is in device's tree (same master), or null.
  static DeviceTaskScope* holding(const ZtDevice* device);
  // True when this thread is inside any scope.
  static bool any();

  // Runs action on the ending thread once this scope has ended. Allocates (rare path only).
  void defer(std::function<void()> action);

 private:
  const ZtDevice* m_device;
  DeviceTaskScope* m_outer;
  Kind m_kind;
  std::vector<std::function<void()>>* m_deferred = nullptr;  // made by the first defer
};
