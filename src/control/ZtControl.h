#pragma once
// The application's entry object: opens ports and log files (one master device each), finds and
// closes devices, applies a few settings to every device, and holds the built-in filter profiles
// that every device receives when it is initialised. It is the device factory (first base) and
// the root of the callback fan-out (second base): handlers registered on the control are copied
// into every new link, and every master device is chained below the control.
//
// Threads. Application threads call everything; pool threads call removeExistingDevice and
// initializeDevice (a station making a child). The master list changes only under the write side
// of m_listLock and is read under its read side; the lock is held only to copy or change the
// list, never while a device is called, a port opened or a callback raised. Walks run over a
// snapshot that holds each master (MasterHold): a master closed while a walk holds it leaves the
// list at once and is terminated when the last holder lets go of it; an application thread's
// close returns once that has happened (removeExistingDevice, made on pool threads, does not
// wait: a walk's device call may be waiting for that very pool task).
//
// Lock order: m_openingMutex, then m_settingsMutex, then m_listLock; m_profilesLock is a leaf,
// held only to take or replace the profiles' snapshot: a device initialises with the snapshot
// it took and no lock of the control held, so a device lock held around initializeDevice (a
// station's child lock while it sets up its children) orders before none of the control's.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/CallbackManagerZda.h"
#include "device/DeviceFactory.h"
#include "device/ZtOption.h"
#include "device/ZtQueueMode.h"
#include "foundation/MutexReadWrite.h"
#include "foundation/SettingsFile.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmath.h"
#include "zttypes/ztmisc.h"
#include "zttypes/ztresult.h"

class BroadcastDevice;
class Communicator;
class ZtDataBundler;
class ZtDevice;

class ZtControl : public DeviceFactory, public CallbackManagerZda {
 public:
  // A listed master device held for a walk. The list holds one; a snapshot holds one per device.
  // The holder that lets go last after the device left the list terminates it
  // (prepareForTermination, then the list's reference is dropped) and signals the end; from
  // inside work of the device on that thread (its handlers), once that work has returned.
  class MasterHold {
   public:
    struct Ended {
      std::mutex mutex;
      std::condition_variable changed;
      bool ended = false;  // guarded by mutex
      void wait();
      void signal();
    };
    explicit MasterHold(ZtDevice* device) : m_device(device), m_ended(std::make_shared<Ended>()) {}
    ~MasterHold();
    MasterHold(const MasterHold&) = delete;
    MasterHold& operator=(const MasterHold&) = delete;
    ZtDevice* device() const { return m_device; }
    std::shared_ptr<Ended> ended() const { return m_ended; }
    // For a close from inside the device's own work: the device stays chained under manager
    // (the control) until its deferred ending has terminated it, so that handler removals made
    // on the control meanwhile still reach it (and wait for its handlers in flight).
    void unchainWhenTerminated(CallbackManagerZda* manager) { m_unchainFrom = manager; }

   private:
    ZtDevice* m_device;
    std::shared_ptr<Ended> m_ended;
    CallbackManagerZda* m_unchainFrom = nullptr;
  };
  // Marks the calling thread as walking the masters (calling them) for its scope: a close made
  // by this thread meanwhile (from a callback, say) does not wait for the walk's holds to go.
  class WalkScope {
   public:
    WalkScope();
    ~WalkScope();
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;
    static bool active();
  };
  using HeldMasters = std::vector<std::shared_ptr<MasterHold>>;

  // Loads the built-in filter profiles (lastResult 271 when they cannot be read). Throws what
  // building its parts throws.
  ZtControl();
  // Closes everything; never throws.
  ~ZtControl() override;
  ZtControl(const ZtControl&) = delete;
  ZtControl& operator=(const ZtControl&) = delete;

  // ---- Factory hooks ---------------------------------------------------------------------------
  // A listed master: closed as by closePort (exactly that device). A child: its master removes
  // it. Any thread (a station makes its children on pool threads).
  void removeExistingDevice(const ZtDeviceId& deviceId) override;
  // The device's initialize with the filter profiles: lastResult 0 and true; 293 (the device
  // prepared for termination) when it refuses; 256 for null.
  bool initializeDevice(ZtDevice* device) const override;
  using DeviceFactory::initializeDevice;
  virtual bool isDeviceWireless(ZtDeviceId deviceId);
  virtual bool isDeviceDocked(ZtDeviceId deviceId);
  // Makes, initialises and sets up the link's master device and lists it; null when none could
  // be made (the factory undid it; lastResult 256 or 293).
  virtual ZtDevice* addMasterDevice(Communicator* communicator);

  // ---- Opening ---------------------------------------------------------------------------------
  // timeoutMs: the GotoConfig time-out for the device (0 keeps the link's own). A name that a
  // listed master already uses: true with lastResult 269, nothing else happens. Opens of one
  // name from several threads at once make one device.
  bool openPort(const ZtString& portName, ZtBaudRate baudRate, uint32_t timeoutMs = 0, bool detectRs485 = false);
  bool openPort(const ZtPortInfo& portInfo, uint32_t timeoutMs = 0);
  // An outside inertial unit's port (imarType 0: FSAS, 1: iFOG), opened as openPort opens one
  // but through Communicator::openImarPort_internal: nothing is sent to the unit.
  bool openImarPort_internal(const ZtString& portName, ZtBaudRate baudRate, int imarType, uint32_t timeoutMs = 0);
  // Every call makes a new master device, also for a file already open.
  bool openLogFile(const ZtString& fileName);

  // ---- Closing ---------------------------------------------------------------------------------
  // Every listed master with that port name.
  void closePort(const ZtString& portName);
  // Exactly the master of the identified device (the device itself, or a child's master),
  // never another device of the same port name. Nothing when not found.
  void closePort(ZtDeviceId deviceId);
  void closePort(const ZtPortInfo& portInfo);
  // Every device to configuration (unless all read files), then every master closed, and the
  // endings deferred from the devices' handlers awaited (not from inside such a handler); clears
  // lastResult and the hardware error.
  void close();

  // ---- Device list queries ---------------------------------------------------------------------
  // The pointers stay valid until the device is closed (by any thread): the caller must not close
  // a device it is using elsewhere.
  ZtDevice* device(ZtDeviceId deviceId);
  // Id 0: the first master. Empty list: null with lastResult 289; not found: null with 264.
  ZtDevice* findDevice(ZtDeviceId deviceId);
  Communicator* findZbusInterface(const ZtString& portName);
  Communicator* findZbusInterface(ZtDeviceId deviceId);
  // The masters in list order (caller destructs).
  ZtDevicePtrArray mainDevices() const;
  size_t mainDeviceCount() const;
  int deviceCount();
  int ktCount();
  std::vector<ZtDeviceId> deviceIds() const;
  std::vector<ZtDeviceId> mainDeviceIds();
  std::vector<ZtDeviceId> ktDeviceIds();
  ZtDeviceId getDeviceIdFromLocationId(uint16_t locationId);
  ZtDeviceId dockDeviceId(ZtDeviceId deviceId);

  // ---- Settings for all devices ----------------------------------------------------------------
  // Stored and pushed into every listed master; every master listed later receives them too.
  void setQueueMode(ZtQueueMode mode);
  ZtQueueMode queueMode() const;
  // Options 0 and 1 only; others are ignored.
  void setOptionEnabled(ZtOption option, bool enabled);
  bool isOptionEnabled(ZtOption option) const;
  // Latitude, longitude, altitude: the first three elements. Fewer than three: false with
  // lastResult 33, nothing stored.
  bool setLatLonAlt(const ZtVector& latLonAlt);
  bool gotoConfig();
  bool gotoMeasurement();
  void flushInputBuffers(bool alsoWorkingCache);
  ZtResultValue testSynchronization();
  void setPersistentSettings(ZtDevice* device);

  // ---- Filter profiles and library -------------------------------------------------------------
  bool initFilterProfileList();
  // "" reloads the built-in profiles; a ".zsa" name is read as text, any other as zsb.
  bool loadFilterProfiles(const ZtString& fileName);
  std::vector<ZtFilterProfile> getSpecificFilterProfiles(char filterType) const;
  ZtVersion version() const;
  ZtString libraryPath() const;  // caller destructs
  void setLogPath(const ZtString& path);

  // ---- Results ---------------------------------------------------------------------------------
  ZtResultValue lastResult() const { return m_lastResult.load(std::memory_order_relaxed); }
  void setLastResult(ZtResultValue result) const { m_lastResult.store(result, std::memory_order_relaxed); }
  ZtString lastResultText() const;           // caller destructs
  ZtString resultText(ZtResultValue result) const;  // caller destructs
  int32_t lastHardwareError() const { return m_lastHardwareError.load(std::memory_order_relaxed); }
  ZtDeviceId lastHardwareErrorDeviceId() const { return m_lastHardwareErrorDeviceId.load(std::memory_order_relaxed); }
  void clearHardwareError();

  // ---- Called by other parts -------------------------------------------------------------------
  // After the broadcast device started or stopped recording; no lasting effect.
  void updateRecordingState();
  void attachDataBundler(ZtDataBundler* bundler);
  // As the callback manager's; from outside any handler they also wait for the device endings
  // deferred from handlers (see close), so a handler that closed its port from the reader of
  // that port has returned before the caller frees it.
  void removeCallbackHandler(ZtCallbackPlainC* handler, bool chain);
  void clearCallbackHandlers(bool chain);

  void detachDataBundler(ZtDataBundler* bundler);
  BroadcastDevice* broadcastDevice() const { return m_broadcastDevice; }
  // The masters in list order, each held until the snapshot goes.
  HeldMasters heldMasters() const;

  // The list order: a before b when a's sync role is lower (signed). Not stable.
  static bool leftIsSlaverThanRight(const ZtDevice* a, const ZtDevice* b);

 private:
  // Takes the masters whose hold matches pred out of the list (write side), unchains them and
  // lets go of the list's hold (each is terminated now, or by the last walk holding it). The
  // caller must hold no snapshot of the list when it waits.
  // Waits for the closed devices' termination unless the calling thread walks the masters
  // (it may hold them itself) or wait is false (pool threads: a walk may wait for their tasks).
  // A device closed from inside its own work (a handler of its task or its link's parsing)
  // ends once that work has returned: never waited for here, but by close.
  template <typename Pred>
  void closeMatching(Pred pred, bool wait = true);
  // Waits for the device endings deferred to the end of the devices' own work (closes and last
  // references from their handlers, see DeviceTaskScope) and for readers deleting their links
  // after a close from their own handler, unless this thread is inside such work, a handler or
  // a walk (it could be what they wait for).
  void waitForDeferredEndings();
  // The list's hold of the master of the device with that id (expired when none).
  std::weak_ptr<MasterHold> findHold(ZtDeviceId deviceId) const;
  static bool sameHold(const std::shared_ptr<MasterHold>& hold, const std::weak_ptr<MasterHold>& target);
  // The device with that id among the held masters and their children, with its master.
  static ZtDevice* findIn(const HeldMasters& masters, ZtDeviceId deviceId, ZtDevice** master);
  // Appends (write side) and returns the list's hold.
  void list(ZtDevice* device);
  void sortList();
  // The body of the port opens: one open of a name at a time (269 and true when a master has it
  // already), a new link with the control's handlers, open(link), the master device made and
  // the list sorted.
  bool openThrough(const ZtString& portName, uint32_t timeoutMs, const std::function<bool(Communicator&)>& open);
  // The built-in profiles into profiles (empty and ZRV_COULDNOTOPENFILE when they do not read).
  bool loadBuiltinProfiles(zelto::SettingsFile& profiles);
  void publishProfiles(std::shared_ptr<const zelto::SettingsFile> profiles);
  ZtDeviceId dockDeviceId(ZtDeviceId deviceId, const HeldMasters& masters);

  // Replaced whole, never changed in place: an initialisation keeps the snapshot it took.
  std::shared_ptr<const zelto::SettingsFile> m_filterProfiles;  // guarded by m_profilesLock
  HeldMasters m_devices;                  // guarded by m_listLock
  mutable std::atomic<ZtResultValue> m_lastResult{ZRV_OK};
  std::atomic<int32_t> m_lastHardwareError{0};
  std::atomic<ZtDeviceId> m_lastHardwareErrorDeviceId{0};
  mutable zelto::MutexReadWrite m_listLock;
  std::atomic<ZtQueueMode> m_queueMode{ZQM_CallbacksOnly};
  std::vector<ZtDataBundler*> m_dataBundlers;  // guarded by m_settingsMutex
  BroadcastDevice* m_broadcastDevice = nullptr;
  std::atomic<bool> m_options[2] = {true, true};
  // Fixed storage of the three values; empty (size 0) until set. Guarded by m_settingsMutex.
  double m_latLonAltStorage[3] = {0, 0, 0};
  ZtVector m_latLonAlt{m_latLonAltStorage, 0, ZTMATH_INTERNAL};

  // Held while a setting is stored and pushed, and while a new master takes the settings and is
  // listed, so that every master ends with the latest value of each setting.
  std::recursive_mutex m_settingsMutex;
  mutable std::mutex m_profilesLock;
  // Port names being opened (guarded by m_openingMutex): a second open of a name waits for the
  // first to end and then finds its device.
  std::mutex m_openingMutex;
  std::condition_variable m_openingDone;
  std::vector<std::string> m_opening;
};
