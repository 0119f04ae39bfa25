#include "control/ZtDataBundler.h"

#include <algorithm>
#include <exception>

#include "control/DataBundlerCallback.h"
#include "device/ZtDevice.h"
#include "foundation/JournalMacros.h"
#include "foundation/Lock.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/strapdown/Strapdown.h"
#include "zttypes/ztmisc.h"

namespace {

// Queue work (dataAvailable) running on this thread, on any bundler: the thread holds a bundler
// mutex, so a removal made from here must not wait for other threads' events.
thread_local int t_queueWorkDepth = 0;

// The data identifier whose update rate gives the frame period of split increments.
constexpr ZtDataIdentifier kSdiRateIdentifier = 0x8030;
// Slerp threshold below which the interpolation is linear.
constexpr double kSlerpThreshold = 1e-16;
// The most frames one packet is split into; a longer span (a gap of minutes, or a corrupt range)
// goes on whole rather than as that many packets.
constexpr int64_t kMaxSplitFrames = 4096;

// A packet owned by this scope.
struct LocalPacket {
  ZtDataPacket p;
  explicit LocalPacket(const ZtDataPacket& source) { ZtDataPacket_constructCopy(&p, &source); }
  LocalPacket() { ZtDataPacket_construct(&p); }
  ~LocalPacket() { ZtDataPacket_destruct(&p); }
  LocalPacket(const LocalPacket&) = delete;
  LocalPacket& operator=(const LocalPacket&) = delete;
};

// Restores the calling thread's current queue when queue work ends, also by an exception.
class QueueWorkScope {
 public:
  QueueWorkScope(DataBundleQueue*& current, DataBundleQueue* queue) : m_current(current), m_previous(current) {
    m_current = queue;
    ++t_queueWorkDepth;
  }
  ~QueueWorkScope() {
    --t_queueWorkDepth;
    m_current = m_previous;
  }
  QueueWorkScope(const QueueWorkScope&) = delete;
  QueueWorkScope& operator=(const QueueWorkScope&) = delete;

 private:
  DataBundleQueue*& m_current;
  DataBundleQueue* m_previous;
};

}  // namespace

ZtDataBundler::ZtDataBundler() {
  m_queues.reserve(2);
  m_queues.push_back(new DataBundleQueue(*this, &m_devices, 0));
  try {
    m_queues.push_back(new DataBundleQueue(*this, &m_devices, 1));
  } catch (...) {
    delete m_queues[0];
    throw;
  }
}

ZtDataBundler::~ZtDataBundler() {
  m_destroying.store(true, std::memory_order_release);
  // First no device may call in any more (each removal waits for the device's running events),
  // then the queues go.
  removeDevice(nullptr);
  deleteRetired();
  zelto::Lock lock(m_mutex);
  for (DataBundleQueue* q : m_queues) delete q;
  m_queues.clear();
}

// ---- Members ------------------------------------------------------------------------------------

void ZtDataBundler::addDevice(const ZtDevice* device) {
  if (!device) return;
  zelto::Lock lock(m_mutex);
  for (DataBundlerCallback* cb : m_devices)
    if (cb->device() == device) return;
  ZtDevice* target = const_cast<ZtDevice*>(device);
  auto* cb = new DataBundlerCallback(*this, target);
  try {
    m_devices.push_back(cb);
  } catch (...) {
    delete cb;  // never registered
    throw;
  }
  try {
    target->addCallbackHandler(cb, true);
  } catch (...) {
    m_devices.pop_back();
    delete cb;
    throw;
  }
  deviceCountChanged();
}

void ZtDataBundler::removeDevice(const ZtDevice* device) {
  for (;;) {
    DataBundlerCallback* cb = nullptr;
    {
      zelto::Lock lock(m_mutex);
      auto it = device ? std::find_if(m_devices.begin(), m_devices.end(),
                                      [device](DataBundlerCallback* c) { return c->device() == device; })
                       : m_devices.begin();
      if (it == m_devices.end()) return;
      cb = *it;
      m_devices.erase(it);
      deviceCountChanged();
      dropPacketsOf(cb->deviceId());
    }
    destroyCallback(cb);
    if (device) return;
  }
}

void ZtDataBundler::destroyCallback(DataBundlerCallback* cb) {
  cb->detach();
  if (DataBundlerCallback::inEventOnThisThread() || t_queueWorkDepth > 0) {
    // Another thread may be inside this handler, waiting for the mutex this thread holds.
    zelto::Lock lock(m_mutex);
    m_retired.push_back(cb);
    return;
  }
  cb->waitIdle();
  const ZtDeviceId id = cb->deviceId();
  delete cb;
  dropPacketsOf(id);  // what its last events queued after the removal
  deleteRetired();
}

void ZtDataBundler::deleteRetired() {
  if (DataBundlerCallback::inEventOnThisThread() || t_queueWorkDepth > 0) return;
  std::vector<DataBundlerCallback*> retired;
  {
    zelto::Lock lock(m_mutex);
    retired.swap(m_retired);
  }
  for (DataBundlerCallback* cb : retired) {
    cb->waitIdle();
    const ZtDeviceId id = cb->deviceId();
    delete cb;
    dropPacketsOf(id);
  }
}

void ZtDataBundler::dropPacketsOf(ZtDeviceId id) {
  zelto::Lock lock(m_mutex);
  for (DataBundlerCallback* cb : m_devices)
    if (cb->deviceId() == id) return;  // added again meanwhile: its packets count
  for (DataBundleQueue* q : m_queues) q->removePacketsOf(id);
}

void ZtDataBundler::deviceCountChanged() {
  m_rescan[0] = true;
  m_rescan[1] = true;
}

size_t ZtDataBundler::deviceCount() const {
  zelto::Lock lock(m_mutex);
  return m_devices.size();
}

ZtDevice* ZtDataBundler::sourceFromId(const ZtDeviceId& id) const {
  zelto::Lock lock(m_mutex);
  for (DataBundlerCallback* cb : m_devices) {
    ZtDevice* d = cb->device();
    if (d && d->deviceId() == id) return d;
  }
  return nullptr;
}

// ---- The bundle being delivered -----------------------------------------------------------------

unsigned int ZtDataBundler::count() const {
  DataBundleQueue* q = m_currentQueue.getData();
  const DataBundle* b = q ? q->currentBundle() : nullptr;
  return b ? static_cast<unsigned int>(b->count()) : 0u;
}

ZtDataPacket* ZtDataBundler::at(unsigned int index) const {
  DataBundleQueue* q = m_currentQueue.getData();
  const DataBundle* b = q ? q->currentBundle() : nullptr;
  return b ? b->at(index) : nullptr;
}

ZtDataPacket* ZtDataBundler::packet(ZtDeviceId id) const {
  DataBundleQueue* q = m_currentQueue.getData();
  const DataBundle* b = q ? q->currentBundle() : nullptr;
  return b ? b->packet(id) : nullptr;
}

// ---- Queue state ---------------------------------------------------------------------------------

void ZtDataBundler::clearQueues() {
  zelto::Lock lock(m_mutex);
  for (DataBundleQueue* q : m_queues) q->clear();
}

void ZtDataBundler::measurementStarting(const ZtDeviceId&) {
  zelto::Lock lock(m_mutex);
  m_recording = false;
  clearQueues();
}

void ZtDataBundler::setRecordingState(bool recording) {
  zelto::Lock lock(m_mutex);
  if (!m_recording && recording && m_queues.size() > 1) m_queues[1]->clear();
  m_recording = recording;
}

// ---- Insertion and delivery ----------------------------------------------------------------------

void ZtDataBundler::dataAvailable(const ZtDeviceId&, const ZtDataPacket& packet, DataBundleQueue& queue) {
  if (isDestroying()) return;
  zelto::Lock lock(m_mutex);
  QueueWorkScope scope(m_currentQueue.getData(), &queue);
  try {
    long touched = queue.insert(packet);
    bool& rescan = m_rescan[queue.type() == 0 ? 0 : 1];
    if (rescan) {
      rescan = false;
      queue.dropBeforeComplete(-1);
    } else if (touched >= 0) {
      queue.dropBeforeComplete(touched);
    }
    queue.execCallbackIfNeeded();
  } catch (const std::exception& e) {
    // Only allocation failures get here (handler exceptions are caught by the delivery loop);
    // the device thread that raised the event must not see them.
    JLOG_ERROR("Packet " << packet.packetId << " lost: " << e.what());
  }
}

void ZtDataBundler::recordingDataAvailable(const ZtDeviceId& id, const ZtDataPacket& packet) {
  if (isDestroying()) return;
  dataAvailable(id, packet, *m_queues[1]);
}

void ZtDataBundler::realTimeDataAvailable(const ZtDeviceId& id, const ZtDataPacket& packet) {
  if (isDestroying()) return;
  if (ZtDataPacket_containsSdiData(&packet))
    splitFrames(id, packet);
  else
    fillGaps(id, packet);
}

void ZtDataBundler::splitFrames(const ZtDeviceId& id, const ZtDataPacket& packet) {
  DataBundleQueue& queue = *m_queues[0];
  ZtRange range{0, 0};
  ZtDataPacket_frameRange(&packet, &range);
  // Frames of a 16-bit counter: a range whose first frame lies above its last wrapped.
  int64_t span = int64_t{range.last} - range.first;
  const bool wrapped = span < 0 && range.first <= 0xFFFF && range.last >= 0;
  if (wrapped) span += 65536;
  if (span < 2 || span > kMaxSplitFrames) {
    dataAvailable(id, packet, queue);
    return;
  }
  const int32_t n = static_cast<int32_t>(span);
  const bool hasInertial =
      ZtDataPacket_containsCalibratedRateOfTurn(&packet) || ZtDataPacket_containsCalibratedAcceleration(&packet);
  int rate = 0;
  bool found = false;
  {
    zelto::Lock lock(m_mutex);
    if (ZtDevice* device = sourceFromId(id)) {
      found = true;
      if (hasInertial) rate = device->updateRateForDataIdentifier(kSdiRateIdentifier);
    }
  }

  ZtSdiData sdi;
  ZtDataPacket_sdiData(&packet, &sdi);
  zelto::Quaternion qn;
  ZtQuaternion_normalized(&sdi.orientationIncrement, &qn);
  zelto::Vector v(3, sdi.velocityIncrement);
  zelto::Vector m(3);
  ZtDataPacket_calibratedMagneticField(&packet, &m);

  const double t = static_cast<double>(1.0f / static_cast<float>(n));
  zelto::Vector vf(3);
  vf.isScaMulVec(t, v);
  zelto::Quaternion qf;
  qf.isSlerp(zelto::Quaternion(), qn, t, kSlerpThreshold);
  zelto::Quaternion qnInverse;
  qnInverse.isInverseOf(qn);
  zelto::Quaternion toFirst;
  ZtQuaternion_multiply(&qnInverse, &qf, &toFirst);
  zelto::Vector m0(3);
  m0.isRotateVecByQuat(m, toFirst);

  zelto::Quaternion qa;  // rotation accumulated at the start of the frame
  zelto::Quaternion qaInverse;
  zelto::Vector vk(3), mk(3), acc(3), gyr(3);
  // 64-bit ids: the frames' ends, the last being the packet's own (also across the wrap).
  const int64_t base = packet.packetId - (n - 1);
  LocalPacket frame(packet);
  for (int32_t k = 0; k < n && !isDestroying(); ++k) {
    const int32_t f = wrapped ? (range.first + k) & 0xFFFF : range.first + k;
    const int32_t end = wrapped ? (f + 1) & 0xFFFF : f + 1;
    qaInverse.isInverseOf(qa);
    vk.isRotateVecByQuat(vf, qaInverse);
    mk.isRotateVecByQuat(m0, qa);
    qa.isQuatMulQuat(qa, qf);

    ZtDataPacket_copy(&frame.p, &packet);
    ZtSdiData piece;
    piece.orientationIncrement = qf;
    for (int i = 0; i < 3; ++i) piece.velocityIncrement[i] = vk[i];
    ZtDataPacket_setSdiData(&frame.p, &piece);
    ZtDataPacket_setCalibratedMagneticField(&frame.p, &mk);
    if (found && hasInertial && rate > 0) {
      // A rate of 0 (unknown) would make the frame period infinite: the values are kept then.
      try {
        zelto::inverseSdi(acc, gyr, qf, vk, 1.0 / rate);
        ZtDataPacket_setCalibratedAcceleration(&frame.p, &acc);
        ZtDataPacket_setCalibratedRateOfTurn(&frame.p, &gyr);
      } catch (const std::exception& e) {
        JLOG_ALERT("Frame " << f << " keeps the packet's inertial data: " << e.what());
      }
    }
    const ZtRange frameRange{f, end};
    ZtDataPacket_setFrameRange(&frame.p, &frameRange);
    ZtDataPacket_setPacketCounter(&frame.p, static_cast<uint16_t>(end & 0xFFFF));
    frame.p.packetId = base + k;
    dataAvailable(id, frame.p, queue);
  }
}

void ZtDataBundler::fillGaps(const ZtDeviceId& id, const ZtDataPacket& packet) {
  DataBundleQueue& queue = *m_queues[0];
  int64_t lastId = -1;
  bool known = false;
  {
    zelto::Lock lock(m_mutex);
    known = queue.lastPacketIdOf(packet.deviceId, lastId);
    if (!known) lastId = queue.lastRemovedId();
  }
  if (!known && lastId == -1) {
    // Nothing delivered since the queue was made or cleared: there is no gap to fill.
    dataAvailable(id, packet, queue);
    return;
  }
  const int64_t d = packet.packetId - lastId;
  if (d == 1) {
    dataAvailable(id, packet, queue);
    return;
  }
  if (d <= 0) {
    JLOG_ALERT("Unable to insert packet " << packet.packetId << " since it precedes already completed packet "
                                          << lastId);
    return;
  }
  JLOG_ALERT("Missed " << (d - 1) << " packets, inserting current 'as is' in all missed positions");
  // Copies further back than the queue can hold would be dropped by its bound right away.
  const int64_t copies = std::min<int64_t>(d - 1, static_cast<int64_t>(DataBundleQueue::kMaxRealTimeBundles) - 1);
  LocalPacket copy(packet);
  for (int64_t j = copies; j >= 0 && !isDestroying(); --j) {
    copy.p.packetId = packet.packetId - j;
    dataAvailable(id, copy.p, queue);
  }
}

void ZtDataBundler::missedPackets(const ZtDeviceId& id, int count, int first, int last) {
  JLOG_ALERT("device " << id << " missed " << count << " packets: " << first << "-" << last);
  if (count < 1 || isDestroying()) return;
  DataBundleQueue& recording = *m_queues[1];
  int64_t lastId = 0;
  {
    zelto::Lock lock(m_mutex);
    if (!recording.lastPacketIdOf(id, lastId)) return;
  }
  LocalPacket placeholder;
  placeholder.p.deviceId = id;
  for (int k = 1; k <= count && !isDestroying(); ++k) {
    placeholder.p.packetId = lastId + k;
    dataAvailable(id, placeholder.p, recording);
  }
}
