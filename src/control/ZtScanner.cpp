#include "control/ZtScanner.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "transport/io/UsbEnumeration.h"
#include "transport/io/ZtUdev.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/ztscanner.h"
#include "zttypes/zttime.h"

namespace ZtScannerNamespace {

std::atomic<bool> abortPortScan{false};
const char* deviceDirectory = "/dev/";

namespace {

constexpr uint8_t kResetMessageId = 0x40;
constexpr uint8_t kMasterBusId = 0xFF;
constexpr size_t kPortNameCapacity = sizeof(ZtPortInfo::portName);

struct LocalString {
  ZtString s;
  explicit LocalString(const char* text) { ZtString_construct(&s, text); }
  ~LocalString() { ZtString_destruct(&s); }
  LocalString(const LocalString&) = delete;
  LocalString& operator=(const LocalString&) = delete;
};

struct LocalMessage {
  ZtMessage m;
  LocalMessage() { ZtMessage_constructSized(&m, 0); }
  ~LocalMessage() { ZtMessage_destruct(&m); }
  LocalMessage(const LocalMessage&) = delete;
  LocalMessage& operator=(const LocalMessage&) = delete;
};

struct LocalPortArray {
  ZtPortInfoArray a;
  LocalPortArray() { ZtArray_construct(ZTARRAY(&a), &g_ztPortInfoArrayDescriptor, 0, nullptr); }
  ~LocalPortArray() { ZtArray_destruct(ZTARRAY(&a)); }
  LocalPortArray(const LocalPortArray&) = delete;
  LocalPortArray& operator=(const LocalPortArray&) = delete;
};

// One udev context with the enumeration made from it; both released on every path.
class UdevScan {
 public:
  explicit UdevScan(ZtUdev& udev) : m_udev(udev) {
    if (udev.hasAllFunctions()) m_context = udev.unew();
    if (m_context) m_enumerate = udev.enumerate_new(m_context);
  }
  ~UdevScan() {
    if (m_enumerate) m_udev.enumerate_unref(m_enumerate);
    if (m_context) m_udev.unref(m_context);
  }
  UdevScan(const UdevScan&) = delete;
  UdevScan& operator=(const UdevScan&) = delete;

  bool hasContext() const { return m_context != nullptr; }
  struct udev* context() const { return m_context; }
  struct udev_enumerate* enumeration() const { return m_enumerate; }

 private:
  ZtUdev& m_udev;
  struct udev* m_context = nullptr;
  struct udev_enumerate* m_enumerate = nullptr;
};

// A device made from a sys path, released when it goes out of scope. Parents and ancestors it
// hands out belong to it and are never released on their own.
class UdevDevice {
 public:
  UdevDevice(ZtUdev& udev, struct udev* context, const char* syspath)
      : m_udev(udev), m_device(syspath ? udev.device_new_from_syspath(context, syspath) : nullptr) {}
  ~UdevDevice() {
    if (m_device) m_udev.device_unref(m_device);
  }
  UdevDevice(const UdevDevice&) = delete;
  UdevDevice& operator=(const UdevDevice&) = delete;

  struct udev_device* get() const { return m_device; }
  struct udev_device* usbDevice() const {
    return m_udev.device_get_parent_with_subsystem_devtype(m_device, "usb", "usb_device");
  }

 private:
  ZtUdev& m_udev;
  struct udev_device* m_device;
};

void appendPort(ZtPortInfoArray& ports, const char* name) {
  ZtPortInfo info;
  std::memset(&info, 0, sizeof info);
  std::memcpy(info.portName, name, std::strlen(name) + 1);
  ZtArray_append(ZTARRAY(&ports), 1, &info);
}

bool fitsPortName(const char* name) { return std::strlen(name) < kPortNameCapacity; }

bool isZeltoDevice(ZtUdev& udev, const UdevDevice& device) {
  struct udev_device* usb = device.usbDevice();
  if (!usb) return false;
  const char* manufacturer = udev.device_get_sysattr_value(usb, "manufacturer");
  return manufacturer && strcasecmp(manufacturer, "zelto") == 0;
}

bool enumerateWithUdev(ZtUdev& udev, UdevScan& scan, ZtPortInfoArray& ports, bool ignoreNonZeltoDevices) {
  if (!scan.enumeration()) return false;
  // Without the match the scan would list every device with a node (disks included).
  if (udev.enumerate_add_match_subsystem(scan.enumeration(), "tty") < 0) return false;
  udev.enumerate_scan_devices(scan.enumeration());
  for (struct udev_list_entry* entry = udev.enumerate_get_list_entry(scan.enumeration()); entry;
       entry = udev.list_entry_get_next(entry)) {
    UdevDevice device(udev, scan.context(), udev.list_entry_get_name(entry));
    if (!device.get()) continue;
    if (!udev.device_get_parent(device.get())) continue;  // virtual terminals have no parent
    if (ignoreNonZeltoDevices && !isZeltoDevice(udev, device)) continue;
    const char* node = udev.device_get_devnode(device.get());
    if (node && fitsPortName(node)) appendPort(ports, node);
  }
  return true;
}

bool enumerateDirectory(ZtPortInfoArray& ports) {
  const char* directory = deviceDirectory;
  DIR* dir = opendir(directory);
  if (!dir) return false;
  char name[kPortNameCapacity];
  while (const struct dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "ttyS", 4) != 0 && std::strncmp(entry->d_name, "ttyUSB", 6) != 0) continue;
    // Directory entries reach 255 characters: a path that does not fit the name is skipped.
    const int length = std::snprintf(name, sizeof name, "%s%s", directory, entry->d_name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof name) continue;
    appendPort(ports, name);
  }
  closedir(dir);
  return true;
}

// The port name of a caller's record, which need not be NUL-terminated.
void copyPortName(const ZtPortInfo& info, char (&name)[kPortNameCapacity]) {
  const size_t length = strnlen(info.portName, kPortNameCapacity - 1);
  std::memcpy(name, info.portName, length);
  name[length] = '\0';
}

}  // namespace

ZtResultValue fetchBasicInfo(ZtPortInfo& info, uint32_t timeoutMs, bool detectRs485) {
  try {
    Communicator link;
    link.setGotoConfigTimeout(timeoutMs);
    char portName[kPortNameCapacity];
    copyPortName(info, portName);
    LocalString name(portName);
    if (!link.openPort(name.s, info.baudRate, OPS_OpenPort, false)) return link.lastResult();
    if (link.openPort(name.s, info.baudRate, OPS_StartThread | OPS_InitDevice, detectRs485)) {
      info.deviceId = link.masterDeviceId();
      return ZRV_OK;
    }
    const ZtResultValue result = link.lastResult();
    if (result > 255) return result;

    // A device-side error: reset the device and try once more after it restarted. A failed
    // initialisation has closed the port, so the reset goes out on a port opened for it.
    if (!link.isPortOpen() && !link.openPort(name.s, info.baudRate, OPS_OpenPort, false)) return link.lastResult();
    LocalMessage reset;
    ZtMessage_setMessageId(&reset.m, kResetMessageId);
    ZtMessage_setBusId(&reset.m, kMasterBusId);
    if (!link.writeMessage(reset.m)) return link.lastResult();
    // Closing a serial port discards what it has not sent yet: the port stays open while the
    // device restarts, so the reset is on the wire before the close.
    ZtTime_msleep(kResetPauseMs);
    link.closePort();
    if (!link.openPort(name.s, info.baudRate, OPS_All, detectRs485)) return link.lastResult();
    info.deviceId = link.masterDeviceId();
    return ZRV_OK;
  } catch (const std::exception&) {
    return ZRV_ERROR;  // a reader thread that cannot start: the port is not usable now
  }
}

bool ztScanPort(ZtPortInfo& info, ZtBaudRate baudRate, uint32_t timeoutMs, bool detectRs485) {
  if (baudRate != 0) {
    if (abortPortScan.load()) return false;
    info.baudRate = baudRate;
    return fetchBasicInfo(info, timeoutMs, detectRs485) == ZRV_OK;
  }
  unsigned tried = 0;
  for (const ZtBaudRate rate : kBaudRateSeries) {
    if (tried++ == kSeriesPauseAfter) ZtTime_msleep(kSeriesPauseMs);
    if (abortPortScan.load()) return false;
    info.baudRate = rate;
    const ZtResultValue result = fetchBasicInfo(info, timeoutMs, detectRs485);
    if (result == ZRV_OK) return true;
    // Only a silent or garbled line says the rate may be wrong; anything else is the port's.
    if (result != ZRV_TIMEOUT && result != ZRV_NODATA && result != ZRV_INITIALIZATIONFAILED) return false;
  }
  return false;
}

bool ztEnumerateSerialPorts(ZtPortInfoArray& ports, bool ignoreNonZeltoDevices) {
  {
    ZtUdev udev;
    UdevScan scan(udev);
    if (scan.hasContext()) return enumerateWithUdev(udev, scan, ports, ignoreNonZeltoDevices);
  }
  return enumerateDirectory(ports);
}

ZtUsbHubInfo ztScanUsbHub(const ZtPortInfo& port) {
  ZtUsbHubInfo hub;
  ZtUsbHubInfo_construct(&hub, nullptr);
  ZtUdev udev;
  UdevScan scan(udev);
  if (!scan.hasContext()) {
    std::fputs("Unable to create udev object\n", stderr);
    return hub;
  }
  if (!scan.enumeration()) return hub;
  char portName[kPortNameCapacity];
  copyPortName(port, portName);
  udev.enumerate_scan_devices(scan.enumeration());
  for (struct udev_list_entry* entry = udev.enumerate_get_list_entry(scan.enumeration()); entry;
       entry = udev.list_entry_get_next(entry)) {
    UdevDevice device(udev, scan.context(), udev.list_entry_get_name(entry));
    if (!device.get()) break;
    // Most devices have no node.
    const char* node = udev.device_get_devnode(device.get());
    if (!node || std::strcmp(node, portName) != 0) continue;
    if (struct udev_device* usb = device.usbDevice())
      if (const char* devpath = udev.device_get_sysattr_value(usb, "devpath")) ZtUsbHubInfo_assign(&hub, devpath);
    break;
  }
  return hub;
}

bool ztFilterResponsiveDevices(ZtPortInfoArray& ports, ZtBaudRate baudRate, uint32_t timeoutMs, bool detectRs485) {
  bool aborted = false;
  size_t index = 0;
  while (index < ports.size) {
    if (abortPortScan.load()) {
      aborted = true;
      break;
    }
    if (!ztScanPort(ports.data[index], baudRate, timeoutMs, detectRs485)) {
      ZtArray_erase(ZTARRAY(&ports), static_cast<ptrdiff_t>(index), 1);
      continue;
    }
    ++index;
    if (abortPortScan.load()) {
      aborted = true;
      break;
    }
  }
  if (!aborted)
    std::stable_sort(ports.data, ports.data + ports.size, [](const ZtPortInfo& a, const ZtPortInfo& b) {
      return std::strcmp(a.portName, b.portName) < 0;
    });
  abortPortScan.store(false);
  return !aborted;
}

bool ztScanPorts(ZtPortInfoArray& ports, ZtBaudRate baudRate, uint32_t timeoutMs, bool ignoreNonZeltoDevices,
                 bool detectRs485) {
  ZtArray_erase(ZTARRAY(&ports), 0, -1);
  const bool serial = ztEnumerateSerialPorts(ports, ignoreNonZeltoDevices);
  const bool usb = ztEnumerateUsbDevices(ports);
  if (!serial || !usb) return false;
  return ztFilterResponsiveDevices(ports, baudRate, timeoutMs, detectRs485);
}

}  // namespace ZtScannerNamespace

namespace {

namespace zs = ZtScannerNamespace;

// The exported functions let no exception out: a failure inside leaves the documented empty
// result (an empty list, no path, 0).
template <typename F>
void guarded(F&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

void copyOut(ZtPortInfoArray* target, const ZtPortInfoArray& source) {
  if (source.size == 0)
    ZtArray_erase(ZTARRAY(target), 0, -1);
  else
    ZtArray_copy(ZTARRAY(target), ZTCARRAY(&source));
}

}  // namespace

extern "C" {

void ZtScanner_scanPorts(ZtPortInfoArray* ports, ZtBaudRate baudRate, uint32_t timeoutMs, int ignoreNonZeltoDevices,
                         int detectRs485) {
  if (!ports) return;
  guarded([&] {
    zs::LocalPortArray local;
    zs::ztScanPorts(local.a, baudRate, timeoutMs, ignoreNonZeltoDevices != 0, detectRs485 != 0);
    copyOut(ports, local.a);
  });
}

void ZtScanner_filterResponsiveDevices(ZtPortInfoArray* ports, ZtBaudRate baudRate, uint32_t timeoutMs,
                                       int detectRs485) {
  if (!ports) return;
  guarded([&] {
    zs::LocalPortArray local;
    ZtArray_copy(ZTARRAY(&local.a), ZTCARRAY(ports));
    if (zs::ztFilterResponsiveDevices(local.a, baudRate, timeoutMs, detectRs485 != 0) && local.a.size > 0)
      ZtArray_copy(ZTARRAY(ports), ZTCARRAY(&local.a));
    else
      ZtArray_erase(ZTARRAY(ports), 0, -1);
  });
}

int ZtScanner_scanPort(ZtPortInfo* port, ZtBaudRate baudRate, uint32_t timeoutMs, int detectRs485) {
  if (!port) return 0;
  int found = 0;
  guarded([&] { found = zs::ztScanPort(*port, baudRate, timeoutMs, detectRs485 != 0) ? 1 : 0; });
  return found;
}

void ZtScanner_enumerateSerialPorts(ZtPortInfoArray* ports, int ignoreNonZeltoDevices) {
  if (!ports) return;
  guarded([&] {
    zs::LocalPortArray local;
    zs::ztEnumerateSerialPorts(local.a, ignoreNonZeltoDevices != 0);
    copyOut(ports, local.a);
  });
}

void ZtScanner_enumerateUsbDevices(ZtPortInfoArray* ports) {
  if (!ports) return;
  guarded([&] {
    zs::LocalPortArray local;
    ztEnumerateUsbDevices(local.a);
    copyOut(ports, local.a);
  });
}

void ZtScanner_scanUsbHub(ZtUsbHubInfo* hub, const ZtPortInfo* port) {
  if (!hub || !port) return;
  ZtUsbHubInfo_assign(hub, nullptr);
  guarded([&] {
    ZtUsbHubInfo found = zs::ztScanUsbHub(*port);
    ZtUsbHubInfo_assign(hub, found.path);
    ZtUsbHubInfo_destruct(&found);
  });
}

void ZtScanner_abortScan(void) { zs::abortPortScan.store(true); }

}  // extern "C"
