#pragma once
// The handler a data bundler registers on each of its devices. Every event is passed on with the
// id of the callback's own device, never the device argument (a handler registered with chaining
// also hears the devices chained below its device).
//
// Threads: events arrive on the device's threads. m_device is read by them and cleared by the
// state event of ZDS_Destructing, hence atomic.
#include <atomic>

#include "device/ZtCallback.h"

class ZtDataBundler;
class ZtDevice;

class DataBundlerCallback : public ZtCallback {
 public:
  // Does not register itself: the bundler does, right after construction.
  DataBundlerCallback(ZtDataBundler& bundler, ZtDevice* device);
  // Unregisters (detach) unless that was done; the caller makes sure no event still runs in it
  // (waitIdle), which a removal from inside a callback does not ensure.
  ~DataBundlerCallback() override;

  // Unregisters from its device (once) and forgets it. Events already running go on.
  void detach();
  // Returns once no event is running in this handler. Not from inside one of its events.
  void waitIdle() const;
  // True while the calling thread runs an event of any DataBundlerCallback: a removal made there
  // must not wait for events to end (the bundler mutex may be held by this thread while other
  // threads' events wait for it).
  static bool inEventOnThisThread();

  // Null once the device reached ZDS_Destructing.
  ZtDevice* device() const { return m_device.load(std::memory_order_acquire); }
  // The id of the device it was made for (kept after the device is forgotten).
  ZtDeviceId deviceId() const { return m_deviceId; }

  void onDeviceStateChanged(ZtDevice* dev, ZtDeviceState newState, ZtDeviceState oldState) override;
  void onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet) override;
  void onMissedPackets(ZtDevice* dev, int count, int first, int last) override;
  bool onWriteDataToLogFile(ZtDevice* dev, const ZtDataPacket* packet) override;
  void onError(ZtDevice* dev, ZtResultValue error) override;

 private:
  class EventScope;

  ZtDataBundler& m_bundler;
  std::atomic<ZtDevice*> m_device;
  const ZtDeviceId m_deviceId;
  mutable std::atomic<int> m_running{0};  // events running in this handler, on any thread
};
