// The system's own libusb and libudev, loaded by their run-time sonames (no development
// package is installed here). Kept apart from the stand-in library's tests so the two libusb
// images never share a process.
#include <gtest/gtest.h>

#include "transport/io/UsbContextManager.h"
#include "transport/io/UsbEnumeration.h"
#include "transport/io/UsbInterface.h"
#include "transport/io/ZtLibUsb.h"
#include "transport/io/ZtUdev.h"

namespace {

TEST(UsbSystem, SystemLibusbLoadsAndEnumeratesWithoutError) {
  ZtLibUsb usb;
  ASSERT_TRUE(usb.isLoaded());
  libusb_context* context = nullptr;
  const int init = usb.init(&context);
  // Without a usbfs (containers) libusb refuses to start; with one, the list must be readable.
  if (init == 0) {
    libusb_device** list = nullptr;
    const ssize_t count = usb.get_device_list(context, &list);
    EXPECT_GE(count, 0);
    if (count >= 0) usb.free_device_list(list, 1);
    usb.exit(context);
  } else {
    EXPECT_LT(init, 0);
    EXPECT_NE(ZT_LIBUSB_ERROR_NOT_SUPPORTED, init) << "libusb_init was not resolved";
  }

  ZtPortInfoArray ports;
  ZtArray_construct(ZTARRAY(&ports), &g_ztPortInfoArrayDescriptor, 0, nullptr);
  ztEnumerateUsbDevices(ports);
  EXPECT_EQ(0u, ports.size);  // no device of ours exists on these machines
  ZtArray_destruct(ZTARRAY(&ports));

  // The process-wide context was made at load from the same library.
  UsbContextManager& manager = UsbContextManager::instance();
  EXPECT_EQ(init == 0, manager.context() != nullptr);
  UsbInterface port;
  ZtPortInfo info = {};
  std::snprintf(info.portName, sizeof info.portName, "USB001:001");
  EXPECT_NE(ZRV_OK, port.open(info));
  EXPECT_FALSE(port.isOpen());
}

TEST(UsbSystem, SystemLibudevLoadsAndScans) {
  ZtUdev udev;
  ASSERT_TRUE(udev.isLoaded());
  struct udev* u = udev.unew();
  ASSERT_NE(nullptr, u);
  struct udev_enumerate* e = udev.enumerate_new(u);
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(0, udev.enumerate_add_match_subsystem(e, "tty"));
  EXPECT_GE(udev.enumerate_scan_devices(e), 0);
  for (udev_list_entry* entry = udev.enumerate_get_list_entry(e); entry;
       entry = udev.list_entry_get_next(entry))
    EXPECT_NE(nullptr, udev.list_entry_get_name(entry));
  EXPECT_EQ(nullptr, udev.enumerate_unref(e));
  EXPECT_EQ(nullptr, udev.unref(u));
}

}  // namespace
