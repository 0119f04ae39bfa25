#pragma once
// Test control of the stand-in libusb (FakeLibUsb.cpp). The stand-in is a shared object the
// device library loads by path; this header reaches its state through the one C entry point
// fakeusb_control, so the test executable never links it.
//
// Devices: bus, address, ids, strings, one configuration of interfaces with alternate settings
// and endpoints, a kernel-driver flag per interface. The bulk IN endpoint reads from a byte
// queue the test feeds; the OUT endpoint writes to a queue the test drains. An IN transfer on
// an empty queue waits for bytes up to its time-out.
#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace fakeusb {

constexpr int kSuccess = 0;
constexpr int kErrorIo = -1;
constexpr int kErrorInvalidParam = -2;
constexpr int kErrorAccess = -3;
constexpr int kErrorNoDevice = -4;
constexpr int kErrorNotFound = -5;
constexpr int kErrorBusy = -6;
constexpr int kErrorTimeout = -7;
constexpr int kErrorOverflow = -8;
constexpr int kErrorPipe = -9;
constexpr int kErrorInterrupted = -10;
constexpr int kErrorNoMem = -11;
constexpr int kErrorNotSupported = -12;
constexpr int kErrorOther = -99;

struct Endpoint {
  uint8_t address = 0;     // bit 0x80: IN
  uint8_t attributes = 2;  // transfer type in bits 0..1; 2 = bulk
};

struct AltSetting {
  uint8_t interfaceNumber = 0;
  std::vector<Endpoint> endpoints;
};

struct Interface {
  std::vector<AltSetting> settings;
  bool kernelDriver = false;
};

struct Device {
  uint8_t bus = 1;
  uint8_t address = 1;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string product;  // string index 2 (no string when empty)
  std::string serial;   // string index 3 (no string when empty)
  std::vector<Interface> interfaces;
};

// A device with one interface holding bulk IN 0x81 and bulk OUT 0x02.
inline Device makeDevice(uint8_t bus, uint8_t address, uint16_t vendorId, uint16_t productId,
                         std::string serial = "", std::string product = "") {
  Device d;
  d.bus = bus;
  d.address = address;
  d.vendorId = vendorId;
  d.productId = productId;
  d.serial = std::move(serial);
  d.product = std::move(product);
  d.interfaces.push_back(Interface{{AltSetting{0, {Endpoint{0x81, 2}, Endpoint{0x02, 2}}}}, false});
  return d;
}

class Control {
 public:
  // Forgets every device, injected failure, transfer setting and call record.
  virtual void reset() = 0;
  // Returns the device's id for the calls below.
  virtual int addDevice(const Device& device) = 0;
  // The device disappears: it is no longer listed, and calls on open handles fail NO_DEVICE.
  virtual void unplug(int id) = 0;

  // Bytes the device sends (read by bulk IN transfers).
  virtual void feed(int id, const std::vector<uint8_t>& bytes) = 0;
  // Bytes the host has sent (taken out of the OUT queue).
  virtual std::vector<uint8_t> drain(int id) = 0;

  // From now on the named libusb function ("libusb_open" ...) returns error after skip further
  // successful calls; error 0 removes the failure.
  virtual void failCall(const std::string& function, int error, int skip = 0) = 0;
  // Each bulk OUT transfer moves at most this many bytes (0: no limit).
  virtual void setOutChunk(size_t maxBytes) = 0;
  // OUT transfers time out without moving anything (a stalled endpoint).
  virtual void setOutStalled(bool stalled) = 0;
  // The next IN transfer delivers at most maxBytes of the queue and then reports a time-out.
  virtual void timeOutNextInAfter(size_t maxBytes) = 0;

  // The calls made on devices, in order: "open 3", "detach 3:0", "claim 3:0", "release 3:0",
  // "attach 3:0", "close 3" (device id : interface).
  virtual std::vector<std::string> calls() = 0;
  virtual unsigned lastOutTimeout() = 0;
  virtual unsigned lastInTimeout() = 0;
  virtual int lastOutEndpoint() = 0;
  virtual int lastInEndpoint() = 0;
  virtual int outTransfers() = 0;
  virtual bool kernelDriverActive(int id, int interfaceNumber) = 0;
  // References held on the device besides the stand-in's own.
  virtual int deviceReferences(int id) = 0;
  virtual int openHandles() = 0;
  virtual int liveConfigDescriptors() = 0;
  virtual int liveContexts() = 0;

 protected:
  ~Control() = default;
};

// The control of the stand-in at path (ZDA_FAKEUSB_SO or ZDA_FAKEUSB_NOCLAIM_SO).
inline Control& control(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw std::runtime_error(std::string("cannot load ") + path);
  auto entry = reinterpret_cast<Control* (*)()>(dlsym(handle, "fakeusb_control"));
  if (!entry) throw std::runtime_error("fakeusb_control missing");
  // The handle stays open: the stand-in keeps its state for the whole test program.
  return *entry();
}

}  // namespace fakeusb
