#pragma once
// Live port on a USB device of the maker (no kernel serial driver bound): claims every interface
// of the active configuration and moves bytes over its bulk IN and OUT endpoints through the
// process-wide libusb context.
#include <atomic>
#include <vector>

#include "transport/io/StreamInterface.h"
#include "transport/io/ZtLibUsb.h"

class UsbInterface : public StreamInterface {
 public:
  UsbInterface();
  ~UsbInterface() override;

  ZtResultValue close() override;
  // Drains what the IN endpoint still holds (up to 64 reads of 256 bytes, 1 ms each).
  ZtResultValue flushData() override;
  bool isOpen() const override { return m_handle != nullptr; }
  ZtResultValue getLastResult() const override { return m_lastResult.load(std::memory_order_relaxed); }
  // Splits into as many bulk OUT transfers as the device takes; each is bounded by the port
  // time-out (at least 1 s), so a stalled endpoint ends the write with 258.
  ZtResultValue writeData(const ZtByteArray& data, size_t* written = nullptr) override;
  ZtResultValue readData(size_t maxLength, ZtByteArray& data) override;
  // One bulk IN transfer that waits at most waitMs (at least 1 ms) for bytes.
  ZtResultValue readWithin(size_t maxLength, ZtByteArray& data, uint32_t waitMs) override;
  using StreamInterface::open;
  using StreamInterface::waitForData;
  // Opens the device whose bus and address the port info's "USB%03u:%03u" name gives.
  ZtResultValue open(const ZtPortInfo& portInfo, uint32_t readBufferSize = 0,
                     uint32_t writeBufferSize = 0) override;
  // 0 is stored as 1 ms: libusb takes 0 as "no time-out".
  ZtResultValue setTimeout(uint32_t milliseconds) override;
  uint32_t getTimeout() const override { return m_timeout.load(std::memory_order_relaxed); }

  // Collects exactly length bytes into buffer; count receives the bytes collected.
  ZtResultValue waitForData(size_t length, uint8_t* buffer, size_t& count);
  ZtResultValue setRawIo(bool) { return record(ZRV_OK); }
  bool getRawIo() const { return false; }
  unsigned usbBus();
  unsigned usbAddress();
  void getPortName(ZtString& name) const;

 private:
  ZtResultValue record(ZtResultValue result) {
    m_lastResult.store(result, std::memory_order_relaxed);
    return result;
  }
  // One bulk IN transfer into buffer; a time-out that delivered bytes counts as success.
  ZtResultValue readInto(uint8_t* buffer, size_t maxLength, size_t& received, uint32_t timeoutMs);
  // Releases the claimed interfaces (giving detached ones back to their kernel driver), closes
  // the handle and drops the device reference.
  void releaseAll(libusb_device_handle* handle, libusb_device* device, int claimed);

  // Written by the reader thread and by writing threads alike.
  std::atomic<ZtResultValue> m_lastResult{ZRV_OK};
  // The link changes the read time-out (measuring or not) while its reader thread reads; each
  // transfer takes the value once.
  std::atomic<uint32_t> m_timeout{20};
  int m_interfaceCount = 0;
  int m_dataInterface = -1;
  int m_inEndpoint = -1;
  int m_outEndpoint = -1;
  char m_portName[256] = {};
  libusb_device_handle* m_handle = nullptr;
  libusb_device* m_device = nullptr;
  // Interfaces whose kernel driver this port detached (to be attached again on close).
  std::vector<bool> m_detached;
};
