#pragma once
// Lines up the data packets of several devices that belong to one sample (equal packet ids) and
// hands them to the application's handlers as one bundle per sample: onDataAvailable(null, null)
// for the real-time stream (the devices' onDataAvailable events) and onWriteDataToLogFile(null,
// null) for the recording stream (their onWriteDataToLogFile events). In the handler, count, at
// and packet read the bundle being delivered. A bundle is delivered once every device of the
// bundler contributed a packet; older bundles that can no longer complete are dropped then.
//
// Real-time packets of wireless trackers whose strapdown increment spans several frames are split
// into one packet per frame, and gaps in a device's packet ids are filled with copies of the
// packet after the gap. The real-time queue is bounded (DataBundleQueue::kMaxRealTimeBundles).
//
// Threads. Device events arrive on the devices' threads, several at once. m_mutex (recursive)
// serialises all queue work; the application's handlers run on the thread whose packet completed
// the bundle, with m_mutex held, and may call into the bundler again. count, at and packet take
// no lock and answer only on that thread while the handler runs.
// Lock order: m_mutex, then a device's handler lock (registration); never the reverse: callbacks
// are deleted (unregistered, waited for) with m_mutex released.
#include <atomic>
#include <list>
#include <vector>

#include "control/DataBundleQueue.h"
#include "control/ThreadLocal.h"
#include "device/CallbackManagerZda.h"
#include "foundation/Mutex.h"
#include "zttypes/ztdatapacket.h"

class DataBundlerCallback;
class ZtDevice;

class ZtDataBundler : public CallbackManagerZda {
 public:
  ZtDataBundler();
  // Unregisters from every device (waiting for their running events) before the queues go.
  ~ZtDataBundler() override;

  // Registers a handler on the device (chained to the managers below it); a device already added
  // is left as it is.
  void addDevice(const ZtDevice* device);
  // Removes the device's handler, or every handler for null (also those of devices that reached
  // ZDS_Destructing, which still count as members until then), and the device's packets from
  // the queues.
  void removeDevice(const ZtDevice* device);

  // The bundle being delivered on the calling thread (0 / null outside a handler).
  unsigned int count() const;
  ZtDataPacket* at(unsigned int index) const;
  ZtDataPacket* packet(ZtDeviceId id) const;

  void clearQueues();
  void measurementStarting(const ZtDeviceId& id);
  void setRecordingState(bool recording);

  // Inserts a copy of the packet into the queue and delivers what is complete.
  void dataAvailable(const ZtDeviceId& id, const ZtDataPacket& packet, DataBundleQueue& queue);
  // Real-time path: frame splitting of multi-frame increments, else gap filling.
  void realTimeDataAvailable(const ZtDeviceId& id, const ZtDataPacket& packet);
  // Recording path: straight into the recording queue.
  void recordingDataAvailable(const ZtDeviceId& id, const ZtDataPacket& packet);
  // Journals the loss; the recording queue receives one empty placeholder per missed packet,
  // keyed after the device's newest packet there (none without one). The real-time queue gets
  // none: gap filling covers those positions when the next packet arrives.
  void missedPackets(const ZtDeviceId& id, int count, int first, int last);

  // The device of the first callback whose (not forgotten) device has this id, else null.
  ZtDevice* sourceFromId(const ZtDeviceId& id) const;
  // 0: real time, 1: recording. No bounds test.
  DataBundleQueue& getQueue(unsigned index) { return *m_queues[index]; }
  const DataBundleQueue& getQueue(unsigned index) const { return *m_queues[index]; }
  ZtCallbackPlainC* toCallbackPlainC() { return this; }

  // Members in the bundler's count (devices added and not removed).
  size_t deviceCount() const;
  bool isDestroying() const { return m_destroying.load(std::memory_order_acquire); }

 private:
  void splitFrames(const ZtDeviceId& id, const ZtDataPacket& packet);
  void fillGaps(const ZtDeviceId& id, const ZtDataPacket& packet);
  // Unregisters the callback and deletes it once no event runs in it; from inside an event the
  // deletion waits for the destructor or a later removal from outside (m_retired).
  void destroyCallback(DataBundlerCallback* cb);
  void deleteRetired();
  // Takes the packets of a device that is no longer a member out of both queues: left there,
  // they would complete bundles in the place of a member's packet, or (ids far from the
  // members') stay at the front for good and make every later packet "older than the front".
  // Nothing happens while a member has the id.
  void dropPacketsOf(ZtDeviceId id);
  // Under m_mutex: every queue rescans for complete bundles at its next insertion.
  void deviceCountChanged();

  mutable zelto::Mutex m_mutex;
  std::list<DataBundlerCallback*> m_devices;  // owned; guarded by m_mutex
  std::vector<DataBundleQueue*> m_queues;     // owned; [0] real time, [1] recording; guarded by m_mutex
  mutable zelto::ThreadLocal<DataBundleQueue*> m_currentQueue;
  std::atomic<bool> m_destroying{false};
  bool m_recording = false;                     // guarded by m_mutex
  bool m_rescan[2] = {false, false};            // guarded by m_mutex
  std::vector<DataBundlerCallback*> m_retired;  // owned; guarded by m_mutex
};
