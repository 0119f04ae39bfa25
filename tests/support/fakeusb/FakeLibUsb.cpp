// Stand-in libusb-1.0 over an in-memory device list (see FakeUsb.h). Every exported function
// takes the one state mutex; an IN transfer waits on a condition variable for fed bytes.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/fakeusb/FakeUsb.h"
#include "transport/io/ZtLibUsb.h"

#define FAKEUSB_EXPORT extern "C" __attribute__((visibility("default")))

struct libusb_context {
  int unused = 0;
};

struct libusb_device {
  int id = 0;
  fakeusb::Device spec;
  bool plugged = true;
  int references = 0;
  std::deque<uint8_t> in;
  std::vector<uint8_t> out;
  std::vector<bool> kernelDriver;
};

struct libusb_device_handle {
  libusb_device* device = nullptr;
};

namespace {

// The descriptor and the storage its pointers refer to, freed together.
struct ConfigHolder {
  libusb_config_descriptor config = {};
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> settings;
  std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};
static_assert(offsetof(ConfigHolder, config) == 0);

struct Failure {
  int error = 0;
  int skip = 0;
};

class State final : public fakeusb::Control {
 public:
  std::mutex mutex;
  std::condition_variable fed;
  std::vector<std::unique_ptr<libusb_device>> devices;
  std::map<std::string, Failure> failures;
  std::vector<std::string> log;
  size_t outChunk = 0;
  bool outStalled = false;
  bool inTimeoutPending = false;
  size_t inTimeoutAfter = 0;
  unsigned outTimeout = 0;
  unsigned inTimeout = 0;
  int outEndpoint = -1;
  int inEndpoint = -1;
  int outCount = 0;
  int handles = 0;
  int configs = 0;
  int contexts = 0;

  // The injected result of function, or 0 (caller holds the mutex).
  int injected(const char* function) {
    auto it = failures.find(function);
    if (it == failures.end()) return 0;
    if (it->second.skip > 0) {
      --it->second.skip;
      return 0;
    }
    return it->second.error;
  }

  libusb_device* byId(int id) {
    for (auto& d : devices)
      if (d->id == id) return d.get();
    return nullptr;
  }

  void record(const std::string& call, const libusb_device* d, int interfaceNumber = -1) {
    std::string entry = call + " " + std::to_string(d->id);
    if (interfaceNumber >= 0) entry += ":" + std::to_string(interfaceNumber);
    log.push_back(entry);
  }

  void reset() override {
    std::lock_guard<std::mutex> lock(mutex);
    devices.clear();
    failures.clear();
    log.clear();
    outChunk = 0;
    outStalled = false;
    inTimeoutPending = false;
    inTimeoutAfter = 0;
    outTimeout = inTimeout = 0;
    outEndpoint = inEndpoint = -1;
    outCount = 0;
  }
  int addDevice(const fakeusb::Device& spec) override {
    std::lock_guard<std::mutex> lock(mutex);
    auto d = std::make_unique<libusb_device>();
    d->id = static_cast<int>(devices.size()) + 1;
    d->spec = spec;
    for (const auto& i : spec.interfaces) d->kernelDriver.push_back(i.kernelDriver);
    devices.push_back(std::move(d));
    return devices.back()->id;
  }
  void unplug(int id) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto* d = byId(id)) d->plugged = false;
    fed.notify_all();
  }
  void feed(int id, const std::vector<uint8_t>& bytes) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto* d = byId(id)) d->in.insert(d->in.end(), bytes.begin(), bytes.end());
    fed.notify_all();
  }
  std::vector<uint8_t> drain(int id) override {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<uint8_t> bytes;
    if (auto* d = byId(id)) bytes.swap(d->out);
    return bytes;
  }
  void failCall(const std::string& function, int error, int skip) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (error == 0)
      failures.erase(function);
    else
      failures[function] = Failure{error, skip};
  }
  void setOutChunk(size_t maxBytes) override {
    std::lock_guard<std::mutex> lock(mutex);
    outChunk = maxBytes;
  }
  void setOutStalled(bool stalled) override {
    std::lock_guard<std::mutex> lock(mutex);
    outStalled = stalled;
  }
  void timeOutNextInAfter(size_t maxBytes) override {
    std::lock_guard<std::mutex> lock(mutex);
    inTimeoutPending = true;
    inTimeoutAfter = maxBytes;
  }
  std::vector<std::string> calls() override {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
  }
  unsigned lastOutTimeout() override {
    std::lock_guard<std::mutex> lock(mutex);
    return outTimeout;
  }
  unsigned lastInTimeout() override {
    std::lock_guard<std::mutex> lock(mutex);
    return inTimeout;
  }
  int lastOutEndpoint() override {
    std::lock_guard<std::mutex> lock(mutex);
    return outEndpoint;
  }
  int lastInEndpoint() override {
    std::lock_guard<std::mutex> lock(mutex);
    return inEndpoint;
  }
  int outTransfers() override {
    std::lock_guard<std::mutex> lock(mutex);
    return outCount;
  }
  bool kernelDriverActive(int id, int interfaceNumber) override {
    std::lock_guard<std::mutex> lock(mutex);
    auto* d = byId(id);
    return d && interfaceNumber >= 0 && static_cast<size_t>(interfaceNumber) < d->kernelDriver.size() &&
           d->kernelDriver[static_cast<size_t>(interfaceNumber)];
  }
  int deviceReferences(int id) override {
    std::lock_guard<std::mutex> lock(mutex);
    auto* d = byId(id);
    return d ? d->references : -1;
  }
  int openHandles() override {
    std::lock_guard<std::mutex> lock(mutex);
    return handles;
  }
  int liveConfigDescriptors() override {
    std::lock_guard<std::mutex> lock(mutex);
    return configs;
  }
  int liveContexts() override {
    std::lock_guard<std::mutex> lock(mutex);
    return contexts;
  }
};

State& state() {
  static State s;
  return s;
}

bool validInterface(const libusb_device* d, int interfaceNumber) {
  return interfaceNumber >= 0 && static_cast<size_t>(interfaceNumber) < d->spec.interfaces.size();
}

}  // namespace

FAKEUSB_EXPORT fakeusb::Control* fakeusb_control() { return &state(); }

FAKEUSB_EXPORT int libusb_init(libusb_context** context) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (int e = s.injected("libusb_init")) return e;
  if (!context) return fakeusb::kErrorInvalidParam;
  *context = new libusb_context;
  ++s.contexts;
  return 0;
}

FAKEUSB_EXPORT void libusb_exit(libusb_context* context) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!context) return;
  delete context;
  --s.contexts;
}

FAKEUSB_EXPORT void libusb_set_debug(libusb_context*, int) {}

FAKEUSB_EXPORT ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (int e = s.injected("libusb_get_device_list")) return e;
  std::vector<libusb_device*> plugged;
  for (auto& d : s.devices)
    if (d->plugged) plugged.push_back(d.get());
  auto** out = new libusb_device*[plugged.size() + 1];
  for (size_t i = 0; i < plugged.size(); ++i) {
    out[i] = plugged[i];
    ++plugged[i]->references;
  }
  out[plugged.size()] = nullptr;
  *list = out;
  return static_cast<ssize_t>(plugged.size());
}

FAKEUSB_EXPORT void libusb_free_device_list(libusb_device** list, int unrefDevices) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!list) return;
  if (unrefDevices)
    for (libusb_device** p = list; *p; ++p) --(*p)->references;
  delete[] list;
}

FAKEUSB_EXPORT libusb_device* libusb_ref_device(libusb_device* device) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++device->references;
  return device;
}

FAKEUSB_EXPORT void libusb_unref_device(libusb_device* device) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (device) --device->references;
}

FAKEUSB_EXPORT uint8_t libusb_get_bus_number(libusb_device* device) { return device->spec.bus; }

FAKEUSB_EXPORT uint8_t libusb_get_device_address(libusb_device* device) {
  return device->spec.address;
}

FAKEUSB_EXPORT libusb_device* libusb_get_device(libusb_device_handle* handle) {
  return handle->device;
}

FAKEUSB_EXPORT int libusb_get_device_descriptor(libusb_device* device,
                                                libusb_device_descriptor* descriptor) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (int e = s.injected("libusb_get_device_descriptor")) return e;
  std::memset(descriptor, 0, sizeof *descriptor);
  descriptor->bLength = 18;
  descriptor->bDescriptorType = 1;
  descriptor->bcdUSB = 0x0200;
  descriptor->bMaxPacketSize0 = 64;
  descriptor->idVendor = device->spec.vendorId;
  descriptor->idProduct = device->spec.productId;
  descriptor->iProduct = device->spec.product.empty() ? 0 : 2;
  descriptor->iSerialNumber = device->spec.serial.empty() ? 0 : 3;
  descriptor->bNumConfigurations = 1;
  return 0;
}

FAKEUSB_EXPORT int libusb_get_active_config_descriptor(libusb_device* device,
                                                       libusb_config_descriptor** config) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (int e = s.injected("libusb_get_active_config_descriptor")) return e;
  if (!device->plugged) return fakeusb::kErrorNoDevice;
  auto* holder = new ConfigHolder;
  const auto& interfaces = device->spec.interfaces;
  holder->interfaces.resize(interfaces.size());
  holder->settings.resize(interfaces.size());
  holder->endpoints.resize(interfaces.size());
  for (size_t i = 0; i < interfaces.size(); ++i) {
    const auto& settings = interfaces[i].settings;
    holder->settings[i].resize(settings.size());
    holder->endpoints[i].resize(settings.size());
    for (size_t a = 0; a < settings.size(); ++a) {
      auto& eps = holder->endpoints[i][a];
      for (const auto& e : settings[a].endpoints) {
        libusb_endpoint_descriptor ed = {};
        ed.bLength = 7;
        ed.bDescriptorType = 5;
        ed.bEndpointAddress = e.address;
        ed.bmAttributes = e.attributes;
        ed.wMaxPacketSize = 64;
        eps.push_back(ed);
      }
      libusb_interface_descriptor& id = holder->settings[i][a];
      id = {};
      id.bLength = 9;
      id.bDescriptorType = 4;
      id.bInterfaceNumber = settings[a].interfaceNumber;
      id.bAlternateSetting = static_cast<uint8_t>(a);
      id.bNumEndpoints = static_cast<uint8_t>(eps.size());
      id.endpoint = eps.data();
    }
    holder->interfaces[i].altsetting = holder->settings[i].data();
    holder->interfaces[i].num_altsetting = static_cast<int>(settings.size());
  }
  holder->config.bLength = 9;
  holder->config.bDescriptorType = 2;
  holder->config.bNumInterfaces = static_cast<uint8_t>(interfaces.size());
  holder->config.bConfigurationValue = 1;
  holder->config.interface = holder->interfaces.data();
  *config = &holder->config;
  ++s.configs;
  return 0;
}

FAKEUSB_EXPORT void libusb_free_config_descriptor(libusb_config_descriptor* config) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!config) return;
  delete reinterpret_cast<ConfigHolder*>(config);
  --s.configs;
}

FAKEUSB_EXPORT int libusb_open(libusb_device* device, libusb_device_handle** handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (int e = s.injected("libusb_open")) return e;
  if (!device->plugged) return fakeusb::kErrorNoDevice;
  *handle = new libusb_device_handle{device};
  ++device->references;
  ++s.handles;
  s.record("open", device);
  return 0;
}

FAKEUSB_EXPORT void libusb_close(libusb_device_handle* handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!handle) return;
  s.record("close", handle->device);
  --handle->device->references;
  --s.handles;
  delete handle;
}

FAKEUSB_EXPORT int libusb_kernel_driver_active(libusb_device_handle* handle, int interfaceNumber) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (int e = s.injected("libusb_kernel_driver_active")) return e;
  libusb_device* d = handle->device;
  if (!d->plugged) return fakeusb::kErrorNoDevice;
  if (!validInterface(d, interfaceNumber)) return fakeusb::kErrorNotFound;
  return d->kernelDriver[static_cast<size_t>(interfaceNumber)] ? 1 : 0;
}

FAKEUSB_EXPORT int libusb_detach_kernel_driver(libusb_device_handle* handle, int interfaceNumber) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  libusb_device* d = handle->device;
  s.record("detach", d, interfaceNumber);
  if (int e = s.injected("libusb_detach_kernel_driver")) return e;
  if (!d->plugged) return fakeusb::kErrorNoDevice;
  if (!validInterface(d, interfaceNumber) || !d->kernelDriver[static_cast<size_t>(interfaceNumber)])
    return fakeusb::kErrorNotFound;
  d->kernelDriver[static_cast<size_t>(interfaceNumber)] = false;
  return 0;
}

FAKEUSB_EXPORT int libusb_attach_kernel_driver(libusb_device_handle* handle, int interfaceNumber) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  libusb_device* d = handle->device;
  s.record("attach", d, interfaceNumber);
  if (int e = s.injected("libusb_attach_kernel_driver")) return e;
  if (!d->plugged) return fakeusb::kErrorNoDevice;
  if (!validInterface(d, interfaceNumber)) return fakeusb::kErrorNotFound;
  if (d->kernelDriver[static_cast<size_t>(interfaceNumber)]) return fakeusb::kErrorBusy;
  d->kernelDriver[static_cast<size_t>(interfaceNumber)] = true;
  return 0;
}

#ifndef FAKEUSB_OMIT_CLAIM
FAKEUSB_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int interfaceNumber) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  libusb_device* d = handle->device;
  s.record("claim", d, interfaceNumber);
  if (int e = s.injected("libusb_claim_interface")) return e;
  if (!d->plugged) return fakeusb::kErrorNoDevice;
  if (!validInterface(d, interfaceNumber)) return fakeusb::kErrorNotFound;
  if (d->kernelDriver[static_cast<size_t>(interfaceNumber)]) return fakeusb::kErrorBusy;
  return 0;
}
#endif

FAKEUSB_EXPORT int libusb_release_interface(libusb_device_handle* handle, int interfaceNumber) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  libusb_device* d = handle->device;
  s.record("release", d, interfaceNumber);
  if (int e = s.injected("libusb_release_interface")) return e;
  if (!d->plugged) return fakeusb::kErrorNoDevice;
  return validInterface(d, interfaceNumber) ? 0 : fakeusb::kErrorNotFound;
}

FAKEUSB_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                      unsigned char* data, int length) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (int e = s.injected("libusb_get_string_descriptor_ascii")) return e;
  const libusb_device* d = handle->device;
  if (!d->plugged) return fakeusb::kErrorNoDevice;
  const std::string* text = index == 2 && !d->spec.product.empty()  ? &d->spec.product
                            : index == 3 && !d->spec.serial.empty() ? &d->spec.serial
                                                                     : nullptr;
  if (!text) return fakeusb::kErrorPipe;
  if (length <= 0) return fakeusb::kErrorInvalidParam;
  const size_t n = std::min(text->size(), static_cast<size_t>(length - 1));
  std::memcpy(data, text->data(), n);
  data[n] = 0;
  return static_cast<int>(n);
}

FAKEUSB_EXPORT int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                        unsigned char* data, int length, int* transferred,
                                        unsigned int timeout) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  *transferred = 0;
  libusb_device* d = handle->device;
  if (endpoint & 0x80) {
    s.inTimeout = timeout;
    s.inEndpoint = endpoint;
    if (int e = s.injected("libusb_bulk_transfer_in")) return e;
    // libusb takes 0 as "no time-out"; the stand-in caps every wait so a test cannot hang.
    const auto wait = std::chrono::milliseconds(timeout == 0 ? 10000 : std::min(timeout, 10000u));
    s.fed.wait_for(lock, wait, [&] { return !d->in.empty() || !d->plugged; });
    if (!d->plugged) return fakeusb::kErrorNoDevice;
    size_t n = std::min(d->in.size(), static_cast<size_t>(std::max(length, 0)));
    const bool timeOut = s.inTimeoutPending;
    if (timeOut) {
      n = std::min(n, s.inTimeoutAfter);
      s.inTimeoutPending = false;
    }
    std::copy_n(d->in.begin(), n, data);
    d->in.erase(d->in.begin(), d->in.begin() + static_cast<std::ptrdiff_t>(n));
    *transferred = static_cast<int>(n);
    return n == 0 || timeOut ? fakeusb::kErrorTimeout : 0;
  }
  s.outTimeout = timeout;
  s.outEndpoint = endpoint;
  ++s.outCount;
  if (int e = s.injected("libusb_bulk_transfer_out")) return e;
  if (!d->plugged) return fakeusb::kErrorNoDevice;
  if (s.outStalled) return fakeusb::kErrorTimeout;
  size_t n = static_cast<size_t>(std::max(length, 0));
  if (s.outChunk > 0) n = std::min(n, s.outChunk);
  d->out.insert(d->out.end(), data, data + n);
  *transferred = static_cast<int>(n);
  return 0;
}
