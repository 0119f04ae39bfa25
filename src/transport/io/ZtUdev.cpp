#include "transport/io/ZtUdev.h"

const char* ZtUdev::s_overridePath = nullptr;

namespace {

template <typename F>
void resolve(const ZtLibraryLoader& loader, const char* name, F& target) {
  target = reinterpret_cast<F>(ZtLibraryLoader_resolve(&loader, name));
}

}  // namespace

ZtUdev::ZtUdev() {
  // The development name first, then the run-time soname that every installation has.
  if (s_overridePath) {
    ZtLibraryLoader_load(&m_loader, s_overridePath);
  } else {
    static const char* const kNames[] = {"libudev.so", "libudev.so.1"};
    for (const char* name : kNames)
      if (ZtLibraryLoader_load(&m_loader, name)) break;
  }
  if (!isLoaded()) return;
  resolve(m_loader, "udev_new", m_new);
  resolve(m_loader, "udev_unref", m_unref);
  resolve(m_loader, "udev_device_unref", m_deviceUnref);
  resolve(m_loader, "udev_enumerate_new", m_enumerateNew);
  resolve(m_loader, "udev_enumerate_add_match_subsystem", m_enumerateAddMatchSubsystem);
  resolve(m_loader, "udev_enumerate_scan_devices", m_enumerateScanDevices);
  resolve(m_loader, "udev_enumerate_get_list_entry", m_enumerateGetListEntry);
  resolve(m_loader, "udev_enumerate_unref", m_enumerateUnref);
  resolve(m_loader, "udev_list_entry_get_next", m_listEntryGetNext);
  resolve(m_loader, "udev_list_entry_get_name", m_listEntryGetName);
  resolve(m_loader, "udev_device_new_from_syspath", m_deviceNewFromSyspath);
  resolve(m_loader, "udev_device_get_parent", m_deviceGetParent);
  resolve(m_loader, "udev_device_get_devnode", m_deviceGetDevnode);
  resolve(m_loader, "udev_device_get_parent_with_subsystem_devtype",
          m_deviceGetParentWithSubsystemDevtype);
  resolve(m_loader, "udev_device_get_sysattr_value", m_deviceGetSysattrValue);
}

bool ZtUdev::hasAllFunctions() const {
  return m_new && m_unref && m_deviceUnref && m_enumerateNew && m_enumerateAddMatchSubsystem &&
         m_enumerateScanDevices && m_enumerateGetListEntry && m_enumerateUnref && m_listEntryGetNext &&
         m_listEntryGetName && m_deviceNewFromSyspath && m_deviceGetParent && m_deviceGetDevnode &&
         m_deviceGetParentWithSubsystemDevtype && m_deviceGetSysattrValue;
}

ZtUdev::~ZtUdev() {
  if (isLoaded()) ZtLibraryLoader_unload(&m_loader);
}

struct udev* ZtUdev::unew() { return m_new ? m_new() : nullptr; }
struct udev* ZtUdev::unref(struct udev* u) { return m_unref ? m_unref(u) : nullptr; }
struct udev_device* ZtUdev::device_unref(struct udev_device* device) {
  return m_deviceUnref ? m_deviceUnref(device) : nullptr;
}
struct udev_enumerate* ZtUdev::enumerate_new(struct udev* u) {
  return m_enumerateNew ? m_enumerateNew(u) : nullptr;
}
int ZtUdev::enumerate_add_match_subsystem(struct udev_enumerate* e, const char* subsystem) {
  return m_enumerateAddMatchSubsystem ? m_enumerateAddMatchSubsystem(e, subsystem) : -1;
}
int ZtUdev::enumerate_scan_devices(struct udev_enumerate* e) {
  return m_enumerateScanDevices ? m_enumerateScanDevices(e) : -1;
}
struct udev_list_entry* ZtUdev::enumerate_get_list_entry(struct udev_enumerate* e) {
  return m_enumerateGetListEntry ? m_enumerateGetListEntry(e) : nullptr;
}
struct udev_enumerate* ZtUdev::enumerate_unref(struct udev_enumerate* e) {
  return m_enumerateUnref ? m_enumerateUnref(e) : nullptr;
}
struct udev_list_entry* ZtUdev::list_entry_get_next(struct udev_list_entry* entry) {
  return m_listEntryGetNext ? m_listEntryGetNext(entry) : nullptr;
}
const char* ZtUdev::list_entry_get_name(struct udev_list_entry* entry) {
  return m_listEntryGetName ? m_listEntryGetName(entry) : nullptr;
}
struct udev_device* ZtUdev::device_new_from_syspath(struct udev* u, const char* syspath) {
  return m_deviceNewFromSyspath ? m_deviceNewFromSyspath(u, syspath) : nullptr;
}
struct udev_device* ZtUdev::device_get_parent(struct udev_device* device) {
  return m_deviceGetParent ? m_deviceGetParent(device) : nullptr;
}
const char* ZtUdev::device_get_devnode(struct udev_device* device) {
  return m_deviceGetDevnode ? m_deviceGetDevnode(device) : nullptr;
}
struct udev_device* ZtUdev::device_get_parent_with_subsystem_devtype(struct udev_device* device,
                                                                     const char* subsystem,
                                                                     const char* devtype) {
  return m_deviceGetParentWithSubsystemDevtype
             ? m_deviceGetParentWithSubsystemDevtype(device, subsystem, devtype)
             : nullptr;
}
const char* ZtUdev::device_get_sysattr_value(struct udev_device* device, const char* sysattr) {
  return m_deviceGetSysattrValue ? m_deviceGetSysattrValue(device, sysattr) : nullptr;
}
