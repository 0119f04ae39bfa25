#pragma once
// One stream of bundles of a data bundler (type 0: real time, type 1: recording), in strictly
// ascending order of their keys.
//
// Threads: every member except currentBundle() is used with the owning bundler's mutex held.
// currentBundle() is the calling thread's own slot.
//
// Storage: the bundles sit in a ring that only grows (to the largest backlog seen), and bundles
// that leave the queue go to a small pool of spares, so a queue in steady state allocates
// nothing per packet or bundle.
#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

#include "control/DataBundle.h"
#include "control/ThreadLocal.h"
#include "zttypes/ztdatapacket.h"

class DataBundlerCallback;
class ZtDataBundler;

class DataBundleQueue {
 public:
  // Bundles the real-time queue holds at most: a silent device leaves every later bundle
  // incomplete, and without a bound they would pile up until it is removed.
  static constexpr size_t kMaxRealTimeBundles = 16384;

  DataBundleQueue(ZtDataBundler& bundler, const std::list<DataBundlerCallback*>* devices, int type);
  ~DataBundleQueue();
  DataBundleQueue(const DataBundleQueue&) = delete;
  DataBundleQueue& operator=(const DataBundleQueue&) = delete;

  // Adds a copy of the packet to the bundle with its key, or to a new bundle at its place. A
  // packet older than the front bundle is dropped (journalled); in an empty queue any key starts
  // a bundle. Returns the position of the bundle that received it, or -1 when it was dropped.
  long insert(const ZtDataPacket& packet);
  // Delivers the front bundle while it is complete: the bundler's handlers are called for it
  // (onDataAvailable for type 0, onWriteDataToLogFile for type 1), then it leaves the queue.
  void execCallbackIfNeeded();
  // Drops every bundle in front of the first complete one. With a position from insert only that
  // bundle is examined (the others have not changed since the last delivery); -1 scans the whole
  // queue (after the device count changed). Then, for the real-time queue, drops front bundles
  // beyond the bound.
  void dropBeforeComplete(long touched);
  // Empties the queue; the last removed id becomes -1.
  void clear();
  // Takes the packets of a device that left the bundler out of every bundle (bundles left empty
  // go), except the bundle whose handlers are running. The last removed id stays.
  void removePacketsOf(ZtDeviceId id);

  int type() const { return m_type; }
  int64_t lastRemovedId() const { return m_lastRemovedId; }
  size_t size() const { return m_size; }
  const DataBundle& bundle(size_t index) const { return *m_ring[(m_head + index) & m_mask]; }
  // The packet id of the device's newest packet in the queue; false when the queue holds none.
  // Kept per device as packets come and go, so the answer costs no walk through the backlog.
  bool lastPacketIdOf(ZtDeviceId id, int64_t& packetId) const;
  // The bundle being delivered on the calling thread, null outside a delivery.
  DataBundle*& currentBundle() { return m_currentBundle.getData(); }

 private:
  size_t deviceCount() const;
  bool isComplete(const DataBundle& b) const { return b.count() == deviceCount(); }
  DataBundle*& slot(size_t index) { return m_ring[(m_head + index) & m_mask]; }
  DataBundle* newBundle();
  void recycle(DataBundle* b);
  // Makes room for one more bundle (the ring doubles when full).
  void reserveOne();
  void insertAt(size_t index, DataBundle* b);
  // Removes the front bundle; the last removed id takes its key.
  void removeFront();
  void noteInserted(ZtDeviceId id, int64_t packetId);

  // Ring of owned bundles: m_size bundles from m_head on, capacity a power of two (m_mask + 1).
  std::vector<DataBundle*> m_ring;
  size_t m_head = 0;
  size_t m_size = 0;
  size_t m_mask = 0;
  std::vector<DataBundle*> m_spares;  // owned, empty bundles for reuse
  // Per device id that has a packet in the queue: the highest packet id it has there.
  struct Newest {
    ZtDeviceId device;
    int64_t packetId;
    bool present;
  };
  std::vector<Newest> m_newest;
  zelto::ThreadLocal<DataBundle*> m_currentBundle;
  const std::list<DataBundlerCallback*>* m_devices;
  int m_type;
  ZtDataBundler& m_bundler;
  int64_t m_lastRemovedId = -1;
  // The bundle whose handlers are running (a handler may call into the bundler again on the same
  // thread): a nested delivery loop leaves it to the outer one, and a clear or drop meanwhile
  // takes it out of the ring without recycling it (m_deliveringGone), so the outer loop neither
  // removes a different bundle nor hands a bundle in use to a new sample.
  DataBundle* m_delivering = nullptr;
  bool m_deliveringGone = false;
};
