#include "control/ZtControl.h"

#include <algorithm>
#include <cstring>

#include "device/DeferredEndings.h"
#include "device/DeviceTaskScope.h"
#include "device/ZtDevice.h"
#include "foundation/JournalMacros.h"
#include "foundation/LockReadWrite.h"
#include "control/BroadcastDevice.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "trackers/KtDevice.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/zdalibrary.h"

// The built-in filter profiles: a scrambled zsb image linked into the library.
extern "C" const char _binary_scenarios_zsb_start[];
extern "C" const char _binary_scenarios_zsb_end[];

namespace {

std::string textOf(const ZtString& text) { return ZtString_c_str(&text); }

bool samePortName(ZtDevice* device, const std::string& name) {
  ZtString port = device->portName();
  const bool same = name == ZtString_c_str(&port);
  ZtString_destruct(&port);
  return same;
}

ZtString makeText(const char* text) {
  ZtString out;
  ZtString_construct(&out, text ? text : "");
  return out;
}

// Ends the open of one port name however the open leaves.
class OpeningScope {
 public:
  OpeningScope(std::mutex& mutex, std::condition_variable& done, std::vector<std::string>& names, std::string name)
      : m_mutex(mutex), m_done(done), m_names(names), m_name(std::move(name)) {}
  ~OpeningScope() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_names.erase(std::find(m_names.begin(), m_names.end(), m_name));
    }
    m_done.notify_all();
  }
  OpeningScope(const OpeningScope&) = delete;
  OpeningScope& operator=(const OpeningScope&) = delete;

 private:
  std::mutex& m_mutex;
  std::condition_variable& m_done;
  std::vector<std::string>& m_names;
  std::string m_name;
};

}  // namespace

// ---- Master holds ----------------------------------------------------------------------------------

ZtControl::MasterHold::~MasterHold() {
  // The device left the list (and the control's chain) before its last hold went.
  std::shared_ptr<Ended> ended = m_ended;
  ZtDevice* device = m_device;
  CallbackManagerZda* unchainFrom = m_unchainFrom;
  try {
    device->terminateAndRemoveRef(
        [unchainFrom, device] {
          if (unchainFrom) unchainFrom->removeChainedManager(device);
        },
        [ended] { ended->signal(); });
  } catch (...) {
    JLOG_ERROR("closing device " << std::hex << m_device->deviceId() << " failed");
    ended->signal();
  }
}

void ZtControl::MasterHold::Ended::wait() {
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [this] { return ended; });
}

void ZtControl::MasterHold::Ended::signal() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
  }
  changed.notify_all();
}

namespace {
thread_local int tWalkDepth = 0;
}

ZtControl::WalkScope::WalkScope() { ++tWalkDepth; }
ZtControl::WalkScope::~WalkScope() { --tWalkDepth; }
bool ZtControl::WalkScope::active() { return tWalkDepth > 0; }

// ---- Construction ----------------------------------------------------------------------------------

ZtControl::ZtControl() : m_broadcastDevice(new BroadcastDevice(*this)) {
  try {
    initFilterProfileList();
  } catch (...) {
    delete m_broadcastDevice;
    throw;
  }
}

ZtControl::~ZtControl() {
  try {
    close();
  } catch (...) {
  }
  {
    std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
    m_dataBundlers.clear();
  }
  try {
    delete m_broadcastDevice;
  } catch (...) {
  }
  m_broadcastDevice = nullptr;
}

// ---- List ------------------------------------------------------------------------------------------

ZtControl::HeldMasters ZtControl::heldMasters() const {
  zelto::LockReadWrite lock(m_listLock, false);
  return m_devices;
}

void ZtControl::list(ZtDevice* device) {
  auto hold = std::make_shared<MasterHold>(device);
  zelto::LockReadWrite lock(m_listLock, true);
  m_devices.push_back(std::move(hold));
}

bool ZtControl::leftIsSlaverThanRight(const ZtDevice* a, const ZtDevice* b) { return a->syncRole() < b->syncRole(); }

void ZtControl::sortList() {
  // The roles are asked outside the lock; the list is then ordered by them as it stands.
  HeldMasters masters = heldMasters();
  std::vector<std::pair<ZtDevice*, int>> roles;
  roles.reserve(masters.size());
  for (const auto& m : masters) roles.emplace_back(m->device(), m->device()->syncRole());
  auto roleOf = [&roles](const std::shared_ptr<MasterHold>& m) {
    for (const auto& r : roles)
      if (r.first == m->device()) return r.second;
    return m->device()->syncRole();  // listed meanwhile
  };
  zelto::LockReadWrite lock(m_listLock, true);
  std::sort(m_devices.begin(), m_devices.end(),
            [&roleOf](const std::shared_ptr<MasterHold>& a, const std::shared_ptr<MasterHold>& b) {
              return roleOf(a) < roleOf(b);
            });
}

template <typename Pred>
void ZtControl::closeMatching(Pred pred, bool wait) {
  HeldMasters closing;
  {
    zelto::LockReadWrite lock(m_listLock, true);
    for (auto it = m_devices.begin(); it != m_devices.end();) {
      if (pred(*it)) {
        closing.push_back(std::move(*it));
        it = m_devices.erase(it);
      } else {
        ++it;
      }
    }
  }
  wait = wait && !WalkScope::active();
  for (auto& hold : closing) {
    ZtDevice* device = hold->device();
    // From inside the device's own work the ending waits for this call to return (close waits
    // for it); meanwhile the device stays chained, so handler removals still reach it.
    const bool deferred = device->endsAfterOwnWorkHere();
    if (deferred)
      hold->unchainWhenTerminated(this);
    else
      removeChainedManager(device);
    const std::shared_ptr<MasterHold::Ended> ended = hold->ended();
    hold.reset();
    if (wait && !deferred) ended->wait();
  }
}

void ZtControl::waitForDeferredEndings() {
  if (WalkScope::active() || DeviceTaskScope::any() || CallbackManagerZda::isInsideCallback()) return;
  DeferredEndings::waitForAll();
}

void ZtControl::removeCallbackHandler(ZtCallbackPlainC* handler, bool chain) {
  CallbackManagerZda::removeCallbackHandler(handler, chain);
  waitForDeferredEndings();
}

void ZtControl::clearCallbackHandlers(bool chain) {
  CallbackManagerZda::clearCallbackHandlers(chain);
  waitForDeferredEndings();
}

ZtDevice* ZtControl::findIn(const HeldMasters& masters, ZtDeviceId deviceId, ZtDevice** master) {
  for (const auto& hold : masters) {
    ZtDevice* m = hold->device();
    if (m->deviceId() == deviceId) {
      if (master) *master = m;
      return m;
    }
    if (ZtDevice* child = m->findDevice(deviceId)) {
      if (master) *master = m;
      return child;
    }
  }
  return nullptr;
}

// ---- Factory hooks ---------------------------------------------------------------------------------

void ZtControl::removeExistingDevice(const ZtDeviceId& deviceId) {
  std::weak_ptr<MasterHold> target;
  {
    const HeldMasters masters = heldMasters();
    ZtDevice* master = nullptr;
    ZtDevice* device = findIn(masters, deviceId, &master);
    if (!device) return;
    if (device != master) {
      master->removeChild(device, true);
      return;
    }
    for (const auto& h : masters)
      if (h->device() == master) target = h;
  }
  closeMatching([&target](const std::shared_ptr<MasterHold>& h) { return sameHold(h, target); }, false);
}

std::weak_ptr<ZtControl::MasterHold> ZtControl::findHold(ZtDeviceId deviceId) const {
  const HeldMasters masters = heldMasters();
  ZtDevice* master = nullptr;
  if (!findIn(masters, deviceId, &master)) return {};
  for (const auto& h : masters)
    if (h->device() == master) return h;
  return {};
}

bool ZtControl::sameHold(const std::shared_ptr<MasterHold>& hold, const std::weak_ptr<MasterHold>& target) {
  return !hold.owner_before(target) && !target.owner_before(hold);
}

bool ZtControl::initializeDevice(ZtDevice* device) const {
  if (!device) {
    setLastResult(ZRV_ERROR);
    return false;
  }
  std::shared_ptr<const zelto::SettingsFile> profiles;
  {
    std::lock_guard<std::mutex> lock(m_profilesLock);
    profiles = m_filterProfiles;
  }
  if (!device->initialize(*profiles)) {
    device->prepareForTermination();
    setLastResult(ZRV_INITIALIZATIONFAILED);
    return false;
  }
  setLastResult(ZRV_OK);
  return true;
}

ZtDevice* ZtControl::addMasterDevice(Communicator* communicator) {
  ZtDevice* device = createMasterDevice(communicator, true);
  if (!device) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
  setPersistentSettings(device);
  addChainedManager(device);
  list(device);
  return device;
}

void ZtControl::setPersistentSettings(ZtDevice* device) {
  if (!device) return;
  std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
  device->setQueueMode(m_queueMode.load());
  device->setOptionEnabled(ZO_SoftwareCalibration, m_options[0].load());
  device->setOptionEnabled(ZO_SoftwareFiltering, m_options[1].load());
  if (m_latLonAlt.size != 0) device->setLatLonAlt(m_latLonAlt);
}

bool ZtControl::isDeviceWireless(ZtDeviceId deviceId) {
  setLastResult(ZRV_OK);
  if (!ZtDeviceId_isKtw(deviceId)) return false;
  const HeldMasters masters = heldMasters();
  auto* ktw = dynamic_cast<KtwDevice*>(findIn(masters, deviceId, nullptr));
  if (!ktw) {
    setLastResult(ZRV_NOTAVAILABLE);
    return false;
  }
  ZtDevice* master = ktw->master();
  return master && master != ktw && dynamic_cast<TovanaStationDevice*>(master) != nullptr;
}

bool ZtControl::isDeviceDocked(ZtDeviceId deviceId) {
  setLastResult(ZRV_OK);
  if (!ZtDeviceId_isKtw(deviceId)) return false;
  const HeldMasters masters = heldMasters();
  ZtDevice* device = findIn(masters, deviceId, nullptr);
  if (!device) {
    setLastResult(ZRV_NOTAVAILABLE);
    return false;
  }
  if (!device->isMasterDevice()) {
    setLastResult(ZRV_INVALIDPARAM);
    return false;
  }
  return ZtDeviceId_isValid(dockDeviceId(deviceId, masters)) != 0;
}

// ---- Opening ---------------------------------------------------------------------------------------

bool ZtControl::openPort(const ZtString& portName, ZtBaudRate baudRate, uint32_t timeoutMs, bool detectRs485) {
  return openThrough(portName, timeoutMs, [&](Communicator& link) {
    return link.openPort(portName, baudRate, OPS_All, detectRs485);
  });
}

bool ZtControl::openThrough(const ZtString& portName, uint32_t timeoutMs,
                            const std::function<bool(Communicator&)>& open) {
  const std::string name = textOf(portName);
  {
    std::unique_lock<std::mutex> lock(m_openingMutex);
    m_openingDone.wait(lock, [&] { return std::find(m_opening.begin(), m_opening.end(), name) == m_opening.end(); });
    if (findZbusInterface(portName)) {
      setLastResult(ZRV_ALREADYOPEN);
      return true;
    }
    m_opening.push_back(name);
  }
  OpeningScope scope(m_openingMutex, m_openingDone, m_opening, name);

  auto* communicator = new Communicator();
  copyCallbackHandlersTo(communicator, false);
  if (timeoutMs != 0) communicator->setGotoConfigTimeout(timeoutMs);
  if (!open(*communicator)) {
    setLastResult(communicator->lastResult());
    delete communicator;
    return false;
  }
  if (!addMasterDevice(communicator)) return false;
  sortList();
  return true;
}

bool ZtControl::openPort(const ZtPortInfo& portInfo, uint32_t timeoutMs) {
  char name[sizeof portInfo.portName + 1];
  std::memcpy(name, portInfo.portName, sizeof portInfo.portName);
  name[sizeof portInfo.portName] = '\0';
  ZtString text = makeText(name);
  bool opened;
  try {
    opened = openPort(text, portInfo.baudRate, timeoutMs, (portInfo.deviceId & 0xF0000) == 0x30000);
  } catch (...) {
    ZtString_destruct(&text);
    throw;
  }
  ZtString_destruct(&text);
  return opened;
}

bool ZtControl::openImarPort_internal(const ZtString& portName, ZtBaudRate baudRate, int imarType, uint32_t timeoutMs) {
  return openThrough(portName, timeoutMs, [&](Communicator& link) {
    return link.openImarPort_internal(portName, baudRate, imarType, OPS_All);
  });
}

bool ZtControl::openLogFile(const ZtString& fileName) {
  auto* communicator = new Communicator();
  copyCallbackHandlersTo(communicator, false);
  if (!communicator->openLogFile(fileName)) {
    setLastResult(communicator->lastResult());
    delete communicator;
    return false;
  }
  if (!addMasterDevice(communicator)) return false;
  setLastResult(ZRV_OK);
  return true;
}

// ---- Closing ---------------------------------------------------------------------------------------

void ZtControl::closePort(const ZtString& portName) {
  const std::string name = textOf(portName);
  closeMatching([&name](const std::shared_ptr<MasterHold>& h) { return samePortName(h->device(), name); });
}

void ZtControl::closePort(ZtDeviceId deviceId) {
  // A child's port is its master's: that master goes, and no other device on the same name.
  std::weak_ptr<MasterHold> target = findHold(deviceId);
  if (target.expired()) return;
  closeMatching([&target](const std::shared_ptr<MasterHold>& h) { return sameHold(h, target); });
}

void ZtControl::closePort(const ZtPortInfo& portInfo) {
  char name[sizeof portInfo.portName + 1];
  std::memcpy(name, portInfo.portName, sizeof portInfo.portName);
  name[sizeof portInfo.portName] = '\0';
  ZtString text = makeText(name);
  try {
    closePort(text);
  } catch (...) {
    ZtString_destruct(&text);
    throw;
  }
  ZtString_destruct(&text);
}

void ZtControl::close() {
  if (!m_broadcastDevice->isReadingFromFile()) m_broadcastDevice->gotoConfig();
  closeMatching([](const std::shared_ptr<MasterHold>&) { return true; });
  waitForDeferredEndings();
  setLastResult(ZRV_OK);
  clearHardwareError();
}

// ---- Queries ---------------------------------------------------------------------------------------

ZtDevice* ZtControl::device(ZtDeviceId deviceId) {
  if (ZtDeviceId_isBroadcast(deviceId)) return m_broadcastDevice;
  return findDevice(deviceId);
}

ZtDevice* ZtControl::findDevice(ZtDeviceId deviceId) {
  const HeldMasters masters = heldMasters();
  if (masters.empty()) {
    setLastResult(ZRV_PORTCLOSED);
    return nullptr;
  }
  setLastResult(ZRV_OK);
  if (deviceId == 0) return masters.front()->device();
  if (ZtDevice* found = findIn(masters, deviceId, nullptr)) return found;
  setLastResult(ZRV_NOTAVAILABLE);
  return nullptr;
}

Communicator* ZtControl::findZbusInterface(const ZtString& portName) {
  const std::string name = textOf(portName);
  for (const auto& hold : heldMasters())
    if (samePortName(hold->device(), name)) return hold->device()->communicator();
  return nullptr;
}

Communicator* ZtControl::findZbusInterface(ZtDeviceId deviceId) {
  ZtDevice* found = findDevice(deviceId);
  return found ? found->communicator() : nullptr;
}

ZtDevicePtrArray ZtControl::mainDevices() const {
  const HeldMasters masters = heldMasters();
  std::vector<ZtDevice*> devices;
  devices.reserve(masters.size());
  for (const auto& hold : masters) devices.push_back(hold->device());
  ZtDevicePtrArray out;
  ZtDevicePtrArray_construct(&out, devices.size(), devices.data());
  return out;
}

size_t ZtControl::mainDeviceCount() const {
  zelto::LockReadWrite lock(m_listLock, false);
  return m_devices.size();
}

int ZtControl::deviceCount() {
  int count = 0;
  for (const auto& hold : heldMasters()) count += static_cast<int>(hold->device()->children().size()) + 1;
  setLastResult(ZRV_OK);
  return count;
}

int ZtControl::ktCount() {
  int count = 0;
  for (const auto& hold : heldMasters()) {
    ZtDevice* m = hold->device();
    count += m->isMotionTracker() ? 1 : static_cast<int>(m->children().size());
  }
  setLastResult(ZRV_OK);
  return count;
}

std::vector<ZtDeviceId> ZtControl::deviceIds() const {
  std::vector<ZtDeviceId> ids;
  for (const auto& hold : heldMasters()) {
    ids.push_back(hold->device()->deviceId());
    for (ZtDevice* child : hold->device()->children()) ids.push_back(child->deviceId());
  }
  return ids;
}

std::vector<ZtDeviceId> ZtControl::mainDeviceIds() {
  std::vector<ZtDeviceId> ids;
  for (const auto& hold : heldMasters()) ids.push_back(hold->device()->deviceId());
  setLastResult(ZRV_OK);
  return ids;
}

std::vector<ZtDeviceId> ZtControl::ktDeviceIds() {
  std::vector<ZtDeviceId> ids;
  for (const auto& hold : heldMasters()) {
    ZtDevice* m = hold->device();
    if (m->isMotionTracker()) {
      ids.push_back(m->deviceId());
    } else {
      for (ZtDevice* child : m->children()) ids.push_back(child->deviceId());
    }
  }
  setLastResult(ZRV_OK);
  return ids;
}

ZtDeviceId ZtControl::getDeviceIdFromLocationId(uint16_t locationId) {
  for (const auto& hold : heldMasters()) {
    ZtDevice* m = hold->device();
    if (m->isMotionTracker() && dynamic_cast<KtDevice*>(m) && m->locationId() == locationId) {
      setLastResult(ZRV_OK);
      return m->deviceId();
    }
  }
  setLastResult(ZRV_NOTFOUND);
  return 0;
}

ZtDeviceId ZtControl::dockDeviceId(ZtDeviceId deviceId) { return dockDeviceId(deviceId, heldMasters()); }

ZtDeviceId ZtControl::dockDeviceId(ZtDeviceId deviceId, const HeldMasters& masters) {
  setLastResult(ZRV_OK);
  if (!ZtDeviceId_isKtw(deviceId)) return 0;
  ZtDevice* device = findIn(masters, deviceId, nullptr);
  if (!device) {
    setLastResult(ZRV_NOTAVAILABLE);
    return 0;
  }
  for (const auto& hold : masters) {
    auto* station = dynamic_cast<TovanaStationDevice*>(hold->device());
    if (station && station->deviceIsDocked(device)) return station->deviceId();
  }
  return 0;
}

// ---- Settings for all devices ----------------------------------------------------------------------

void ZtControl::setQueueMode(ZtQueueMode mode) {
  std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
  m_queueMode.store(mode);
  m_broadcastDevice->setQueueMode(mode);
}

ZtQueueMode ZtControl::queueMode() const { return m_queueMode.load(); }

void ZtControl::setOptionEnabled(ZtOption option, bool enabled) {
  if (option != ZO_SoftwareCalibration && option != ZO_SoftwareFiltering) return;
  std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
  m_options[option].store(enabled);
  m_broadcastDevice->setOptionEnabled(option, enabled);
}

bool ZtControl::isOptionEnabled(ZtOption option) const {
  if (option != ZO_SoftwareCalibration && option != ZO_SoftwareFiltering) return false;
  return m_options[option].load();
}

bool ZtControl::setLatLonAlt(const ZtVector& latLonAlt) {
  if (latLonAlt.size < 3 || !latLonAlt.data) {
    setLastResult(ZRV_INVALIDPARAM);
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
  std::copy(latLonAlt.data, latLonAlt.data + 3, m_latLonAltStorage);
  m_latLonAlt.size = 3;
  m_broadcastDevice->setLatLonAlt(m_latLonAlt);
  return true;
}

bool ZtControl::gotoConfig() { return m_broadcastDevice->gotoConfig(); }

bool ZtControl::gotoMeasurement() { return m_broadcastDevice->gotoMeasurement(); }

void ZtControl::flushInputBuffers(bool alsoWorkingCache) {
  const WalkScope walking;
  for (const auto& hold : heldMasters()) hold->device()->flushInputBuffers(alsoWorkingCache);
}

ZtResultValue ZtControl::testSynchronization() {
  auto done = [this](ZtResultValue result) {
    setLastResult(result);
    return result;
  };
  if (m_broadcastDevice->isMeasuring() || m_broadcastDevice->isRecording()) return done(ZRV_UNSUPPORTED);
  if (m_broadcastDevice->isReadingFromFile()) return done(ZRV_NOPORTOPEN);
  const WalkScope walking;
  const HeldMasters masters = heldMasters();
  if (masters.empty()) return done(ZRV_NOPORTOPEN);
  if (masters.size() == 1) {
    for (const ZtSyncSetting& s : masters.front()->device()->syncSettings())
      if (ZtSyncSetting_isInput(&s) && (s.function == 7 || s.function == 8)) return done(ZRV_SYNCINPUTWITHOUTMASTER);
    return done(ZRV_OK);
  }
  bool masterSeen = false;
  for (const auto& hold : masters) {
    ZtDevice* d = hold->device();
    const bool isMaster = d->isSyncMaster();
    const bool isSlave = d->isSyncSlave();
    if (isMaster && masterSeen) return done(ZRV_MULTIPLESYNCMASTERS);
    if (isMaster && isSlave) return done(ZRV_ERROR);
    if (isMaster) masterSeen = true;
    if (!isMaster && !isSlave) return done(ZRV_NOTSYNCHRONIZED);
  }
  return done(ZRV_OK);
}

// ---- Filter profiles and library -------------------------------------------------------------------

bool ZtControl::loadBuiltinProfiles(zelto::SettingsFile& profiles) {
  const size_t size = static_cast<size_t>(_binary_scenarios_zsb_end - _binary_scenarios_zsb_start);
  if (profiles.deserialize(_binary_scenarios_zsb_start, size) == 0) {
    setLastResult(ZRV_COULDNOTOPENFILE);
    return false;
  }
  return true;
}

void ZtControl::publishProfiles(std::shared_ptr<const zelto::SettingsFile> profiles) {
  std::lock_guard<std::mutex> lock(m_profilesLock);
  m_filterProfiles.swap(profiles);
  // The replaced snapshot goes with the last initialisation still using it.
}

bool ZtControl::initFilterProfileList() {
  auto profiles = std::make_shared<zelto::SettingsFile>();
  const bool loaded = loadBuiltinProfiles(*profiles);
  publishProfiles(std::move(profiles));
  return loaded;
}

bool ZtControl::loadFilterProfiles(const ZtString& fileName) {
  // Built aside and then published whole, as the previous ones were cleared and read: a file
  // that fails to read leaves what it read (nothing for the built-in ones).
  auto profiles = std::make_shared<zelto::SettingsFile>();
  const std::string name = textOf(fileName);
  if (name.empty()) {
    const bool loaded = loadBuiltinProfiles(*profiles);
    publishProfiles(std::move(profiles));
    if (!loaded) return false;
    setLastResult(ZRV_OK);
    return true;
  }
  const ZtResultValue result = profiles->import(name, nullptr);
  publishProfiles(std::move(profiles));
  setLastResult(result);
  return result == ZRV_OK;
}

std::vector<ZtFilterProfile> ZtControl::getSpecificFilterProfiles(char) const { return {}; }

ZtVersion ZtControl::version() const {
  ZtVersion v = {};
  v.major = 4;
  v.minor = 1;
  return v;
}

ZtString ZtControl::libraryPath() const { return makeText(""); }

void ZtControl::setLogPath(const ZtString& path) { zdaSetLogPath(&path); }

// ---- Results ---------------------------------------------------------------------------------------

ZtString ZtControl::lastResultText() const { return resultText(lastResult()); }

ZtString ZtControl::resultText(ZtResultValue result) const { return makeText(ZtResultValue_toString(result)); }

void ZtControl::clearHardwareError() {
  m_lastHardwareError.store(0);
  m_lastHardwareErrorDeviceId.store(0);
}

// ---- Called by other parts -------------------------------------------------------------------------

void ZtControl::updateRecordingState() {
  const WalkScope walking;
  for (const auto& hold : heldMasters()) (void)hold->device()->isRecording();
}

void ZtControl::attachDataBundler(ZtDataBundler* bundler) {
  std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
  if (std::find(m_dataBundlers.begin(), m_dataBundlers.end(), bundler) == m_dataBundlers.end())
    m_dataBundlers.push_back(bundler);
}

void ZtControl::detachDataBundler(ZtDataBundler* bundler) {
  std::lock_guard<std::recursive_mutex> lock(m_settingsMutex);
  auto it = std::find(m_dataBundlers.begin(), m_dataBundlers.end(), bundler);
  if (it != m_dataBundlers.end()) m_dataBundlers.erase(it);
}
