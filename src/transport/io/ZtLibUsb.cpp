#include "transport/io/ZtLibUsb.h"

const char* ZtLibUsb::s_overridePath = nullptr;

namespace {

template <typename F>
void resolve(const ZtLibraryLoader& loader, const char* name, F& target) {
  target = reinterpret_cast<F>(ZtLibraryLoader_resolve(&loader, name));
}

}  // namespace

ZtLibUsb::ZtLibUsb() {
  if (s_overridePath) {
    ZtLibraryLoader_load(&m_loader, s_overridePath);
  } else {
    static const char* const kNames[] = {"libusb-1.0.so", "libusb-1.0.so.0"};
    for (const char* name : kNames)
      if (ZtLibraryLoader_load(&m_loader, name)) break;
  }
  if (!isLoaded()) return;
  resolve(m_loader, "libusb_init", m_init);
  resolve(m_loader, "libusb_exit", m_exit);
  resolve(m_loader, "libusb_open", m_open);
  resolve(m_loader, "libusb_close", m_close);
  resolve(m_loader, "libusb_kernel_driver_active", m_kernelDriverActive);
  resolve(m_loader, "libusb_attach_kernel_driver", m_attachKernelDriver);
  resolve(m_loader, "libusb_detach_kernel_driver", m_detachKernelDriver);
  resolve(m_loader, "libusb_ref_device", m_refDevice);
  resolve(m_loader, "libusb_unref_device", m_unrefDevice);
  resolve(m_loader, "libusb_claim_interface", m_claimInterface);
  resolve(m_loader, "libusb_release_interface", m_releaseInterface);
  resolve(m_loader, "libusb_get_active_config_descriptor", m_getActiveConfigDescriptor);
  resolve(m_loader, "libusb_free_config_descriptor", m_freeConfigDescriptor);
  resolve(m_loader, "libusb_get_bus_number", m_getBusNumber);
  resolve(m_loader, "libusb_get_device", m_getDevice);
  resolve(m_loader, "libusb_get_device_address", m_getDeviceAddress);
  resolve(m_loader, "libusb_get_device_descriptor", m_getDeviceDescriptor);
  resolve(m_loader, "libusb_get_device_list", m_getDeviceList);
  resolve(m_loader, "libusb_free_device_list", m_freeDeviceList);
  resolve(m_loader, "libusb_get_string_descriptor_ascii", m_getStringDescriptorAscii);
  resolve(m_loader, "libusb_bulk_transfer", m_bulkTransfer);
  resolve(m_loader, "libusb_set_debug", m_setDebug);
}

bool ZtLibUsb::hasAllFunctions() const {
  return m_init && m_exit && m_open && m_close && m_kernelDriverActive && m_attachKernelDriver &&
         m_detachKernelDriver && m_refDevice && m_unrefDevice && m_claimInterface &&
         m_releaseInterface && m_getActiveConfigDescriptor && m_freeConfigDescriptor &&
         m_getBusNumber && m_getDevice && m_getDeviceAddress && m_getDeviceDescriptor &&
         m_getDeviceList && m_freeDeviceList && m_getStringDescriptorAscii && m_bulkTransfer;
}

ZtLibUsb::~ZtLibUsb() {
  if (isLoaded()) ZtLibraryLoader_unload(&m_loader);
}

int ZtLibUsb::init(libusb_context** context) {
  return m_init ? m_init(context) : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
void ZtLibUsb::exit(libusb_context* context) {
  if (m_exit) m_exit(context);
}
int ZtLibUsb::open(libusb_device* device, libusb_device_handle** handle) {
  return m_open ? m_open(device, handle) : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
void ZtLibUsb::close(libusb_device_handle* handle) {
  if (m_close) m_close(handle);
}
int ZtLibUsb::kernel_driver_active(libusb_device_handle* handle, int interfaceNumber) {
  return m_kernelDriverActive ? m_kernelDriverActive(handle, interfaceNumber)
                              : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
int ZtLibUsb::attach_kernel_driver(libusb_device_handle* handle, int interfaceNumber) {
  return m_attachKernelDriver ? m_attachKernelDriver(handle, interfaceNumber)
                              : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
int ZtLibUsb::detach_kernel_driver(libusb_device_handle* handle, int interfaceNumber) {
  return m_detachKernelDriver ? m_detachKernelDriver(handle, interfaceNumber)
                              : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
libusb_device* ZtLibUsb::ref_device(libusb_device* device) {
  return m_refDevice ? m_refDevice(device) : nullptr;
}
void ZtLibUsb::unref_device(libusb_device* device) {
  if (m_unrefDevice) m_unrefDevice(device);
}
int ZtLibUsb::claim_interface(libusb_device_handle* handle, int interfaceNumber) {
  return m_claimInterface ? m_claimInterface(handle, interfaceNumber) : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
int ZtLibUsb::release_interface(libusb_device_handle* handle, int interfaceNumber) {
  return m_releaseInterface ? m_releaseInterface(handle, interfaceNumber)
                            : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
int ZtLibUsb::get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config) {
  return m_getActiveConfigDescriptor ? m_getActiveConfigDescriptor(device, config)
                                     : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
void ZtLibUsb::free_config_descriptor(libusb_config_descriptor* config) {
  if (m_freeConfigDescriptor) m_freeConfigDescriptor(config);
}
uint8_t ZtLibUsb::get_bus_number(libusb_device* device) {
  return m_getBusNumber ? m_getBusNumber(device) : 0;
}
libusb_device* ZtLibUsb::get_device(libusb_device_handle* handle) {
  return m_getDevice ? m_getDevice(handle) : nullptr;
}
uint8_t ZtLibUsb::get_device_address(libusb_device* device) {
  return m_getDeviceAddress ? m_getDeviceAddress(device) : 0;
}
int ZtLibUsb::get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
  return m_getDeviceDescriptor ? m_getDeviceDescriptor(device, descriptor)
                               : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
ssize_t ZtLibUsb::get_device_list(libusb_context* context, libusb_device*** list) {
  return m_getDeviceList ? m_getDeviceList(context, list) : ssize_t{ZT_LIBUSB_ERROR_NOT_SUPPORTED};
}
void ZtLibUsb::free_device_list(libusb_device** list, int unrefDevices) {
  if (m_freeDeviceList) m_freeDeviceList(list, unrefDevices);
}
int ZtLibUsb::get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                          unsigned char* data, int length) {
  return m_getStringDescriptorAscii ? m_getStringDescriptorAscii(handle, index, data, length)
                                    : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
int ZtLibUsb::bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                            int length, int* transferred, unsigned int timeout) {
  return m_bulkTransfer ? m_bulkTransfer(handle, endpoint, data, length, transferred, timeout)
                        : ZT_LIBUSB_ERROR_NOT_SUPPORTED;
}
void ZtLibUsb::set_debug(libusb_context* context, int level) {
  if (m_setDebug) m_setDebug(context, level);
}
