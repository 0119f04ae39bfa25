#include "transport/io/UsbEnumeration.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/io/ZtLibUsb.h"

namespace {

// Reads string descriptor index as NUL-terminated ASCII into buffer; false on failure.
bool readString(ZtLibUsb& usb, libusb_device_handle* handle, uint8_t index, char (&buffer)[256]) {
  buffer[0] = '\0';
  if (index == 0) return false;
  const int r = usb.get_string_descriptor_ascii(handle, index,
                                                reinterpret_cast<unsigned char*>(buffer),
                                                static_cast<int>(sizeof buffer));
  if (r < 0) return false;
  buffer[r < static_cast<int>(sizeof buffer) ? r : static_cast<int>(sizeof buffer) - 1] = '\0';
  return true;
}

// The serial-number string read as hexadecimal; 0 when it does not parse or exceeds 32 bits.
uint32_t parseDeviceId(const char* serial) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(serial, &end, 16);
  if (end == serial || errno != 0 || value > 0xFFFFFFFFull) return 0;
  return static_cast<uint32_t>(value);
}

bool anyKernelDriver(ZtLibUsb& usb, libusb_device_handle* handle, int interfaceCount) {
  for (int i = 0; i < interfaceCount; ++i)
    if (usb.kernel_driver_active(handle, i) == 1) return true;
  return false;
}

}  // namespace

bool ztEnumerateUsbDevices(ZtPortInfoArray& ports) {
  ZtLibUsb usb;
  libusb_context* context = nullptr;
  // A library lacking a function could list devices that then fail to open.
  if (!usb.hasAllFunctions() || usb.init(&context) != 0) return true;

  libusb_device** list = nullptr;
  const ssize_t count = usb.get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* device = list[i];
    libusb_device_descriptor descriptor;
    if (usb.get_device_descriptor(device, &descriptor) != 0) continue;
    if (descriptor.idVendor != kZeltoUsbVendorId && descriptor.idVendor != kBridgeUsbVendorId)
      continue;
    libusb_device_handle* handle = nullptr;
    if (usb.open(device, &handle) != 0 || !handle) continue;

    char serial[256];
    readString(usb, handle, descriptor.iSerialNumber, serial);
    bool usable = true;
    if (descriptor.idVendor == kBridgeUsbVendorId && descriptor.idProduct == kBridgeProductChecked) {
      char product[256];
      usable = readString(usb, handle, descriptor.iProduct, product) &&
               std::strcmp(product, kBridgeProductString) == 0;
    }
    libusb_config_descriptor* config = nullptr;
    if (usable && usb.get_active_config_descriptor(device, &config) == 0 && config) {
      // A kernel driver on any interface means a serial driver serves the device; the serial
      // enumeration lists it.
      usable = !anyKernelDriver(usb, handle, config->bNumInterfaces);
      usb.free_config_descriptor(config);
    } else {
      usable = false;
    }
    if (usable) {
      ZtPortInfo info;
      std::memset(&info, 0, sizeof info);
      std::snprintf(info.portName, sizeof info.portName, "USB%03u:%03u",
                    static_cast<unsigned>(usb.get_bus_number(device)),
                    static_cast<unsigned>(usb.get_device_address(device)));
      info.deviceId = parseDeviceId(serial);
      info.baudRate = 0;
      ZtArray_append(ZTARRAY(&ports), 1, &info);
    }
    usb.close(handle);
  }
  if (count >= 0 && list) usb.free_device_list(list, 1);
  usb.exit(context);
  return count >= 0;
}
