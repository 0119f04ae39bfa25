#pragma once
// One state change of one device, run on the task pool. A device chains each change behind its
// last queued task (packets and changes alike), so a change takes effect after every packet
// queued before it. While it runs, the thread is marked as running a task of the device
// (DeviceTaskScope), so a state-change handler that asks the device to wait for its own last
// task is refused instead of waiting for itself.
#include "foundation/ThreadPoolTask.h"
#include "zeltodeviceapi/ztdevicetypes.h"

class ZtDevice;

namespace zelto {

class StateChanger : public ThreadPoolTask {
 public:
  // The device must outlive the task: a device waits for its last queued task before it ends.
  StateChanger(ZtDevice* device, ZtDeviceState state);
  ~StateChanger() override;
  StateChanger(const StateChanger&) = delete;
  StateChanger& operator=(const StateChanger&) = delete;

  // The device's updateDeviceState with the target state; always done.
  bool exec() override;

 private:
  ZtDevice* m_device;
  const ZtDeviceState m_state;
};

}  // namespace zelto
