#pragma once
// libusb-1.0 loaded at run time: the library is not linked, so the device library still loads
// and serves serial ports on a system without it. Every function is resolved by name; a missing
// one answers LIBUSB_ERROR_NOT_SUPPORTED (or null / 0 / nothing).
#include <sys/types.h>

#include <cstdint>

#include "zttypes/ztmisc.h"

// The parts of the libusb-1.0 ABI this library uses (the development headers need not be
// installed). Layouts follow libusb's public descriptor structures.
extern "C" {
struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

struct libusb_device_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
};

struct libusb_endpoint_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bEndpointAddress;
  uint8_t bmAttributes;
  uint16_t wMaxPacketSize;
  uint8_t bInterval;
  uint8_t bRefresh;
  uint8_t bSynchAddress;
  const unsigned char* extra;
  int extra_length;
};

struct libusb_interface_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
  const struct libusb_endpoint_descriptor* endpoint;
  const unsigned char* extra;
  int extra_length;
};

struct libusb_interface {
  const struct libusb_interface_descriptor* altsetting;
  int num_altsetting;
};

struct libusb_config_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t wTotalLength;
  uint8_t bNumInterfaces;
  uint8_t bConfigurationValue;
  uint8_t iConfiguration;
  uint8_t bmAttributes;
  uint8_t MaxPower;
  const struct libusb_interface* interface;
  const unsigned char* extra;
  int extra_length;
};
}

// libusb status values this library distinguishes.
enum ZtLibUsbError : int {
  ZT_LIBUSB_SUCCESS = 0,
  ZT_LIBUSB_ERROR_IO = -1,
  ZT_LIBUSB_ERROR_INVALID_PARAM = -2,
  ZT_LIBUSB_ERROR_ACCESS = -3,
  ZT_LIBUSB_ERROR_NO_DEVICE = -4,
  ZT_LIBUSB_ERROR_NOT_FOUND = -5,
  ZT_LIBUSB_ERROR_BUSY = -6,
  ZT_LIBUSB_ERROR_TIMEOUT = -7,
  ZT_LIBUSB_ERROR_OVERFLOW = -8,
  ZT_LIBUSB_ERROR_PIPE = -9,
  ZT_LIBUSB_ERROR_INTERRUPTED = -10,
  ZT_LIBUSB_ERROR_NO_MEM = -11,
  ZT_LIBUSB_ERROR_NOT_SUPPORTED = -12,
  ZT_LIBUSB_ERROR_OTHER = -99,
};

class ZtLibUsb {
 public:
  ZtLibUsb();
  ~ZtLibUsb();
  ZtLibUsb(const ZtLibUsb&) = delete;
  ZtLibUsb& operator=(const ZtLibUsb&) = delete;

  bool isLoaded() const { return ZtLibraryLoader_isLoaded(&m_loader) != 0; }
  // Every function the USB ports and the enumeration call was resolved (libusb_set_debug, which
  // nothing needs, aside). A library lacking one is not used at all: its ports fail with 257
  // instead of half-working.
  bool hasAllFunctions() const;

  int init(libusb_context** context);
  void exit(libusb_context* context);
  int open(libusb_device* device, libusb_device_handle** handle);
  void close(libusb_device_handle* handle);
  int kernel_driver_active(libusb_device_handle* handle, int interfaceNumber);
  int attach_kernel_driver(libusb_device_handle* handle, int interfaceNumber);
  int detach_kernel_driver(libusb_device_handle* handle, int interfaceNumber);
  libusb_device* ref_device(libusb_device* device);
  void unref_device(libusb_device* device);
  int claim_interface(libusb_device_handle* handle, int interfaceNumber);
  int release_interface(libusb_device_handle* handle, int interfaceNumber);
  int get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config);
  void free_config_descriptor(libusb_config_descriptor* config);
  uint8_t get_bus_number(libusb_device* device);
  libusb_device* get_device(libusb_device_handle* handle);
  uint8_t get_device_address(libusb_device* device);
  int get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor);
  ssize_t get_device_list(libusb_context* context, libusb_device*** list);
  void free_device_list(libusb_device** list, int unrefDevices);
  int get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                  int length);
  int bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                    int length, int* transferred, unsigned int timeout);
  void set_debug(libusb_context* context, int level);

 private:
  friend class ZtLibUsbTestAccess;  // test seam: points the loader at a stand-in library

  // File names tried in order: the development name first, then the run-time soname that
  // every installation has. A test may replace the list with one path (s_overridePath).
  static const char* s_overridePath;

  ZtLibraryLoader m_loader = {};
  int (*m_init)(libusb_context**) = nullptr;
  void (*m_exit)(libusb_context*) = nullptr;
  int (*m_open)(libusb_device*, libusb_device_handle**) = nullptr;
  void (*m_close)(libusb_device_handle*) = nullptr;
  int (*m_kernelDriverActive)(libusb_device_handle*, int) = nullptr;
  int (*m_attachKernelDriver)(libusb_device_handle*, int) = nullptr;
  int (*m_detachKernelDriver)(libusb_device_handle*, int) = nullptr;
  libusb_device* (*m_refDevice)(libusb_device*) = nullptr;
  void (*m_unrefDevice)(libusb_device*) = nullptr;
  int (*m_claimInterface)(libusb_device_handle*, int) = nullptr;
  int (*m_releaseInterface)(libusb_device_handle*, int) = nullptr;
  int (*m_getActiveConfigDescriptor)(libusb_device*, libusb_config_descriptor**) = nullptr;
  void (*m_freeConfigDescriptor)(libusb_config_descriptor*) = nullptr;
  uint8_t (*m_getBusNumber)(libusb_device*) = nullptr;
  libusb_device* (*m_getDevice)(libusb_device_handle*) = nullptr;
  uint8_t (*m_getDeviceAddress)(libusb_device*) = nullptr;
  int (*m_getDeviceDescriptor)(libusb_device*, libusb_device_descriptor*) = nullptr;
  ssize_t (*m_getDeviceList)(libusb_context*, libusb_device***) = nullptr;
  void (*m_freeDeviceList)(libusb_device**, int) = nullptr;
  int (*m_getStringDescriptorAscii)(libusb_device_handle*, uint8_t, unsigned char*, int) = nullptr;
  int (*m_bulkTransfer)(libusb_device_handle*, unsigned char, unsigned char*, int, int*,
                        unsigned int) = nullptr;
  void (*m_setDebug)(libusb_context*, int) = nullptr;
};
