#include "transport/io/UsbContextManager.h"

#include "foundation/JournalMacros.h"

UsbContextManager& UsbContextManager::instance() {
  static UsbContextManager manager;
  return manager;
}

UsbContextManager::UsbContextManager() { start(); }

UsbContextManager::~UsbContextManager() { stop(); }

void UsbContextManager::start() {
  m_lib = std::make_unique<ZtLibUsb>();
  m_context = nullptr;
  m_initResult = m_lib->hasAllFunctions() ? m_lib->init(&m_context) : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
  if (m_initResult != ZT_LIBUSB_SUCCESS) {
    m_context = nullptr;
    JLOG_ALERT("no USB context (libusb " << (!m_lib->isLoaded()         ? "missing"
                                             : m_lib->hasAllFunctions() ? "loaded"
                                                                        : "incomplete")
                                         << ", init " << m_initResult
                                         << "): USB ports are unavailable");
  }
}

void UsbContextManager::stop() {
  if (m_context) m_lib->exit(m_context);
  m_context = nullptr;
  m_initResult = ZT_LIBUSB_ERROR_NOT_SUPPORTED;
  m_lib.reset();
}

ZtResultValue ztLibUsbResult(int libusbResult) {
  switch (libusbResult) {
    case ZT_LIBUSB_SUCCESS: return ZRV_OK;
    case ZT_LIBUSB_ERROR_INVALID_PARAM: return ZRV_INVALIDPARAM;
    case ZT_LIBUSB_ERROR_NO_DEVICE: return ZRV_NOPORTOPEN;
    case ZT_LIBUSB_ERROR_NOT_FOUND: return ZRV_NOTFOUND;
    case ZT_LIBUSB_ERROR_BUSY: return ZRV_UNSUPPORTED;
    case ZT_LIBUSB_ERROR_TIMEOUT: return ZRV_TIMEOUT;
    case ZT_LIBUSB_ERROR_INTERRUPTED: return ZRV_INTERRUPTED;
    case ZT_LIBUSB_ERROR_NO_MEM: return ZRV_INSUFFICIENTSPACE;
    case ZT_LIBUSB_ERROR_NOT_SUPPORTED: return ZRV_NOTIMPLEMENTED;
    default: return ZRV_ERROR;
  }
}

namespace {
// Creates the context when the library is loaded rather than on the first USB open.
[[maybe_unused]] UsbContextManager& g_usbContextAtLoad = UsbContextManager::instance();
}  // namespace
