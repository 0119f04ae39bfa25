#include "device/ZtDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <limits>
#include <memory>
#include <optional>

#include "device/DeferredEndings.h"
#include "device/DeviceTaskScope.h"
#include "device/OwnedMessage.h"
#include "device/ProcessTask.h"
#include "device/ScratchPacket.h"
#include "device/StateChanger.h"
#include "device/cache/IPacketDataCache.h"
#include "device/cache/PacketDataSource.h"
#include "device/config/DeviceConfigurationCollection.h"
#include "device/config/DeviceConfigurationMessages.h"
#include "device/config/DeviceConfigurationMetaInformation.h"
#include "device/config/ZtDeviceConfigurationMetaInformation.h"
#include "filters/common/ZtZkfFilter.h"
#include "errors/ZtDeviceConfigurationException.h"
#include "errors/ZtException.h"
#include "foundation/DebugTools.h"
#include "foundation/JournalMacros.h"
#include "foundation/TaskCompletionWaiter.h"
#include "foundation/ThreadPool.h"
#include "transport/imar/FsasProtocolHandler.h"
#include "transport/imar/IFogProtocolHandler.h"
#include "transport/legacy/LegacyDataPacket.h"
#include "transport/link/PacketStamper.h"
#include "transport/link/Communicator.h"
#include "transport/nmea/NmeaProtocolHandler.h"
#include "transport/zbus/ProtocolHandler.h"
#include "zttypes/zttime.h"

namespace {

ZtString emptyText() {
  ZtString text;
  ZtString_construct(&text, "");
  return text;
}

ZtVersion zeroVersion() {
  ZtVersion version;
  std::memset(&version, 0, sizeof version);
  return version;
}

// Packets a live cache holds: 30 seconds at the device's highest rate. 0 (no supported rate)
// means no limit to the caches.
unsigned long liveCacheSize(int maximumRate) {
  const long size = 30L * maximumRate;
  return size > 0 ? static_cast<unsigned long>(size) : 0;
}

constexpr unsigned long kUnlimited = std::numeric_limits<unsigned long>::max();

}  // namespace

// ---- Construction and destruction ----------------------------------------------------------------

ZtDevice::ZtDevice(DeviceFactory& factory, Communicator* communicator)
    : m_softwareFilteringEnabled(true), m_deviceFactory(&factory), m_communicator(communicator), m_master(this) {
  ZtDeviceConfiguration_construct(&m_configuration);
  m_firmwareVersion = zeroVersion();
  if (communicator) {
    copyCallbackHandlersFrom(communicator, true);
    addChainedManager(communicator);
    setDeviceId(communicator->masterDeviceId());
  }
  m_highestPacket = newEmptyPacket();
  m_suspectPacket = newEmptyPacket();
  if (!communicator) return;
  if (communicator->isPortOpen()) {
    m_connectivityState = ZCS_PluggedIn;
  } else if (communicator->isReadingFromFile()) {
    m_deviceState = ZDS_Measurement;
    m_connectivityState = ZCS_File;
  }
}

ZtDevice::ZtDevice(ZtDevice* master, const ZtDeviceId& deviceId)
    : m_softwareFilteringEnabled(true),
      m_deviceFactory(master->m_deviceFactory),
      m_deviceId(deviceId),
      m_communicator(master->m_communicator),
      m_master(master) {
  // Released by the destructor: the master object outlives this child object.
  master->hold();
  ZtDeviceConfiguration_construct(&m_configuration);
  m_firmwareVersion = zeroVersion();
  copyCallbackHandlersFrom(master, false);
  master->addChainedManager(this);
  bool listed;
  {
    std::lock_guard<std::mutex> lock(master->m_childrenMutex);
    listed = std::find(master->m_children.begin(), master->m_children.end(), this) != master->m_children.end();
  }
  if (!listed) master->addChild(this);
  if (deviceId == 0) {
    const int bus = busId();
    const ZtDeviceConfiguration& configuration = master->deviceConfiguration();
    if (bus >= 1 && bus <= configuration.numberOfDevices && configuration.deviceInfo)
      setDeviceId(configuration.deviceInfo[bus - 1].deviceId);
  }
  m_highestPacket = newEmptyPacket();
  m_suspectPacket = newEmptyPacket();
  m_connectivityState = master->connectivityState();
}

ZtDevice::ZtDevice(ZtDeviceId deviceId) : m_softwareFilteringEnabled(false), m_deviceId(deviceId) {
  ZtDeviceConfiguration_construct(&m_configuration);
  m_firmwareVersion = zeroVersion();
  m_master = this;
}

ZtDevice::~ZtDevice() {
  try {
    waitForLastScheduledTask();
    // A child deleted directly while still listed leaves the list first.
    if (!isMasterDevice()) m_master->unlistChild(this);
    removeAllChildren();
    delete m_readyCache;
    m_readyCache = nullptr;
    delete m_workingCache;
    m_workingCache = nullptr;
    for (ZtDataPacket** packet : {&m_highestPacket, &m_suspectPacket}) {
      if (!*packet) continue;
      ZtDataPacket_destruct(*packet);
      delete *packet;
      *packet = nullptr;
    }
    // A recording file left open is closed with its link (nothing else would free it).
    if (Communicator* link = takeRecordingLink()) {
      link->closeLogFile(false);
      removeChainedManager(link);
      delete link;
    }
    if (isMasterDevice() && m_communicator) {
      removeChainedManager(m_communicator);
      if (m_communicator->masterDevice() == this) m_communicator->setMasterDevice(nullptr);
      // On the link's reader thread (a handler of its hang-up report closed the port) the reader
      // deletes the link once it has returned; a control's close waits for that.
      DeferredEndings::announce();
      m_communicator->destroy(&DeferredEndings::settle);
      m_communicator = nullptr;
    }
  } catch (...) {
  }
  m_zkfFilter.reset();
  ZtDeviceConfiguration_destruct(&m_configuration);
  if (!isMasterDevice()) m_master->release();
}

ZtDataPacket* ZtDevice::newEmptyPacket() {
  auto* packet = new ZtDataPacket;
  ZtDataPacket_construct(packet);
  return packet;
}

// ---- Object lifetime -----------------------------------------------------------------------------

void ZtDevice::release() const {
  if (m_keepAlive.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void ZtDevice::end() {
  if (m_ended.load(std::memory_order_acquire)) return;
  // Asked from inside work of this device's tree on this thread (a handler of one of its tasks):
  // it ends once that work has returned, its object held until then.
  if (DeviceTaskScope* scope = DeviceTaskScope::holding(this)) {
    hold();
    scope->defer([this] {
      end();
      release();
    });
    return;
  }
  if (m_ended.exchange(true)) return;
  // A device class that throws while it terminates still goes, as its destructor would swallow
  // the same failure; otherwise it would stay allocated and keep its master alive.
  try {
    if (!isMasterDevice()) m_master->removeChild(this, false);
    prepareForTermination();
  } catch (...) {
  }
  try {
    removeAllChildren();
  } catch (...) {
  }
  release();
}

bool ZtDevice::hasReferencedChild() const {
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  return std::any_of(m_children.begin(), m_children.end(), [](const ZtDevice* c) { return c->refCounter() >= 1; });
}

std::vector<ZtDevice*> ZtDevice::heldChildren(bool publishedOnly) const {
  std::vector<ZtDevice*> held;
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  held.reserve(m_children.size());
  for (ZtDevice* child : m_children)
    if (!publishedOnly || child->isPublished()) {
      child->hold();
      held.push_back(child);
    }
  return held;
}

void ZtDevice::releaseAll(const std::vector<ZtDevice*>& devices) {
  for (ZtDevice* device : devices) device->release();
}

bool ZtDevice::unlistChild(ZtDevice* child) {
  {
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    auto it = std::find(m_children.begin(), m_children.end(), child);
    if (it == m_children.end()) return false;
    m_children.erase(it);
    m_childCount.store(m_children.size(), std::memory_order_relaxed);
    m_byIdStale.store(true, std::memory_order_relaxed);
  }
  removeChainedManager(child);
  return true;
}

bool ZtDevice::waitForLastScheduledTask() const {
  if (refusesOwnTaskWait("waitForLastScheduledTask")) return false;
  const unsigned id = m_lastScheduledProcessTask.load(std::memory_order_acquire);
  if (id != 0) zelto::ThreadPool::instance()->waitForCompletion(id);
  return true;
}

// ---- References ----------------------------------------------------------------------------------

void ZtDevice::addRef() {
  // Reference counting touches only this class's own members, so it reaches every listed child,
  // published or not (and publishes it).
  const std::vector<ZtDevice*> children = heldChildren(false);
  for (ZtDevice* child : children) child->addRef();
  releaseAll(children);
  m_refCounter.fetch_add(1, std::memory_order_acq_rel);
  // Publication: from here on other threads may call the (now complete) device.
  if (!m_published.exchange(true, std::memory_order_acq_rel) && isMasterDevice() && m_communicator)
    m_communicator->setMasterDevice(this);
}

void ZtDevice::removeRef() {
  // The caller's reference keeps the object alive up to here; the hold keeps it alive until the
  // end of this call, whoever ends the device meanwhile.
  hold();
  bool reachedZero = false;
  if (m_refCounter.load(std::memory_order_acquire) != 0) {
    const std::vector<ZtDevice*> children = heldChildren(false);
    for (ZtDevice* child : children) child->removeRef();
    releaseAll(children);
    int64_t count = m_refCounter.load(std::memory_order_acquire);
    while (count > 0 && !m_refCounter.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
    }
    reachedZero = count <= 1;
  }
  if (reachedZero && !isMasterDevice()) {
    ZtDevice* master = m_master;  // alive: this child object holds it
    master->hold();
    master->removeChild(this, false);
    const bool masterUnreferenced = master->refCounter() == 0 && !master->hasReferencedChild();
    // The child ends first; the master's object goes only after the child's has been deleted.
    if (!hasReferencedChild()) end();
    if (masterUnreferenced) master->end();
    master->release();
    release();
    return;
  }
  if (refCounter() == 0 && !hasReferencedChild()) end();
  release();
}

void ZtDevice::terminateAndRemoveRef(std::function<void()> beforeRemoveRef, std::function<void()> done) {
  if (DeviceTaskScope* scope = DeviceTaskScope::holding(this)) {
    hold();
    scope->defer([this, beforeRemoveRef = std::move(beforeRemoveRef), done = std::move(done)]() mutable {
      terminateAndRemoveRef(std::move(beforeRemoveRef), std::move(done));
      release();
    });
    return;
  }
  // Held: a handler raised meanwhile may drop the last reference, and the object must outlive
  // this call all the same.
  hold();
  try {
    prepareForTermination();
    if (beforeRemoveRef) beforeRemoveRef();
    removeRef();
  } catch (...) {
    JLOG_ERROR("closing device " << std::hex << deviceId() << " failed");
  }
  release();
  if (done) done();
}

bool ZtDevice::endsAfterOwnWorkHere() const { return DeviceTaskScope::holding(this) != nullptr; }

void ZtDevice::removeIfNoRefs() {
  hold();
  if (refCounter() == 0 && !hasReferencedChild()) end();
  release();
}

// ---- Termination ---------------------------------------------------------------------------------

void ZtDevice::prepareForTermination() {
  if (m_terminationPrepared.exchange(true)) return;
  updateDeviceState(ZDS_Destructing);
  if (isMasterDevice() && m_communicator) {
    if (m_gotoConfigOnClose) gotoConfig();
    m_communicator->abortLoadLogFile();
    m_communicator->waitForLastTaskCompletion();
    m_communicator->stopThread();
  }
  waitForLastScheduledTask();
  forEachChild([](ZtDevice* child) {
    child->prepareForTermination();
    return true;
  });
}

// ---- Identity and tree ---------------------------------------------------------------------------

int ZtDevice::busId() const {
  if (isMasterDevice()) return 255;
  std::lock_guard<std::mutex> lock(m_master->m_childrenMutex);
  const auto& list = m_master->m_children;
  auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? 254 : static_cast<int>(it - list.begin()) + 1;
}

ZtDevice* ZtDevice::deviceAtBusId(int busId) {
  return const_cast<ZtDevice*>(static_cast<const ZtDevice*>(this)->deviceAtBusId(busId));
}

const ZtDevice* ZtDevice::deviceAtBusId(int busId) const {
  if (busId == 255 && isMasterDevice()) return this;
  if (busId <= 0) return nullptr;
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  if (static_cast<size_t>(busId) > m_children.size()) return nullptr;
  return m_children[static_cast<size_t>(busId) - 1];
}

ZtDevice* ZtDevice::findDevice(ZtDeviceId id) const {
  if (id == deviceId()) return nullptr;
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  for (ZtDevice* child : m_children)
    if (child->deviceId() == id) return child;
  return nullptr;
}

bool ZtDevice::removeChild(ZtDevice* child, bool dropReference) {
  if (!child) return false;
  waitForLastScheduledTask();
  {
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    auto it = std::find(m_children.begin(), m_children.end(), child);
    if (it == m_children.end()) return false;
    m_children.erase(it);
    m_childCount.store(m_children.size(), std::memory_order_relaxed);
    m_byIdStale.store(true, std::memory_order_relaxed);
    child->hold();  // the child may be ended by its removeRef or another thread meanwhile
  }
  removeChainedManager(child);
  if (dropReference) child->removeRef();
  child->release();
  return true;
}

void ZtDevice::removeAllChildren() {
  waitForLastScheduledTask();
  for (;;) {
    ZtDevice* first;
    {
      std::lock_guard<std::mutex> lock(m_childrenMutex);
      if (m_children.empty()) return;
      first = m_children.front();
    }
    removeChild(first, true);
  }
}

void ZtDevice::updateConnectivityState(ZtConnectivityState state) {
  if (m_connectivityState.exchange(state, std::memory_order_acq_rel) != state) onConnectivityChanged(this, state);
}

// ---- 3. Tree, log and state flags ----------------------------------------------------------------

std::vector<ZtDevice*> ZtDevice::children() const {
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  return m_children;
}

bool ZtDevice::closeLogFile() {
  ZtDevice* master = m_master;
  if (Communicator* link = master->takeRecordingLink()) {
    link->closeLogFile(false);
    // Never chained by createLogFile; a link handed over by useLogInterface may have been.
    master->removeChainedManager(link);
    delete link;
  }
  return true;
}

bool ZtDevice::isMeasuring() const {
  const ZtDeviceState state = deviceState();
  return state >= ZDS_Measurement && state <= ZDS_FinalizingRecording;
}

bool ZtDevice::isRecording() const {
  const ZtDeviceState state = deviceState();
  return state >= ZDS_WaitingForRecordingStart && state <= ZDS_FinalizingRecording;
}

bool ZtDevice::isReadingFromFile() const { return m_communicator && m_communicator->isReadingFromFile(); }

bool ZtDevice::initialize(const zelto::SettingsFile& settings) {
  if (&settings != &m_settings) {
    m_settings.clear();
    settings.copyTo(m_settings, nullptr);
  }
  m_isInitialized = true;
  return true;
}

void ZtDevice::clear() { removeAllChildren(); }

void ZtDevice::addChild(ZtDevice* child) {
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  const size_t index = std::min(childInsertionIndex(m_children, child), m_children.size());
  m_children.insert(m_children.begin() + static_cast<std::ptrdiff_t>(index), child);
  m_childCount.store(m_children.size(), std::memory_order_relaxed);
  m_byId.reserve(m_children.size());  // here, so that the lookups' sorting allocates nothing
  m_byIdStale.store(true, std::memory_order_relaxed);
}

ZtDevice::ChildById* ZtDevice::childByIdLocked(ZtDeviceId id) const {
  if (m_byIdStale.exchange(false, std::memory_order_acquire)) {
    // Sorted by insertion, which keeps list order among equal ids; the list is short (bus ids).
    m_byId.resize(m_children.size());
    for (size_t i = 0; i < m_children.size(); ++i) {
      const ChildById entry{m_children[i]->deviceId(), m_children[i], nullptr, nullptr};
      size_t at = i;
      for (; at > 0 && m_byId[at - 1].id > entry.id; --at) m_byId[at] = m_byId[at - 1];
      m_byId[at] = entry;
    }
  }
  auto it = std::lower_bound(m_byId.begin(), m_byId.end(), id,
                             [](const ChildById& entry, ZtDeviceId wanted) { return entry.id < wanted; });
  for (; it != m_byId.end() && it->id == id; ++it)
    if (it->child->isPublished()) return &*it;
  return nullptr;
}

size_t ZtDevice::childInsertionIndex(const std::vector<ZtDevice*>& children, const ZtDevice*) const {
  return children.size();
}

std::unique_lock<std::recursive_mutex> ZtDevice::lockRequests() const {
  return std::unique_lock<std::recursive_mutex>(m_master->m_requestMutex);
}

int ZtDevice::configurationIndex() const {
  if (isMasterDevice()) return 0;
  const ZtDeviceConfiguration& configuration = m_master->m_configuration;
  if (!configuration.deviceInfo) return -1;
  const ZtDeviceId id = deviceId();
  for (int i = 0; i < configuration.numberOfDevices; ++i)
    if (configuration.deviceInfo[i].deviceId == id) return i;
  return -1;
}

// ---- 4. Battery, rates and identity --------------------------------------------------------------

int ZtDevice::batteryLevel() const { return 0; }
int ZtDevice::updateRateForDataIdentifier(ZtDataIdentifier) const { return updateRate(); }
int ZtDevice::updateRateForProcessedDataIdentifier(ZtDataIdentifier) const { return updateRate(); }
std::vector<int> ZtDevice::supportedUpdateRates(ZtDataIdentifier) const { return {}; }

int ZtDevice::maximumUpdateRate() const {
  const std::vector<int> rates = supportedUpdateRates(0);
  return rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());
}

bool ZtDevice::hasDataEnabled(ZtDataIdentifier) const { return false; }
bool ZtDevice::hasProcessedDataEnabled(ZtDataIdentifier dataIdentifier) const { return hasDataEnabled(dataIdentifier); }
ZtString ZtDevice::productCode() const { return emptyText(); }

ZtString ZtDevice::portName() const {
  if (!isMasterDevice()) return m_master->portName();
  return m_communicator ? m_communicator->portName() : emptyText();
}

ZtBaudRate ZtDevice::baudRate() const { return m_communicator ? m_communicator->baudRate() : 0; }
ZtBaudRate ZtDevice::serialBaudRate() const { return 0; }
ZtVersion ZtDevice::hardwareVersion() const { return zeroVersion(); }

// ---- 6. Options and host processing --------------------------------------------------------------

bool ZtDevice::setOptionEnabled(ZtOption option, bool enable) {
  switch (option) {
    case ZO_SoftwareCalibration:
      return setSoftwareCalibrationEnabled(enable);
    case ZO_SoftwareFiltering:
      return setSoftwareFilteringEnabled(enable);
  }
  return false;
}

bool ZtDevice::isOptionEnabled(ZtOption option) const {
  switch (option) {
    case ZO_SoftwareCalibration:
      return isSoftwareCalibrationEnabled();
    case ZO_SoftwareFiltering:
      return isSoftwareFilteringEnabled();
  }
  return false;
}

bool ZtDevice::setSoftwareFilteringEnabled(bool enable) {
  bool any = false;
  forEachChild([&](ZtDevice* child) {
    any = true;
    child->setSoftwareFilteringEnabled(enable);
    return true;
  });
  return any;
}

bool ZtDevice::isSoftwareFilteringEnabled() const { return false; }
bool ZtDevice::isSoftwareCalibrationEnabled() const { return false; }
bool ZtDevice::setSoftwareCalibrationEnabled(bool) { return true; }
bool ZtDevice::initializeFilter() { return true; }
void ZtDevice::performFiltering(ZtDataPacket&) {}
void ZtDevice::resetSoftwareFilter(zelto::SettingsFile*) {}

void ZtDevice::doProcessing(ZtDataPacket& packet) {
  const ZtDeviceId id = packet.deviceId;
  if (id == deviceId()) return;
  withChildById(id, [&packet](ZtDevice* child) { child->doProcessing(packet); });
}

// ---- 7. Messages ---------------------------------------------------------------------------------

bool ZtDevice::sendRawMessage(const ZtMessage& message) {
  return m_communicator ? m_communicator->writeMessage(message) : false;
}

// ---- 8. Port and output mode ---------------------------------------------------------------------

bool ZtDevice::isMotionTracker() const { return false; }
ZtOutputMode ZtDevice::outputMode() const { return 0; }
ZtOutputSettings ZtDevice::outputSettings() const { return 0; }
int ZtDevice::updateRate() const { return 0; }

bool ZtDevice::setUpdateRate(int rate) {
  ZtDeviceMode mode = deviceMode();
  ZtDeviceMode_setUpdateRate(&mode, rate);
  return setDeviceMode(mode);
}

ZtOutputConfigurationArray ZtDevice::outputConfiguration() const {
  ZtOutputConfigurationArray configuration;
  ZtOutputConfigurationArray_construct(&configuration, 0, nullptr);
  return configuration;
}

ZtOutputConfigurationArray ZtDevice::processedOutputConfiguration() const { return outputConfiguration(); }
bool ZtDevice::setOutputConfiguration(ZtOutputConfigurationArray&) { return false; }

bool ZtDevice::isInLegacyMode() const {
  ZtOutputConfigurationArray configuration = outputConfiguration();
  const bool legacy = configuration.size == 0 || !configuration.data || (configuration.flags & ZTARRAY_EMPTY);
  ZtArray_destruct(ZTARRAY(&configuration));
  return legacy;
}

bool ZtDevice::isInStringOutputMode() const { return (stringOutputType() & 0xFFFF) != 0; }
bool ZtDevice::usesLegacyDeviceMode() const { return isInLegacyMode() || isInStringOutputMode(); }
int ZtDevice::stringOutputType() const { return 0; }
int ZtDevice::samplePeriod() const { return -1; }
int ZtDevice::outputSkipFactor() const { return -1; }

ZtDeviceMode ZtDevice::deviceMode() const {
  ZtDeviceMode mode;
  mode.outputMode = outputMode();
  mode.outputSettings = outputSettings();
  mode.period = static_cast<uint16_t>(samplePeriod());
  mode.skipFactor = static_cast<uint16_t>(outputSkipFactor());
  return mode;
}

bool ZtDevice::setDeviceMode(const ZtDeviceMode& mode) {
  if (!setOutputMode(mode.outputMode)) return false;
  if (!setOutputSettings(mode.outputSettings)) return false;
  if (mode.period != 0 && !setSamplePeriod(mode.period)) return false;
  return setOutputSkipFactor(mode.skipFactor);
}

int ZtDevice::dataLength() const { return 0; }

// ---- 9. Caches -----------------------------------------------------------------------------------

void ZtDevice::createDataCache() {
  delete m_readyCache;
  m_readyCache = nullptr;
  delete m_workingCache;
  m_workingCache = nullptr;
  if (!m_communicator) return;
  const bool fromFile = m_communicator->isReadingFromFile();
  zelto::IPacketDataSource* source = m_communicator->dataSource();
  const unsigned long liveSize = liveCacheSize(maximumUpdateRate());
  const ZtDeviceId cacheId = m_master->deviceId();

  zelto::PacketDataCacheConfiguration ready;
  ready.disableCache = false;
  ready.useFifo = true;
  ready.fastIndex = fromFile;
  m_readyCache = zelto::IPacketDataCache::create(source, ready, kUnlimited);
  m_readyCache->setMaxSize(fromFile ? kUnlimited : liveSize);
  m_readyCache->setDeviceId(cacheId);

  zelto::PacketDataCacheConfiguration working;
  working.disableCache = true;
  working.useFifo = true;
  working.fastIndex = fromFile;
  m_workingCache = zelto::IPacketDataCache::create(source, working, kUnlimited);
  m_workingCache->setMaxSize(liveSize);
  m_workingCache->setDeviceId(cacheId);
}

void ZtDevice::tuneDataCacheSize() {
  const unsigned long liveSize = liveCacheSize(maximumUpdateRate());
  if (m_readyCache && !isReadingFromFile()) m_readyCache->setMaxSize(liveSize);
  if (m_workingCache) m_workingCache->setMaxSize(liveSize);
}

void ZtDevice::clearCache() {
  if (m_readyCache) m_readyCache->clear();
  if (m_workingCache) m_workingCache->clear();
}

// ---- 10. Calibration and synchronisation ---------------------------------------------------------

bool ZtDevice::initializeSoftwareCalibration() {
  bool ok = true;
  forEachChild([&ok](ZtDevice* child) { return ok = child->initializeSoftwareCalibration(); });
  return ok;
}

void ZtDevice::deinitializeSoftwareCalibration() {
  forEachChild([](ZtDevice* child) {
    child->deinitializeSoftwareCalibration();
    return true;
  });
}

std::vector<ZtSyncSetting> ZtDevice::syncSettings() const { return {}; }
bool ZtDevice::setSyncSettings(const std::vector<ZtSyncSetting>&) { return false; }

bool ZtDevice::isSyncMaster() const {
  const int role = syncRole();
  return role == 2 || role == 3;
}

bool ZtDevice::isSyncSlave() const {
  const int role = syncRole();
  return role == 0 || role == 2;
}

std::vector<ZtSyncSetting> ZtDevice::supportedSyncSettings() const { return {}; }

// ---- 11. Mode changes and device commands --------------------------------------------------------

void ZtDevice::writeDeviceSettingsToFile() {
  forEachChild([](ZtDevice* child) {
    child->writeDeviceSettingsToFile();
    return true;
  });
}

void ZtDevice::flushInputBuffers(bool alsoWorkingCache) {
  if (m_readyCache) m_readyCache->clear();
  if (alsoWorkingCache && m_workingCache) m_workingCache->clear();
}

int ZtDevice::syncRole() const { return 1; }

// ---- 12. Playback, protocols and queue -----------------------------------------------------------

bool ZtDevice::loadLogFile() {
  if (!isReadingFromFile()) return false;
  m_communicator->loadLogFile(this);
  return true;
}

bool ZtDevice::abortLoadLogFile() {
  if (!isReadingFromFile()) return false;
  m_communicator->abortLoadLogFile();
  m_communicator->waitForLastTaskCompletion();
  return true;
}

ZtString ZtDevice::logFileName() const { return isReadingFromFile() ? m_communicator->logFileName() : emptyText(); }

bool ZtDevice::resetOrientation(ZtResetMethod method) { return m_master->scheduleOrientationReset(method); }

bool ZtDevice::resetLogFileReadPosition() {
  if (!isReadingFromFile()) return false;
  m_communicator->resetLogFileReadPosition();
  // The file's counters start again: numbered against the end of the first pass, a recording
  // longer than half the counter's period would get other packet ids.
  resetPacketStamping();
  clearCache();
  initializeFilter();
  forEachChild([](ZtDevice* child) {
    child->clearCache();
    child->initializeFilter();
    return true;
  });
  return true;
}

bool ZtDevice::updateCachedDeviceInformation() {
  if (isMeasuring()) return false;
  return initialize(m_settings);
}

bool ZtDevice::enableProtocol(ZtProtocolType type) {
  if (!m_communicator) return false;
  switch (type) {
    case ZPT_Zbus:
      m_communicator->addProtocolHandler(new ProtocolHandler());
      return true;
    case ZPT_Nmea:
      m_communicator->addProtocolHandler(new nmea::ProtocolHandler());
      return true;
    case ZPT_ImarFsas:
      m_communicator->addProtocolHandler(new imar::FsasProtocolHandler());
      return true;
    case ZPT_ImarIFog:
      m_communicator->addProtocolHandler(new imar::IFogProtocolHandler());
      return true;
  }
  return false;
}

bool ZtDevice::disableProtocol(ZtProtocolType type) {
  if (!m_communicator || type < ZPT_Zbus || type > ZPT_ImarIFog) return false;
  m_communicator->removeProtocolHandler(type);
  return true;
}

bool ZtDevice::isProtocolEnabled(ZtProtocolType type) const {
  return m_communicator ? m_communicator->hasProtocol(type) : false;
}

bool ZtDevice::resetDroppedPacketCount() {
  if (!m_communicator) return false;
  m_communicator->setDroppedPacketCount(0);
  return true;
}

bool ZtDevice::setQueueMode(ZtQueueMode mode) {
  m_queueMode.store(mode, std::memory_order_relaxed);
  return true;
}

// ---- 13. Radio, wireless, bus and power ----------------------------------------------------------

bool ZtDevice::enableRadio(int) { return false; }
bool ZtDevice::disableRadio() { return false; }
int ZtDevice::radioChannel() const { return -1; }
bool ZtDevice::isRadioEnabled() const { return false; }
bool ZtDevice::makeOperational() { return false; }
bool ZtDevice::isOperational() const { return false; }
bool ZtDevice::isInSyncBoxMode() const { return false; }
bool ZtDevice::setSyncBoxMode(bool) { return false; }
void ZtDevice::handleMasterIndication(const ZtMessage&) {}
bool ZtDevice::abortFlushing() { return true; }
bool ZtDevice::setDeviceAccepted(ZtDeviceId) { return false; }
bool ZtDevice::setDeviceRejected(ZtDeviceId) { return false; }
bool ZtDevice::acceptConnection() { return false; }
bool ZtDevice::rejectConnection() { return false; }
int ZtDevice::wirelessPriority() const { return 0; }
bool ZtDevice::setWirelessPriority(int) { return false; }
ZtRejectReason ZtDevice::rejectReason() const { return ZRR_Unknown; }
bool ZtDevice::requestBatteryLevel() { return false; }
bool ZtDevice::setTransportMode(bool) { return false; }
bool ZtDevice::transportMode() const { return false; }
int ZtDevice::lastKnownRssi() const { return -128; }
bool ZtDevice::isBlueToothEnabled() const { return false; }
bool ZtDevice::setBlueToothEnabled(bool) { return false; }
bool ZtDevice::isDualOutputEnabled() const { return false; }
bool ZtDevice::setDualOutputEnabled(bool) { return false; }
bool ZtDevice::isBusPowerEnabled() const { return false; }
bool ZtDevice::setBusPowerEnabled(bool) { return false; }
bool ZtDevice::powerDown() { return false; }
ZtErrorMode ZtDevice::errorMode() const { return 4; }
bool ZtDevice::setErrorMode(ZtErrorMode) { return false; }

// ---- 14. Orientation, filter settings and profiles -----------------------------------------------

bool ZtDevice::setHeadingOffset(double) { return false; }
double ZtDevice::headingOffset() const { return 0.0; }
void ZtDevice::updateHeadingOffset() {}
ZtResetMethod ZtDevice::resetMethod() const { return ZRM_None; }
void ZtDevice::updateObjectAlignmentMatrix() {}
bool ZtDevice::setLocationId(int) { return false; }
int ZtDevice::locationId() const { return 0; }
ZtMatrix ZtDevice::objectAlignment() const { return ZtMatrix{nullptr, 0, 0, 0, 0}; }
bool ZtDevice::setObjectAlignment(const ZtMatrix&) { return false; }
ZtVector ZtDevice::labMagneticField() const { return ZtVector{nullptr, 0, 0}; }
bool ZtDevice::setLabMagneticField(const ZtVector&) { return false; }
double ZtDevice::gravityMagnitude() const { return 0.0; }
bool ZtDevice::setGravityMagnitude(double) { return false; }
ZtVector ZtDevice::latLonAlt() const { return ZtVector{nullptr, 0, 0}; }
bool ZtDevice::setLatLonAlt(const ZtVector&) { return false; }
bool ZtDevice::reinitialize() { return false; }
ZtFilterProfile ZtDevice::zdaFilterProfile() const { return ZtFilterProfile{}; }
bool ZtDevice::setZdaFilterProfile(int) { return false; }
ZtFilterProfile ZtDevice::onboardFilterProfile() const { return ZtFilterProfile{}; }
bool ZtDevice::setOnboardFilterProfile(int) { return false; }
bool ZtDevice::replaceFilterProfile(const ZtFilterProfile&, const ZtFilterProfile&) { return false; }
std::vector<ZtFilterProfile> ZtDevice::availableOnboardFilterProfiles() const { return {}; }
std::vector<ZtFilterProfile> ZtDevice::availableZdaFilterProfiles() const { return {}; }
double ZtDevice::accelerometerRange() const { return 0.0; }
double ZtDevice::gyroscopeRange() const { return 0.0; }
bool ZtDevice::setNoRotation(uint16_t) { return false; }
uint16_t ZtDevice::rs485TransmissionDelay() const { return 0; }
bool ZtDevice::setRs485TransmissionDelay(uint16_t) { return false; }
uint16_t ZtDevice::runSelfTest() { return 0; }
bool ZtDevice::requestData() { return false; }
bool ZtDevice::storeFilterState() { return false; }
bool ZtDevice::isInitialBiasUpdateEnabled() const { return false; }
bool ZtDevice::setInitialBiasUpdateEnabled(bool) { return false; }
bool ZtDevice::isFixedGravityEnabled() const { return false; }
bool ZtDevice::setFixedGravityEnabled(bool) { return false; }

// ---- 15. Configuration files (the configuration-file code builds these) --------------------------

// Both file operations leave a device that was in Config there and bring a measuring one back to
// Measurement whatever the outcome, unless the first switch to Config already failed.
ZtResultValue ZtDevice::createConfigFile(const ZtString& fileName) {
  const bool wasMeasuring = isMeasuring();
  if (!gotoConfig()) return ZRV_ERROR;
  ZtResultValue result = ZRV_ERROR;
  {
    zelto::SettingsFile file(false);
    std::unique_ptr<DeviceConfigurationMessages> messages(determineConfigurationMessages());
    std::unique_ptr<DeviceConfigurationMetaInformation> meta(determineConfigurationMetaInformation());
    const DeviceConfigurationCollection collection(messages.release(), meta.release());
    // Every exchange is done before the first setting enters the file, so a failure writes nothing.
    if (collection.create(*this, file, determineConfigurationMessageTimeout()))
      result = file.writeZsa(ZtString_c_str(&fileName), nullptr, nullptr);
  }
  if (wasMeasuring && !gotoMeasurement()) result = ZRV_ERROR;
  return result;
}

ZtResultValue ZtDevice::applyConfigFile(const ZtString& fileName) {
  const bool wasMeasuring = isMeasuring();
  if (!gotoConfig()) return ZRV_ERROR;
  ZtResultValue result;
  {
    zelto::SettingsFile file(false);
    result = file.readZsa(ZtString_c_str(&fileName), nullptr, nullptr);
    if (result == ZRV_OK) {
      std::unique_ptr<DeviceConfigurationMessages> messages(determineConfigurationMessages());
      std::unique_ptr<DeviceConfigurationMetaInformation> meta(determineConfigurationMetaInformation());
      const DeviceConfigurationCollection collection(messages.release(), meta.release());
      // The whole file is checked before its first message is sent.
      result = collection.apply(*this, file, determineConfigurationMessageTimeout()) ? ZRV_OK : ZRV_ERROR;
    }
  }
  if (wasMeasuring && !gotoMeasurement()) result = ZRV_ERROR;
  return result;
}

// ---- 16. Alignment, GNSS and time ----------------------------------------------------------------

bool ZtDevice::setAlignmentRotationMatrix(ZtAlignmentFrame, const ZtMatrix&) { return false; }
ZtMatrix ZtDevice::alignmentRotationMatrix(ZtAlignmentFrame) const { return ZtMatrix{nullptr, 0, 0, 0, 0}; }
bool ZtDevice::setAlignmentRotationQuaternion(ZtAlignmentFrame, const ZtQuaternion&) { return false; }

ZtQuaternion ZtDevice::alignmentRotationQuaternion(ZtAlignmentFrame) const {
  return ZtQuaternion{ZtMath_zero, ZtMath_zero, ZtMath_zero, ZtMath_zero};
}

void ZtDevice::handleGpsStatus(const ZtMessage&) {}
bool ZtDevice::requestGpsStatus() { return false; }
bool ZtDevice::setLeverArm(const ZtVector&) { return false; }
ZtVector ZtDevice::leverArm() const { return ZtVector{nullptr, 0, 0}; }
ZtUtcTime ZtDevice::utcTime() const { return ZtUtcTime{}; }
bool ZtDevice::requestUtcTime() { return false; }

// ---- 17. Internal hooks --------------------------------------------------------------------------

// Recording and the settings messages build these.
EktsManager* ZtDevice::ekts() const { return nullptr; }

void ZtDevice::writeFilterStateToFile() {
  forEachChild([](ZtDevice* child) {
    if (child->deviceState() == ZDS_Recording) child->writeFilterStateToFile();
    return true;
  });
}

void ZtDevice::checkChildStates() {}

void ZtDevice::updateDeviceState(ZtDeviceState state) {
  const ZtDeviceState old = m_deviceState.exchange(state, std::memory_order_acq_rel);
  if (old != state) onDeviceStateChanged(this, state, old);
}

int ZtDevice::determineConfigurationMessageTimeout() const { return 500; }
DeviceConfigurationMessages* ZtDevice::determineConfigurationMessages() const { return new DeviceConfigurationMessages(); }

DeviceConfigurationMetaInformation* ZtDevice::determineConfigurationMetaInformation() const {
  return new ZtDeviceConfigurationMetaInformation();
}

// ---- States and mode switching -------------------------------------------------------------------

namespace {

// Requests of the settings messages and of the reset conversation (acknowledgement: id + 1).
constexpr uint8_t kSetSamplePeriod = 0x04;
constexpr uint8_t kRestoreFactoryDefaults = 0x0E;
constexpr uint8_t kBaudRate = 0x18;
constexpr uint8_t kWakeUp = 0x3E;
constexpr uint8_t kWakeUpAck = 0x3F;
constexpr uint8_t kReset = 0x40;
constexpr uint8_t kResetAck = 0x41;
constexpr uint8_t kSetStringOutputType = 0x8E;
constexpr uint8_t kScheduleOrientationReset = 0xA4;
constexpr uint8_t kSetOutputMode = 0xD0;
constexpr uint8_t kSetOutputSettings = 0xD2;
constexpr uint8_t kSetOutputSkipFactor = 0xD4;

// Time-outs in ms. Baud-rate exchanges get the longer allowance of the device-id request.
constexpr unsigned kAckTimeout = 200;
constexpr unsigned kBaudRateTimeout = 500;
constexpr unsigned kWakeUpTimeout = 3000;

// Waits on a reply object registered before its request went out: true when the acknowledgement
// came. The object leaves the link's monitor with its last handle, on every path.
bool awaitReply(const Communicator::ReplyHandle& reply, ZtMessage& answer, uint8_t ackId, unsigned timeoutMs) {
  return reply->message(answer, timeoutMs) && ZtMessage_getMessageId(&answer) == ackId;
}

}  // namespace

bool ZtDevice::refusesOwnTaskWait(const char* operation) const {
  bool own = DeviceTaskScope::isRunningTaskOf(this);
  if (!own && isMasterDevice())
    own = withChild([](const ZtDevice* child) { return DeviceTaskScope::isRunningTaskOf(child); },
                    [](ZtDevice*) {});
  if (own)
    JLOG_ERROR(operation << " of device " << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
                         << deviceId() << " refused: called from one of the device's own tasks, it would wait for itself");
  return own;
}

unsigned ZtDevice::setDeviceState(ZtDeviceState state, bool wait) {
  setChildDeviceStates(state, true);
  unsigned id;
  {
    std::lock_guard<zelto::Mutex> lock(m_processingMutex);
    id = zelto::ThreadPool::instance()->addTask(new zelto::StateChanger(this, state),
                                                m_lastScheduledProcessTask.load(std::memory_order_acquire));
    m_lastScheduledProcessTask.store(id, std::memory_order_release);
  }
  if (!wait || refusesOwnTaskWait("setDeviceState")) return id;
  zelto::ThreadPool::instance()->waitForCompletion(id);
  return 0;
}

unsigned ZtDevice::setChildDeviceStates(ZtDeviceState state, bool wait) {
  if (!isMasterDevice()) return 0;
  std::vector<unsigned> ids;
  forEachChild([&](ZtDevice* child) {
    ids.push_back(child->setDeviceState(state, false));
    return true;
  });
  if (ids.empty()) return 0;
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  unsigned id;
  {
    // Chained behind the master's previous last task, so the master's tasks stay one chain.
    std::lock_guard<zelto::Mutex> lock(m_processingMutex);
    id = pool->addTask(new zelto::TaskCompletionWaiter(ids, pool),
                       m_lastScheduledProcessTask.load(std::memory_order_acquire));
    m_lastScheduledProcessTask.store(id, std::memory_order_release);
  }
  if (!wait || refusesOwnTaskWait("setChildDeviceStates")) return id;
  pool->waitForCompletion(id);
  return 0;
}

bool ZtDevice::gotoMeasurement() {
  if (m_softwareFilteringEnabled) initializeFilter();
  if (!isMasterDevice()) return false;
  if (deviceState() == ZDS_Measurement) return true;
  if (!m_communicator || !m_communicator->isPortOpen()) return false;
  if (refusesOwnTaskWait("gotoMeasurement")) return false;
  resetPacketStamping();
  setChildDeviceStates(ZDS_Measurement, true);
  if (m_communicator->gotoMeasurement() != ZRV_OK) {
    setChildDeviceStates(ZDS_Config, true);
    return false;
  }
  m_communicator->setMeasuring(true);
  setDeviceState(ZDS_Measurement, true);
  return true;
}

bool ZtDevice::gotoConfig() {
  if (!isMasterDevice()) return false;
  if (deviceState() == ZDS_Config) return true;
  if (!m_communicator || !m_communicator->isPortOpen()) return false;
  if (refusesOwnTaskWait("gotoConfig")) return false;
  if (m_communicator->gotoConfig(false) != ZRV_OK) return false;
  m_communicator->setMeasuring(false);
  setDeviceState(ZDS_Config, true);
  waitForLastScheduledTask();
  return true;
}

bool ZtDevice::startRecording() {
  if (!isMasterDevice()) return m_master->startRecording();
  if (deviceState() != ZDS_Measurement) return false;
  if (Communicator* log = m_logFileInterface) {
    ZtString name = log->logFileName();
    const bool open = log->isLogFileOpen(name);
    ZtString_destruct(&name);
    if (!open) return false;
  }
  if (refusesOwnTaskWait("startRecording")) return false;
  writeFilterStateToFile();
  setDeviceState(ZDS_Recording, true);
  return true;
}

bool ZtDevice::stopRecording() {
  if (!isMasterDevice()) return m_master->stopRecording();
  if (deviceState() != ZDS_Recording) return false;
  if (refusesOwnTaskWait("stopRecording")) return false;
  setDeviceState(ZDS_Measurement, true);
  return true;
}

// ---- Settings messages ---------------------------------------------------------------------------

bool ZtDevice::exchange(const ZtMessage& request, uint8_t ackId, unsigned timeoutMs, ZtMessage* reply) {
  Communicator* link = m_communicator;
  if (!link) return false;
  const auto requestLock = lockRequests();
  const Communicator::ReplyHandle handle = link->addReplyObject(ackId);
  if (!handle) return false;
  if (!link->writeMessage(request)) return false;
  OwnedMessage answer;
  const bool acknowledged = awaitReply(handle, answer.m, ackId, timeoutMs);
  if (reply) ZtMessage_copy(reply, &answer.m);
  return acknowledged;
}

bool ZtDevice::exchange(uint8_t requestId, uint8_t busId, size_t payloadSize, uint32_t payload, unsigned timeoutMs) {
  OwnedMessage request(requestId, busId, payloadSize);
  switch (payloadSize) {
    case 1:
      ZtMessage_setDataByte(&request.m, static_cast<uint8_t>(payload), 0);
      break;
    case 2:
      ZtMessage_setDataShort(&request.m, static_cast<uint16_t>(payload), 0);
      break;
    case 4:
      ZtMessage_setDataLong(&request.m, payload, 0);
      break;
    default:
      break;
  }
  return exchange(request.m, static_cast<uint8_t>(requestId + 1), timeoutMs);
}

bool ZtDevice::sendCustomMessage(const ZtMessage& message, bool waitForResult, ZtMessage& reply, int timeoutMs) {
  if (!m_communicator) return false;
  if (!waitForResult) return m_communicator->writeMessage(message);
  // A message without header has id 0, so it expects 1 as well. A time-out of 0 (or a
  // meaningless negative one) is the usual 200 ms.
  const uint8_t ackId = static_cast<uint8_t>(ZtMessage_getMessageId(&message) + 1);
  return exchange(message, ackId, timeoutMs > 0 ? static_cast<unsigned>(timeoutMs) : kAckTimeout, &reply);
}

bool ZtDevice::setStringOutputType(uint16_t type) {
  return m_communicator && exchange(kSetStringOutputType, ZTMESSAGE_MASTER_BUS_ID, 2, type, kAckTimeout);
}

bool ZtDevice::setSamplePeriod(uint16_t period) {
  if (!m_communicator || !exchange(kSetSamplePeriod, ZTMESSAGE_MASTER_BUS_ID, 2, period, kAckTimeout)) return false;
  m_master->m_configuration.samplingPeriod = period;
  return true;
}

bool ZtDevice::setSerialBaudRate(ZtBaudRate baudRate) {
  if (!isMasterDevice() || !m_communicator || m_communicator->isReadingFromFile()) return false;
  if (m_communicator->baudRate() == baudRate) return true;
  // A rate the devices have no code for is refused before anything is sent.
  const uint8_t code = ZtBaud_rateToCode(baudRate);
  if (code == 0 || code == 0xFF) return false;
  if (!exchange(kBaudRate, ZTMESSAGE_MASTER_BUS_ID, 1, code, kBaudRateTimeout)) return false;
  // A serial port follows the device to its new rate; a port without baud rate is done.
  return m_communicator->baudRate() != 0 ? reset() : true;
}

bool ZtDevice::setOutputMode(ZtOutputMode mode) {
  return m_communicator && exchange(kSetOutputMode, static_cast<uint8_t>(busId()), 2, mode & 0xFFFF, kAckTimeout);
}

bool ZtDevice::setOutputSettings(ZtOutputSettings settings) {
  return m_communicator && exchange(kSetOutputSettings, static_cast<uint8_t>(busId()), 4, settings, kAckTimeout);
}

bool ZtDevice::setOutputSkipFactor(uint16_t skipFactor) {
  if (!m_communicator || !exchange(kSetOutputSkipFactor, static_cast<uint8_t>(busId()), 2, skipFactor, kAckTimeout))
    return false;
  m_master->m_configuration.outputSkipFactor = skipFactor;
  return true;
}

bool ZtDevice::restoreFactoryDefaults() {
  if (!m_communicator) return false;
  const ZtDeviceState state = deviceState();
  if (state == ZDS_Measurement || state == ZDS_Recording) return false;
  return exchange(kRestoreFactoryDefaults, static_cast<uint8_t>(busId()), 0, 0, kAckTimeout);
}

bool ZtDevice::scheduleOrientationReset(ZtResetMethod method) {
  if (!m_communicator) return false;
  const ZtDeviceState state = deviceState();
  if (method == ZRM_StoreAlignment ? state != ZDS_Config : state != ZDS_Measurement && state != ZDS_Recording)
    return false;
  return exchange(kScheduleOrientationReset, static_cast<uint8_t>(busId()), 2, static_cast<uint32_t>(method) & 0xFFFF,
                  kAckTimeout);
}

bool ZtDevice::reset() {
  if (!isMasterDevice() || !m_communicator || !gotoConfig()) return false;
  Communicator* link = m_communicator;
  // The device's current rate: the port reopens at it once the device has restarted.
  ZtBaudRate rate;
  {
    OwnedMessage query(kBaudRate, ZTMESSAGE_MASTER_BUS_ID, 0);
    OwnedMessage answer;
    if (!exchange(query.m, kBaudRate + 1, kBaudRateTimeout, &answer.m)) return false;
    if (ZtMessage_dataSize(&answer.m) < 1) {
      JLOG_ALERT("reset refused: the baud rate reply holds no rate");
      return false;
    }
    rate = ZtBaud_codeToRate(ZtMessage_getDataByte(&answer.m, 0));
  }
  // The wake-up may follow the acknowledgement at once: both are awaited before 0x40 goes out.
  const Communicator::ReplyHandle resetAck = link->addReplyObject(kResetAck);
  const Communicator::ReplyHandle wakeUp = link->addReplyObject(kWakeUp);
  if (!resetAck || !wakeUp) return false;
  {
    OwnedMessage request(kReset, ZTMESSAGE_MASTER_BUS_ID, 0);
    if (!link->writeMessage(request.m)) return false;
  }
  OwnedMessage answer;
  if (!awaitReply(resetAck, answer.m, kResetAck, kAckTimeout)) return false;
  if (!link->reopenPort(rate, OPS_OpenPort | OPS_StartThread)) return false;
  if (!awaitReply(wakeUp, answer.m, kWakeUp, kWakeUpTimeout)) return false;
  OwnedMessage acknowledge(kWakeUpAck, ZTMESSAGE_MASTER_BUS_ID, 0);
  return link->writeMessage(acknowledge.m);
}

void ZtDevice::updateUpdateRate(uint16_t rate) {
  ZtDeviceMode mode{};
  ZtDeviceMode_setUpdateRate(&mode, rate);
  m_master->m_configuration.samplingPeriod = mode.period;
  m_master->m_configuration.outputSkipFactor = mode.skipFactor;
}

// ---- Filter handle -------------------------------------------------------------------------------

bool ZtDevice::hasZkfFilter() const {
  std::lock_guard<zelto::Mutex> lock(m_filterMutex);
  return static_cast<bool>(m_zkfFilter);
}

zelto::NonIntrusiveSharedPointer<ZtZkfFilter> ZtDevice::zkfFilter() const {
  std::lock_guard<zelto::Mutex> lock(m_filterMutex);
  return m_zkfFilter;
}

void ZtDevice::setZkfFilter(const zelto::NonIntrusiveSharedPointer<ZtZkfFilter>& filter) {
  std::lock_guard<zelto::Mutex> lock(m_filterMutex);
  m_zkfFilter = filter;
}

void ZtDevice::restartFilter(ZkfParams* parameters) {
  zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter;
  {
    std::lock_guard<zelto::Mutex> lock(m_filterMutex);
    filter = m_zkfFilter;
  }
  if (!filter) return;
  // The reference keeps the filter alive while it restarts, even if it is replaced meanwhile.
  filter->restart(parameters);
  std::lock_guard<zelto::Mutex> lock(m_filterMutex);
  filter.reset();
}

// ---- LinkDevice ----------------------------------------------------------------------------------

void ZtDevice::handleLinkMessage(const ZtMessage& message) {
  const DeviceTaskScope hold(this, DeviceTaskScope::Kind::kHold);
  handleMessage(message);
}

void ZtDevice::messageReceivedFromDevice(const ZtMessage& message) {
  const DeviceTaskScope hold(this, DeviceTaskScope::Kind::kHold);
  onMessageReceivedFromDevice(this, &message);
}
void ZtDevice::messageSentToDevice(const ZtMessage& message) { onMessageSentToDevice(this, &message); }
uint16_t ZtDevice::configuredDeviceCount() const { return m_master->m_configuration.numberOfDevices; }

ZtDevice* ZtDevice::findLinkedChild(ZtDeviceId id) {
  ZtDevice* child = findDevice(id);
  return child && child->isPublished() ? child : nullptr;
}

// ---- Message and packet path ---------------------------------------------------------------------

namespace {

constexpr uint8_t kLegacyDataMessage = 0x32;
constexpr uint8_t kDataMessage = 0x36;
constexpr uint8_t kErrorMessage = 0x42;

using zelto::ScratchPacket;

// Owns a packet a cache returned by value.
struct TakenPacket {
  ZtDataPacket p;
  explicit TakenPacket(ZtDataPacket packet) : p(packet) {}
  ~TakenPacket() { ZtDataPacket_destruct(&p); }
  TakenPacket(const TakenPacket&) = delete;
  TakenPacket& operator=(const TakenPacket&) = delete;
};

ZtDataPacket emptyPacket() {
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  return packet;
}

// Moves a cache's result into the caller's packet.
void adopt(ZtDataPacket& result, ZtDataPacket taken) {
  ZtDataPacket_swap(&result, &taken);
  ZtDataPacket_destruct(&taken);
}

// A packet that its maker hands to the next step of the path on this thread for one call (the
// packet handleMessage made, to handleDataPacket; the copy handleDataPacket made, to
// processPacket): that step, when it runs on the same device, takes the packet over instead of
// copying it.
struct HandedOver {
  const ZtDataPacket* packet = nullptr;
  const ZtDevice* device = nullptr;
};
thread_local HandedOver t_handedOver;

class HandOver {
 public:
  HandOver(const ZtDataPacket& packet, const ZtDevice* device) : m_previous(t_handedOver) {
    t_handedOver = {&packet, device};
  }
  ~HandOver() { t_handedOver = m_previous; }
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;

  // The packet itself when it is the one handed over to this device on this thread (taken once),
  // else null.
  static ZtDataPacket* take(const ZtDataPacket& packet, const ZtDevice* device) {
    if (&packet != t_handedOver.packet || device != t_handedOver.device) return nullptr;
    t_handedOver = {};
    return const_cast<ZtDataPacket*>(&packet);  // a scratch packet, not const itself
  }

 private:
  HandedOver m_previous;
};

struct MissedPackets {
  int bits = 0;  // 16 or 8; 0: the counters could not be compared
  int count = 0;
  int first = 0;
  int last = 0;
  unsigned previous = 0;
  unsigned current = 0;
};

// Compares the short counters of a new packet with those of the highest packet so far. A gap of
// half a period or more is a late or repeated packet (the stamper files it below the highest
// one), not a run of missed packets.
// The 16-bit packet counter found by one lookup (this runs up to three times per packet).
bool packetCounter16(const ZtDataPacket& packet, unsigned& value) {
  const int32_t at = ZtDataPacket_itemOffsetExact(&packet, ZDI_PacketCounter);
  if (at < 0) return false;
  const uint8_t* b = ZtMessage_constData(&packet.message) + at;
  value = static_cast<unsigned>(b[0]) << 8 | b[1];
  return true;
}

MissedPackets compareCounters(const ZtDataPacket& reference, const ZtDataPacket& packet) {
  MissedPackets missed;
  unsigned period;
  unsigned previous16 = 0, current16 = 0;
  if (packetCounter16(reference, previous16) && packetCounter16(packet, current16)) {
    missed.bits = 16;
    period = 65536;
    missed.previous = previous16;
    missed.current = current16;
  } else if (ZtDataPacket_containsPacketCounter8(&reference) && ZtDataPacket_containsPacketCounter8(&packet)) {
    missed.bits = 8;
    period = 256;
    missed.previous = ZtDataPacket_packetCounter8(&reference);
    missed.current = ZtDataPacket_packetCounter8(&packet);
  } else {
    return missed;
  }
  const unsigned mask = period - 1;
  const unsigned gap = (missed.current - missed.previous) & mask;
  if (gap < 2 || gap >= period / 2) return missed;
  missed.count = static_cast<int>(gap - 1);
  missed.first = static_cast<int>((missed.previous + 1) & mask);
  missed.last = static_cast<int>((missed.current - 1) & mask);
  return missed;
}

}  // namespace

void ZtDevice::handleMessage(const ZtMessage& message) {
  const uint8_t id = ZtMessage_empty(&message) ? 0 : ZtMessage_getMessageId(&message);
  if (id == kLegacyDataMessage) {
    const ZtDeviceConfiguration& configuration = deviceConfiguration();
    const uint16_t count = configuration.deviceInfo ? configuration.numberOfDevices : 0;
    // The layouts of the configurations this thread decodes for (a pool worker parses for
    // several links), each laid out once: a stream of legacy messages costs no allocation and
    // no layout per message. A layout's use ends before the packet is handled, so a handler that
    // makes this thread decode again (a pull from a playing device) finds them free.
    constexpr size_t kLayoutsPerThread = 4;
    thread_local std::unique_ptr<LegacyDataPacket> layouts[kLayoutsPerThread];
    thread_local size_t nextReplaced = 0;
    const auto fits = [&](const LegacyDataPacket& layout) {
      if (layout.itemCount() != count || layout.isZbusSystem()) return false;
      for (int i = 0; i < count; ++i) {
        const ZtDeviceConfigurationDevice& record = configuration.deviceInfo[i];
        const ZtDataFormat format = layout.dataFormat(i);
        if (layout.deviceId(i) != record.deviceId || format.outputMode != record.outputMode ||
            format.outputSettings != record.outputSettings)
          return false;
      }
      return true;
    };
    LegacyDataPacket* layout = nullptr;
    for (std::unique_ptr<LegacyDataPacket>& kept : layouts)
      if (!layout && kept && fits(*kept)) layout = kept.get();
    if (!layout) {
      std::unique_ptr<LegacyDataPacket>& slot = layouts[nextReplaced];
      nextReplaced = (nextReplaced + 1) % kLayoutsPerThread;
      slot = std::make_unique<LegacyDataPacket>(count, false);
      slot->setZbusSystem(false, false);
      for (int i = 0; i < count; ++i) {
        const ZtDeviceConfigurationDevice& record = configuration.deviceInfo[i];
        slot->setDeviceId(record.deviceId, i);
        slot->setDataFormat(record.outputMode, record.outputSettings, i);
      }
      layout = slot.get();
    }
    layout->setMessage(message);
    ScratchPacket packet;
    ZtDataPacket_assignFromZtLegacyDataPacket(packet.get(), *layout, 0);
    HandOver handOver(*packet, this);
    handleDataPacket(*packet);
  } else if (id == kDataMessage) {
    ScratchPacket packet;
    ZtDataPacket_setMessage(packet.get(), &message);
    packet.get()->deviceId = deviceId();
    HandOver handOver(*packet, this);
    handleDataPacket(*packet);
  } else {
    handleNonDataMessage(message);
  }
}

void ZtDevice::handleNonDataMessage(const ZtMessage& message) {
  // The events below reach the application on the parsing worker: processing kept to run next
  // on it must not wait for a callback that may block.
  zelto::ThreadPool::instance()->publishRunNext();
  if (isMasterDevice() && m_communicator && !isReadingFromFile()) {
    // The consent is asked for every message, also when no recording file is open.
    writeMessageToLogFile(message);
  }
  onNonDataMessage(this, &message);
  if (!ZtMessage_empty(&message) && ZtMessage_getMessageId(&message) == kErrorMessage) {
    // The device's error code is the first payload byte; an error without one is reported as a
    // generic failure rather than read past the payload.
    const ZtResultValue code = ZtMessage_dataSize(&message) >= 1
                                   ? static_cast<ZtResultValue>(ZtMessage_getDataByte(&message, 0))
                                   : ZRV_ERROR;
    onError(this, code);
  }
}

void ZtDevice::handleDataPacket(const ZtDataPacket& packet) {
  // The packet handleMessage made for this device is stamped in place; any other is copied.
  std::optional<ScratchPacket> scratch;
  ZtDataPacket* copy = HandOver::take(packet, this);
  if (!copy) {
    copy = scratch.emplace().get();
    ZtDataPacket_copy(copy, &packet);
  }
  // A confirmed jump reports the gap before the suspect packet and the one after it.
  MissedPackets missed[2];
  if (m_highestPacket) {
    // Held for the check and the stamping only: the report, the events and the processing run
    // without it.
    std::lock_guard<std::mutex> lock(m_highestMutex);
    const MissedPackets direct = compareCounters(*m_highestPacket, *copy);
    MissedPackets viaSuspect[2];
    if (!ZtDataPacket_empty(m_suspectPacket)) {
      viaSuspect[0] = compareCounters(*m_highestPacket, *m_suspectPacket);
      viaSuspect[1] = compareCounters(*m_suspectPacket, *copy);
    }
    switch (PacketStamper::stampPacket(*copy, *m_highestPacket, *m_suspectPacket)) {
      case PacketStamper::Outcome::Late:
      case PacketStamper::Outcome::Next:
        missed[0] = direct;
        break;
      case PacketStamper::Outcome::Suspect:
        break;  // its gap is reported once the packet after it confirms it
      case PacketStamper::Outcome::Confirmed:
        missed[0] = viaSuspect[0];
        missed[1] = viaSuspect[1];
        break;
    }
  }
  for (const MissedPackets& m : missed) {
    if (m.count <= 0) continue;
    zelto::ThreadPool::instance()->publishRunNext();  // events follow, as for non-data messages
    JLOG_ALERT("Detected(" << m.bits << " bit) " << m.count << " packets have been missed by device "
                           << std::uppercase << std::hex << std::setw(8) << std::setfill('0') << deviceId()
                           << std::dec << ", continuing at " << m.current << ", previous was " << m.previous);
    onError(this, ZRV_MISSEDPACKETS);
    onMissedPackets(this, m.count, m.first, m.last);
  }
  if (copy->packetId < 0) {
    // Half a period or more before the first packet of the stream: a corrupted counter, or a
    // packet from before the stream began. A negative id means none, so it is dropped here
    // rather than handed to the caches, the recording and the application as one.
    JLOG_ALERT("Dropped a packet of device " << std::uppercase << std::hex << std::setw(8) << std::setfill('0')
                                             << deviceId() << std::dec << " stamped before the first packet (id "
                                             << copy->packetId << ")");
    return;
  }
  HandOver handOver(*copy, this);
  processPacket(*copy, m_communicator && !isReadingFromFile());
}

void ZtDevice::processPacket(const ZtDataPacket& packet, bool async) {
  ZtDataPacket* taken = HandOver::take(packet, this);
  if (!async) {
    if (taken) {
      zelto::ProcessTask task(this, *taken, zelto::ProcessTask::kTake);
      task.exec();
    } else {
      zelto::ProcessTask task(this, packet);
      task.exec();
    }
    return;
  }
  auto* task = taken ? new zelto::ProcessTask(this, *taken, zelto::ProcessTask::kTake)
                     : new zelto::ProcessTask(this, packet);
  std::lock_guard<zelto::Mutex> lock(m_processingMutex);
  // Called by the link's parse task, which ends soon: the processing runs next on the same worker
  // instead of waking another (from any other thread this is a plain add).
  const unsigned id = zelto::ThreadPool::instance()->addTaskToRunNext(
      task, m_lastScheduledProcessTask.load(std::memory_order_acquire));
  m_lastScheduledProcessTask.store(id, std::memory_order_release);
}

void ZtDevice::processOwnPacket(ZtDataPacket& packet, bool async) {
  HandOver handOver(packet, this);
  processPacket(packet, async);
}

void ZtDevice::storeInCaches(ZtDataPacket& packet) {
  zelto::IPacketDataCache* working = m_workingCache;
  if (!working || !m_readyCache) return;
  insertOrUpdateCacheItem(working, packet);
  storeInReadyCache(packet);
}

void ZtDevice::storeInReadyCache(ZtDataPacket& packet) {
  zelto::IPacketDataCache* ready = m_readyCache;
  if (!ready) return;
  if (isReadingFromFile()) {
    insertOrUpdateCacheItem(ready, packet);
    return;
  }
  switch (queueMode()) {
    case ZQM_Queue:
      insertOrUpdateCacheItem(ready, packet);
      break;
    case ZQM_LatestOnly: {
      // The newest packet, completed by the items of the one it replaces. Read, not taken: a
      // pull meanwhile still finds the packet being replaced.
      ScratchPacket lowest;
      if (!ready->lowestInto(*lowest)) {
        ready->insert(packet.packetId, packet, true);
        break;
      }
      ScratchPacket merged;
      ZtDataPacket_copy(merged.get(), &packet);
      ZtDataPacket_append(merged.get(), lowest.get());
      ready->insert(packet.packetId, *merged, true);
      if (packet.packetId != lowest->packetId) ready->remove(lowest->packetId);
      break;
    }
    default:
      break;
  }
}

void ZtDevice::insertPacketInCaches(ZtDataPacket& packet) {
  if (!m_workingCache || !m_readyCache) return;
  try {
    storeInCaches(packet);
  } catch (const ZtException&) {
    zelto::DebugTools::debugBreak();
  }
  onDataAvailable(this, &packet);
  checkCache();
}

void ZtDevice::insertOrUpdateCacheItem(zelto::IPacketDataCache* cache, const ZtDataPacket& packet) {
  const long key = packet.packetId;
  // The common case, a new id, in one step of the cache.
  if (cache->insertIfAbsent(key, packet, true)) return;
  TakenPacket stored(cache->object(key));
  ScratchPacket merged;
  ZtDataPacket_copy(merged.get(), &packet);
  ZtDataPacket_append(merged.get(), &stored.p);
  cache->insert(key, *merged, true);
}

void ZtDevice::checkCache() {
  flushCache();
  if (isMasterDevice()) {
    // A master without children (a single tracker) takes no lock here.
    if (m_childCount.load(std::memory_order_relaxed) == 0) return;
    forEachChild([](ZtDevice* child) {
      child->checkCache();
      return true;
    });
  } else if (deviceState() != m_master->deviceState()) {
    m_master->checkChildStates();
  }
}

void ZtDevice::flushCache() {
  zelto::IPacketDataCache* working = m_workingCache;
  if (!working) return;
  // Moved into this thread's scratch packet (no copy): a master's processing also flushes its
  // children, so the same working cache can be flushed from two threads at once.
  ScratchPacket packet;
  for (;;) {
    try {
      if (!working->takeLowest(*packet)) return;  // empty, or emptied meanwhile
    } catch (const ZtException&) {
      return;  // a cache that does not remove single entries
    }
    if (!isRecording()) continue;  // dropped without any event
    if (!onWriteDataToLogFile(this, packet.get())) continue;
    // The message as received (the original of a converted packet), written without a copy.
    const ZtMessage& original = ZtMessage_empty(&packet->original) ? packet->message : packet->original;
    writeMessageToLogFile(original);
  }
}

void ZtDevice::resetPacketStamping() {
  const auto reset = [](ZtDevice* device) {
    if (!device->m_highestPacket) return;
    // In place: the parsing worker may be comparing against it right now.
    std::lock_guard<std::mutex> lock(device->m_highestMutex);
    for (ZtDataPacket* packet : {device->m_highestPacket, device->m_suspectPacket}) {
      ZtDataPacket_clear(packet);
      packet->deviceId = 0;
      packet->packetId = 0;
      packet->toa = 0;
    }
  };
  reset(this);
  forEachChild([&reset](ZtDevice* child) {
    reset(child);
    return true;
  });
}

void ZtDevice::fillRtc(ZtDataPacket&) {}

bool ZtDevice::finishLastProcessingTask() {
  if (DeviceTaskScope::isRunningTaskOf(this)) return false;
  waitForLastScheduledTask();
  return true;
}

ZtDataPacket ZtDevice::nextAvailableDataPacket() {
  ZtDataPacket result = emptyPacket();
  zelto::IPacketDataCache* ready = m_readyCache;
  const ZtQueueMode mode = queueMode();
  if (!m_communicator || isReadingFromFile() || mode == ZQM_CallbacksOnly || !ready || ready->empty()) return result;
  try {
    if (mode == ZQM_Queue) {
      // The take copies and removes in one step of the cache, so each packet goes to one puller;
      // a key taken, trimmed or cleared since it was found the lowest is looked up again.
      while (!ready->empty()) {
        const long key = ready->lowestKey();
        try {
          adopt(result, ready->take(key));
          break;
        } catch (const ZtException&) {
        }
      }
    } else {
      adopt(result, ready->lowest());
    }
  } catch (const ZtException&) {
    // Emptied meanwhile: nothing available.
  }
  return result;
}

namespace {

// A playing device's ready cache fills on demand: an empty one first reads the file's first
// packets through its data source.
void primeReadyCache(zelto::IPacketDataCache* ready) {
  if (!ready->empty()) return;
  try {
    TakenPacket first(ready->lowerBound(0));
  } catch (const ZtException&) {
  }
}

}  // namespace

ZtDataPacket ZtDevice::dataPacketByIndex(uint32_t index) {
  ZtDataPacket result = emptyPacket();
  zelto::IPacketDataCache* ready = m_readyCache;
  if (!ready || !isReadingFromFile()) return result;
  try {
    primeReadyCache(ready);
    adopt(result, ready->atIndex(index));
  } catch (const ZtException&) {
  }
  return result;
}

ZtDataPacket ZtDevice::dataPacketById(uint64_t packetId) {
  ZtDataPacket result = emptyPacket();
  zelto::IPacketDataCache* ready = m_readyCache;
  if (!ready || !isReadingFromFile() || packetId > static_cast<uint64_t>(std::numeric_limits<long>::max()))
    return result;
  try {
    primeReadyCache(ready);
    if (packetId == 0) {
      adopt(result, ready->lowest());
    } else {
      TakenPacket found(ready->lowerBound(static_cast<long>(packetId)));
      if (found.p.packetId == static_cast<int64_t>(packetId)) ZtDataPacket_swap(&result, &found.p);
    }
  } catch (const ZtException&) {
  }
  return result;
}

size_t ZtDevice::queueLength() const {
  zelto::IPacketDataCache* ready = m_readyCache;
  return ready ? ready->size() : 0;
}

uint32_t ZtDevice::droppedPacketCount() const { return m_communicator ? m_communicator->droppedPacketCount() : 0; }

void ZtDevice::setReadyCache(zelto::IPacketDataCache* cache) {
  if (cache == m_readyCache) return;
  delete m_readyCache;
  m_readyCache = cache;
}

void ZtDevice::setWorkingCache(zelto::IPacketDataCache* cache) {
  if (cache == m_workingCache) return;
  delete m_workingCache;
  m_workingCache = cache;
}

// ---- Log-file recording and playback -------------------------------------------------------------

namespace {

constexpr uint8_t kInitBus = 0x02;
constexpr uint8_t kInitBusAck = 0x03;
constexpr uint8_t kRequestConfiguration = 0x0C;
constexpr uint8_t kConfiguration = 0x0D;
constexpr uint8_t kRequestFirmwareRevision = 0x12;
constexpr uint8_t kFirmwareRevision = 0x13;
constexpr unsigned kInitBusTimeout = 500;
constexpr unsigned kConfigurationTimeout = 5000;
constexpr unsigned kFirmwareTimeout = 200;
// A playback file holds its Configuration message among its first messages.
constexpr int kConfigurationSearchDepth = 5;

// The creation date and time ("YYYYMMDD", "HHMMSShh": the companion library's forms) from one
// reading of the clock, so that a file made at midnight gets a matching pair.
void stampCreationTime(ZtDeviceConfiguration& configuration) {
  ZtDateTime now;
  ZtTime_getDateTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", now.year % 10000, now.month % 100, now.day % 100);
  std::memcpy(configuration.date, text, sizeof configuration.date);
  std::snprintf(text, sizeof text, "%02d%02d%02d%02d", now.hour % 100, now.minute % 100, now.second % 100,
                (now.millisecond / 10) % 100);
  std::memcpy(configuration.time, text, sizeof configuration.time);
}

ZtVersion versionOfRecord(const ZtDeviceConfigurationDevice& record) {
  ZtVersion version = zeroVersion();
  version.major = record.firmwareMajor;
  version.minor = record.firmwareMinor;
  version.revision = record.firmwareRevision;
  return version;
}

// Replaces the configuration by the one in message; the old records are freed.
void replaceConfiguration(ZtDeviceConfiguration& configuration, const ZtMessage& message) {
  ZtDeviceConfiguration read;
  ZtDeviceConfiguration_construct(&read);
  ZtDeviceConfiguration_readFromMessage(&read, &message);
  std::swap(configuration, read);
  ZtDeviceConfiguration_destruct(&read);
}

}  // namespace

ZtDeviceConfiguration ZtDevice::deviceConfiguration() const {
  ZtDeviceConfiguration copy;
  ZtDeviceConfiguration_construct(&copy);
  ZtDeviceConfiguration_copy(&copy, &m_master->m_configuration);
  return copy;
}

Communicator* ZtDevice::takeRecordingLink() {
  // Taking the mutex waits for a write in flight; after it no writer can reach the link.
  std::lock_guard<std::mutex> lock(m_logFileMutex);
  return m_logFileInterface.exchange(nullptr, std::memory_order_acq_rel);
}

bool ZtDevice::writeToRecordingLink(const ZtMessage& message) {
  // No file open: no lock on the way of every message.
  if (!m_logFileInterface.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(m_logFileMutex);
  Communicator* link = m_logFileInterface.load(std::memory_order_acquire);
  // Write failures of the recording link are not the device's: the link keeps its last result.
  return link && link->writeMessageToLogFile(message);
}

bool ZtDevice::writeMessageToLogFile(const ZtMessage& message) {
  if (!onWriteMessageToLogFile(this, &message)) return false;
  return m_master->writeToRecordingLink(message);
}

ZtResultValue ZtDevice::createLogFile(const ZtString& fileName) {
  ZtDevice* master = m_master;
  if (!master->m_communicator || !master->m_communicator->isPortOpen()) return ZRV_NOPORTOPEN;
  {
    std::lock_guard<std::mutex> lock(master->m_logFileMutex);
    if (master->m_logFileInterface.load(std::memory_order_acquire)) return ZRV_ALREADYOPEN;
    // Port-less; it is not chained below the device (it raises no events of its own).
    auto* link = new Communicator();
    if (!link->createLogFile(fileName)) {
      link->closeLogFile(true);
      delete link;
      return ZRV_OUTPUTCANNOTBECREATED;
    }
    stampCreationTime(master->m_configuration);
    ZtMessage configuration;
    ZtDeviceConfiguration_writeToMessage(&master->m_configuration, &configuration);
    // Written before the link is published, so that it is the first message of the file.
    link->writeMessageToLogFile(configuration);
    ZtMessage_destruct(&configuration);
    master->m_logFileInterface.store(link, std::memory_order_release);
  }
  master->writeDeviceSettingsToFile();
  return ZRV_OK;
}

void ZtDevice::useLogInterface(Communicator* link) {
  ZtDevice* master = m_master;
  Communicator* previous;
  {
    std::lock_guard<std::mutex> lock(master->m_logFileMutex);
    previous = master->m_logFileInterface.exchange(link, std::memory_order_acq_rel);
  }
  if (previous && previous != link) {
    previous->closeLogFile(false);
    master->removeChainedManager(previous);
    delete previous;
  }
}

bool ZtDevice::readDeviceConfiguration() {
  if (!isMasterDevice()) {
    const int index = configurationIndex();
    if (index < 0) return false;
    m_firmwareVersion = versionOfRecord(m_master->m_configuration.deviceInfo[index]);
    return true;
  }
  Communicator* link = m_communicator;
  if (!link) return false;
  if (link->isReadingFromFile()) {
    OwnedMessage message;
    link->readMessageFromStartOfFile(message.m, kConfiguration, kConfigurationSearchDepth);
    // A search through all five messages without a match also ends with result 0: the empty
    // message says so.
    if (link->lastResult() != ZRV_OK || ZtMessage_empty(&message.m) ||
        ZtMessage_getMessageId(&message.m) != kConfiguration)
      return false;
    replaceConfiguration(m_configuration, message.m);
    if (ZtDeviceConfiguration_empty(&m_configuration)) throw ZtDeviceConfigurationException();
    m_firmwareVersion = versionOfRecord(m_configuration.deviceInfo[0]);
    return true;
  }
  if (!gotoConfig()) return false;
  const uint8_t bus = static_cast<uint8_t>(busId());
  {
    OwnedMessage request(kInitBus, bus, 0);
    if (!exchange(request.m, kInitBusAck, kInitBusTimeout)) return false;
  }
  {
    OwnedMessage request(kRequestConfiguration, bus, 0);
    OwnedMessage reply;
    if (!exchange(request.m, kConfiguration, kConfigurationTimeout, &reply.m)) return false;
    replaceConfiguration(m_configuration, reply.m);
  }
  m_firmwareVersion = zeroVersion();
  OwnedMessage request(kRequestFirmwareRevision, bus, 0);
  OwnedMessage reply;
  // A reply too short to hold major, minor and revision leaves the version at zeros.
  if (exchange(request.m, kFirmwareRevision, kFirmwareTimeout, &reply.m) && ZtMessage_dataSize(&reply.m) >= 3) {
    m_firmwareVersion.major = ZtMessage_getDataByte(&reply.m, 0);
    m_firmwareVersion.minor = ZtMessage_getDataByte(&reply.m, 1);
    m_firmwareVersion.revision = ZtMessage_getDataByte(&reply.m, 2);
  }
  return true;
}

int64_t ZtDevice::logFileSize() const { return isReadingFromFile() ? m_communicator->logFileSize() : 0; }

uint64_t ZtDevice::logFileReadPosition() const {
  if (!isReadingFromFile()) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(m_communicator->logFileReadPosition());
}

uint8_t ZtDevice::peekMessageId() {
  if (!m_communicator) return 0;
  const uint8_t id = m_communicator->peekLogMessageId();
  return m_communicator->lastResult() == ZRV_OK ? id : 0;
}
