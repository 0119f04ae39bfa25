#include "control/DataBundlerCallback.h"

#include "control/ZtDataBundler.h"
#include "device/ZtDevice.h"

namespace {
// The result code a wireless station raises on one of its trackers when it restarts that
// tracker's filter: the samples queued so far no longer line up with what follows.
constexpr int kFilterRestartedCode = 42;
thread_local int t_eventDepth = 0;
}  // namespace

// Counts an event as running in the handler (and on this thread) for its whole duration.
class DataBundlerCallback::EventScope {
 public:
  explicit EventScope(const DataBundlerCallback& cb) : m_cb(cb) {
    m_cb.m_running.fetch_add(1, std::memory_order_acq_rel);
    ++t_eventDepth;
  }
  ~EventScope() {
    --t_eventDepth;
    if (m_cb.m_running.fetch_sub(1, std::memory_order_acq_rel) == 1) m_cb.m_running.notify_all();
  }
  EventScope(const EventScope&) = delete;
  EventScope& operator=(const EventScope&) = delete;

 private:
  const DataBundlerCallback& m_cb;
};

bool DataBundlerCallback::inEventOnThisThread() { return t_eventDepth > 0; }

void DataBundlerCallback::waitIdle() const {
  for (int n = m_running.load(std::memory_order_acquire); n != 0; n = m_running.load(std::memory_order_acquire))
    m_running.wait(n, std::memory_order_acquire);
}

DataBundlerCallback::DataBundlerCallback(ZtDataBundler& bundler, ZtDevice* device)
    : m_bundler(bundler), m_device(device), m_deviceId(device ? device->deviceId() : 0) {}

DataBundlerCallback::~DataBundlerCallback() { detach(); }

void DataBundlerCallback::detach() {
  ZtDevice* device = m_device.exchange(nullptr);
  if (!device) return;
  try {
    device->removeCallbackHandler(this, true);
  } catch (...) {
    // The device is going or gone; nothing is left to undo.
  }
}

void DataBundlerCallback::onDeviceStateChanged(ZtDevice*, ZtDeviceState newState, ZtDeviceState oldState) {
  EventScope scope(*this);
  ZtDevice* device = m_device.load(std::memory_order_acquire);
  const unsigned next = static_cast<unsigned>(newState);
  if (!device || next > ZDS_Destructing) return;
  switch (next) {
    case ZDS_Measurement:
    case ZDS_WaitingForRecordingStart:
      if (static_cast<unsigned>(oldState) < ZDS_Measurement)
        m_bundler.measurementStarting(device->deviceId());
      else
        m_bundler.setRecordingState(false);
      break;
    case ZDS_Recording:
    case ZDS_FlushingData:
    case ZDS_FinalizingRecording:
      m_bundler.setRecordingState(true);
      break;
    case ZDS_Destructing:
      // Stays in the bundler's list (and count) until removeDevice(null).
      m_device.store(nullptr, std::memory_order_release);
      break;
    default:
      break;
  }
}

void DataBundlerCallback::onDataAvailable(ZtDevice*, const ZtDataPacket* packet) {
  EventScope scope(*this);
  ZtDevice* device = m_device.load(std::memory_order_acquire);
  if (!packet || !device) return;
  m_bundler.realTimeDataAvailable(device->deviceId(), *packet);
}

void DataBundlerCallback::onMissedPackets(ZtDevice*, int count, int first, int last) {
  EventScope scope(*this);
  ZtDevice* device = m_device.load(std::memory_order_acquire);
  if (!device) return;
  m_bundler.missedPackets(device->deviceId(), count, first, last);
}

bool DataBundlerCallback::onWriteDataToLogFile(ZtDevice*, const ZtDataPacket* packet) {
  EventScope scope(*this);
  ZtDevice* device = m_device.load(std::memory_order_acquire);
  if (packet && device && !m_bundler.isDestroying())
    m_bundler.dataAvailable(device->deviceId(), *packet, m_bundler.getQueue(1));
  return true;
}

void DataBundlerCallback::onError(ZtDevice*, ZtResultValue error) {
  EventScope scope(*this);
  if (static_cast<int>(error) == kFilterRestartedCode && m_device.load(std::memory_order_acquire))
    m_bundler.clearQueues();
}
