#pragma once
// Marks, for the life of the scope, that the calling thread runs a task of a device (a state
// change or a packet's processing). A wait for a device's last scheduled task made from inside
// one of that device's own tasks would wait for itself: such waits ask isRunningTaskOf first
// and fail instead of hanging. Scopes nest (a task of one device may call into another).
class ZtDevice;

class DeviceTaskScope {
 public:
  explicit DeviceTaskScope(const ZtDevice* device);
  ~DeviceTaskScope();
  DeviceTaskScope(const DeviceTaskScope&) = delete;
  DeviceTaskScope& operator=(const DeviceTaskScope&) = delete;

  // True when this thread is inside a task of device (at any nesting depth).
  static bool isRunningTaskOf(const ZtDevice* device);

 private:
  const ZtDevice* m_device;
  const DeviceTaskScope* m_outer;
};
