#pragma once
// The process-wide libusb context shared by every UsbInterface. It is created when the device
// library is loaded (a static initialiser in UsbContextManager.cpp) and released at exit.
#include <memory>

#include "transport/io/ZtLibUsb.h"
#include "zttypes/ztresult.h"

class UsbContextManager {
 public:
  static UsbContextManager& instance();

  ZtLibUsb& lib() { return *m_lib; }
  // Null when libusb is missing or its initialisation failed (see initResult()).
  libusb_context* context() const { return m_context; }
  // The libusb status of the context's initialisation (0 when the context exists).
  int initResult() const { return m_initResult; }

  UsbContextManager(const UsbContextManager&) = delete;
  UsbContextManager& operator=(const UsbContextManager&) = delete;

 private:
  friend class ZtLibUsbTestAccess;  // test seam: restarts the context on a stand-in library

  UsbContextManager();
  ~UsbContextManager();
  void start();
  void stop();

  std::unique_ptr<ZtLibUsb> m_lib;
  libusb_context* m_context = nullptr;
  int m_initResult = ZT_LIBUSB_ERROR_NOT_SUPPORTED;
};

// Maps a libusb status to a result code.
ZtResultValue ztLibUsbResult(int libusbResult);
