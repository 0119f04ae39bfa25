#pragma once
// Test seam of the USB layer: points the libusb loader at a stand-in library (or at a path that
// does not exist) and restarts the process-wide context on it. Call only while no UsbInterface
// is open. The shipped library has no such switch: this class exists only in tests.
#include "transport/io/UsbContextManager.h"
#include "transport/io/ZtLibUsb.h"

class ZtLibUsbTestAccess {
 public:
  // path null: back to the library's own file names (the system's libusb).
  static void useLibrary(const char* path) {
    UsbContextManager& manager = UsbContextManager::instance();
    manager.stop();
    ZtLibUsb::s_overridePath = path;
    manager.start();
  }
};
