#include "transport/io/UsbInterface.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "foundation/JournalMacros.h"
#include "transport/io/UsbContextManager.h"

namespace {

constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t kTransferTypeMask = 0x03;
constexpr uint8_t kTransferTypeBulk = 0x02;
constexpr uint32_t kMinWriteTimeout = 1000;

int clampLength(size_t length) { return static_cast<int>(std::min<size_t>(length, INT_MAX)); }

}  // namespace

UsbInterface::UsbInterface() = default;

UsbInterface::~UsbInterface() {
  if (isOpen()) close();
}

ZtResultValue UsbInterface::open(const ZtPortInfo& portInfo, uint32_t, uint32_t) {
  if (isOpen()) return record(ZRV_ALREADYOPEN);
  UsbContextManager& manager = UsbContextManager::instance();
  ZtLibUsb& usb = manager.lib();
  if (!manager.context()) return record(ztLibUsbResult(manager.initResult()));

  libusb_device** list = nullptr;
  const ssize_t count = usb.get_device_list(manager.context(), &list);
  if (count < 0) return record(ztLibUsbResult(static_cast<int>(count)));

  const int bus = ZtPortInfo_usbBus(&portInfo);
  const int address = ZtPortInfo_usbAddress(&portInfo);
  libusb_device* device = nullptr;
  for (ssize_t i = 0; i < count && bus >= 0 && address >= 0; ++i) {
    if (usb.get_bus_number(list[i]) == bus && usb.get_device_address(list[i]) == address) {
      device = list[i];
      break;
    }
  }
  if (!device) {
    usb.free_device_list(list, 1);
    return record(ZRV_NOTFOUND);
  }

  libusb_device_descriptor descriptor;
  int r = usb.get_device_descriptor(device, &descriptor);
  libusb_config_descriptor* config = nullptr;
  if (r == 0) r = usb.get_active_config_descriptor(device, &config);
  if (r != 0) {
    usb.free_device_list(list, 1);
    return record(ztLibUsbResult(r));
  }
  const int interfaceCount = config->bNumInterfaces;
  int dataInterface = -1;
  int inEndpoint = -1;
  int outEndpoint = -1;
  // The data interface is the first interface with a setting that has both a bulk IN and a
  // bulk OUT endpoint; a later setting of that interface may replace the endpoints.
  for (int i = 0; i < interfaceCount && dataInterface < 0; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      int in = -1;
      int out = -1;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & kTransferTypeMask) != kTransferTypeBulk) continue;
        if (endpoint.bEndpointAddress & kEndpointIn)
          in = endpoint.bEndpointAddress & 0x0F;
        else
          out = endpoint.bEndpointAddress & 0x0F;
      }
      if (in >= 0 && out >= 0) {
        dataInterface = setting.bInterfaceNumber;
        inEndpoint = in;
        outEndpoint = out;
      }
    }
  }
  usb.free_config_descriptor(config);
  if (interfaceCount == 0 || dataInterface < 0) {
    usb.free_device_list(list, 1);
    return record(ZRV_INPUTCANNOTBEOPENED);
  }

  usb.ref_device(device);
  usb.free_device_list(list, 1);

  libusb_device_handle* handle = nullptr;
  r = usb.open(device, &handle);
  if (r != 0 || !handle) {
    usb.unref_device(device);
    return record(r != 0 ? ztLibUsbResult(r) : ZRV_ERROR);
  }

  m_detached.assign(static_cast<size_t>(interfaceCount), false);
  for (int i = 0; i < interfaceCount; ++i) {
    if (usb.kernel_driver_active(handle, i) > 0) {
      r = usb.detach_kernel_driver(handle, i);
      if (r == 0) m_detached[static_cast<size_t>(i)] = true;
    }
    if (r == 0) r = usb.claim_interface(handle, i);
    if (r != 0) {
      JLOG_ALERT("cannot claim interface " << i << " of " << portInfo.portName << ", libusb " << r);
      // Interface i is not claimed; give back what was taken so far.
      if (m_detached[static_cast<size_t>(i)]) usb.attach_kernel_driver(handle, i);
      releaseAll(handle, device, i);
      m_detached.clear();
      return record(ztLibUsbResult(r));
    }
  }

  m_handle = handle;
  m_device = device;
  m_interfaceCount = interfaceCount;
  m_dataInterface = dataInterface;
  m_inEndpoint = inEndpoint;
  m_outEndpoint = outEndpoint;
  const size_t nameLength = strnlen(portInfo.portName, sizeof m_portName - 1);
  std::memcpy(m_portName, portInfo.portName, nameLength);
  m_portName[nameLength] = '\0';
  flushData();
  return record(ZRV_OK);
}

void UsbInterface::releaseAll(libusb_device_handle* handle, libusb_device* device, int claimed) {
  ZtLibUsb& usb = UsbContextManager::instance().lib();
  // One attempt each: a release that fails (device unplugged) must not hold up the close.
  for (int i = 0; i < claimed; ++i) {
    usb.release_interface(handle, i);
    if (static_cast<size_t>(i) < m_detached.size() && m_detached[static_cast<size_t>(i)])
      usb.attach_kernel_driver(handle, i);
  }
  usb.close(handle);
  usb.unref_device(device);
}

ZtResultValue UsbInterface::close() {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  record(ZRV_OK);
  flushData();
  releaseAll(m_handle, m_device, m_interfaceCount);
  m_handle = nullptr;
  m_device = nullptr;
  m_detached.clear();
  m_interfaceCount = 0;
  m_dataInterface = -1;
  m_inEndpoint = -1;
  m_outEndpoint = -1;
  return getLastResult();
}

ZtResultValue UsbInterface::flushData() {
  record(ZRV_OK);
  if (!isOpen()) return ZRV_OK;
  ZtLibUsb& usb = UsbContextManager::instance().lib();
  unsigned char scratch[256];
  for (int i = 0; i < 64; ++i) {
    int got = 0;
    const int r = usb.bulk_transfer(m_handle, static_cast<unsigned char>(m_inEndpoint | kEndpointIn),
                                    scratch, sizeof scratch, &got, 1);
    if (r != 0 || got <= 0) break;
  }
  return ZRV_OK;
}

ZtResultValue UsbInterface::setTimeout(uint32_t milliseconds) {
  m_timeout.store(milliseconds == 0 ? 1 : milliseconds, std::memory_order_relaxed);
  return record(ZRV_OK);
}

ZtResultValue UsbInterface::readInto(uint8_t* buffer, size_t maxLength, size_t& received, uint32_t timeoutMs) {
  received = 0;
  int got = 0;
  const int r = UsbContextManager::instance().lib().bulk_transfer(
      m_handle, static_cast<unsigned char>(m_inEndpoint | kEndpointIn), buffer,
      clampLength(maxLength), &got, timeoutMs);
  if (got > 0) received = std::min(static_cast<size_t>(got), maxLength);
  if (r == ZT_LIBUSB_SUCCESS || (r == ZT_LIBUSB_ERROR_TIMEOUT && received > 0)) return ZRV_OK;
  return ztLibUsbResult(r);
}

ZtResultValue UsbInterface::readData(size_t maxLength, ZtByteArray& data) {
  return readWithin(maxLength, data, getTimeout());
}

ZtResultValue UsbInterface::readWithin(size_t maxLength, ZtByteArray& data, uint32_t waitMs) {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  if (ZtArray_assign(ZTARRAY(&data), maxLength, nullptr) != 0) return record(ZRV_INSUFFICIENTSPACE);
  size_t received = 0;
  // libusb takes 0 as "no time-out".
  const ZtResultValue result =
      maxLength == 0 ? ZRV_OK : readInto(data.data, maxLength, received, waitMs == 0 ? 1 : waitMs);
  ZtArray_assign(ZTARRAY(&data), received, nullptr);
  return record(result);
}

ZtResultValue UsbInterface::writeData(const ZtByteArray& data, size_t* written) {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  size_t sent = 0;
  if (written) *written = 0;
  ZtLibUsb& usb = UsbContextManager::instance().lib();
  const unsigned timeout = std::max(getTimeout(), kMinWriteTimeout);
  while (sent < data.size) {
    int moved = 0;
    const int r = usb.bulk_transfer(m_handle, static_cast<unsigned char>(m_outEndpoint),
                                    data.data + sent, clampLength(data.size - sent), &moved, timeout);
    if (moved > 0) sent += std::min(static_cast<size_t>(moved), data.size - sent);
    if (written) *written = sent;
    if (r != 0) {
      JLOG_ERROR("bulk write to " << m_portName << " failed after " << sent << " bytes, libusb " << r);
      return record(ztLibUsbResult(r));
    }
    // A transfer that completes without moving anything would repeat for ever.
    if (moved <= 0) return record(ZRV_ERROR);
  }
  return record(ZRV_OK);
}

ZtResultValue UsbInterface::waitForData(size_t length, uint8_t* buffer, size_t& count) {
  count = 0;
  if (length == 0) return record(ZRV_OK);
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  // A monotonic deadline: a time-of-day clock would wrap at midnight.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(getTimeout());
  while (Clock::now() < deadline) {
    size_t received = 0;
    const ZtResultValue r = readInto(buffer + count, length - count, received, getTimeout());
    if (r != ZRV_OK) return record(r);
    count += received;
    if (count >= length) return record(ZRV_OK);
  }
  return record(ZRV_TIMEOUT);
}

unsigned UsbInterface::usbBus() {
  if (!isOpen()) return 0;
  ZtLibUsb& usb = UsbContextManager::instance().lib();
  return usb.get_bus_number(usb.get_device(m_handle));
}

unsigned UsbInterface::usbAddress() {
  if (!isOpen()) return 0;
  ZtLibUsb& usb = UsbContextManager::instance().lib();
  return usb.get_device_address(usb.get_device(m_handle));
}

void UsbInterface::getPortName(ZtString& name) const { ZtString_assignCharArray(&name, m_portName); }
