#pragma once
// libudev loaded at run time (serial and USB enumeration with their attributes). A missing
// library or function answers null (pointers), -1 (status) or nothing.
#include "zttypes/ztmisc.h"

extern "C" {
struct udev;
struct udev_device;
struct udev_enumerate;
struct udev_list_entry;
}

class ZtUdev {
 public:
  ZtUdev();
  ~ZtUdev();
  ZtUdev(const ZtUdev&) = delete;
  ZtUdev& operator=(const ZtUdev&) = delete;

  bool isLoaded() const { return ZtLibraryLoader_isLoaded(&m_loader) != 0; }
  // Every function was resolved. A library lacking one is treated as no libudev: half an
  // enumeration (devices without nodes or parents) would list wrong ports.
  bool hasAllFunctions() const;

  struct udev* unew();
  struct udev* unref(struct udev* u);
  struct udev_device* device_unref(struct udev_device* device);
  struct udev_enumerate* enumerate_new(struct udev* u);
  int enumerate_add_match_subsystem(struct udev_enumerate* e, const char* subsystem);
  int enumerate_scan_devices(struct udev_enumerate* e);
  struct udev_list_entry* enumerate_get_list_entry(struct udev_enumerate* e);
  struct udev_enumerate* enumerate_unref(struct udev_enumerate* e);
  struct udev_list_entry* list_entry_get_next(struct udev_list_entry* entry);
  const char* list_entry_get_name(struct udev_list_entry* entry);
  struct udev_device* device_new_from_syspath(struct udev* u, const char* syspath);
  struct udev_device* device_get_parent(struct udev_device* device);
  const char* device_get_devnode(struct udev_device* device);
  struct udev_device* device_get_parent_with_subsystem_devtype(struct udev_device* device,
                                                               const char* subsystem,
                                                               const char* devtype);
  const char* device_get_sysattr_value(struct udev_device* device, const char* sysattr);

 private:
  friend class ZtUdevTestAccess;  // test seam: points the loader at a stand-in library

  // When set, the only file tried instead of the library's own names (tests only).
  static const char* s_overridePath;

  ZtLibraryLoader m_loader = {};
  struct udev* (*m_new)() = nullptr;
  struct udev* (*m_unref)(struct udev*) = nullptr;
  struct udev_device* (*m_deviceUnref)(struct udev_device*) = nullptr;
  struct udev_enumerate* (*m_enumerateNew)(struct udev*) = nullptr;
  int (*m_enumerateAddMatchSubsystem)(struct udev_enumerate*, const char*) = nullptr;
  int (*m_enumerateScanDevices)(struct udev_enumerate*) = nullptr;
  struct udev_list_entry* (*m_enumerateGetListEntry)(struct udev_enumerate*) = nullptr;
  struct udev_enumerate* (*m_enumerateUnref)(struct udev_enumerate*) = nullptr;
  struct udev_list_entry* (*m_listEntryGetNext)(struct udev_list_entry*) = nullptr;
  const char* (*m_listEntryGetName)(struct udev_list_entry*) = nullptr;
  struct udev_device* (*m_deviceNewFromSyspath)(struct udev*, const char*) = nullptr;
  struct udev_device* (*m_deviceGetParent)(struct udev_device*) = nullptr;
  const char* (*m_deviceGetDevnode)(struct udev_device*) = nullptr;
  struct udev_device* (*m_deviceGetParentWithSubsystemDevtype)(struct udev_device*, const char*,
                                                               const char*) = nullptr;
  const char* (*m_deviceGetSysattrValue)(struct udev_device*, const char*) = nullptr;
};
