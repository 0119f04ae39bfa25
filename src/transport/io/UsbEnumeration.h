#pragma once
// Lists the USB devices the library can open as ports (no kernel driver bound to them).
#include <cstdint>

#include "zttypes/ztmisc.h"

// The maker's USB vendor id.
constexpr uint16_t kZeltoUsbVendorId = 0x3E1C;
// A bridge vendor whose product 0x2307 is ours only when its product string says so.
constexpr uint16_t kBridgeUsbVendorId = 0x03EB;
constexpr uint16_t kBridgeProductChecked = 0x2307;
constexpr const char* kBridgeProductString = "Zelto COM port";

// Appends one port info ("USB%03u:%03u" of bus and address, device id from the serial-number
// string in hex, baud rate 0) per usable device. Uses a libusb context of its own. False only
// when libusb runs and its device list fails. Without libusb, with one that lacks a function or
// one that cannot start (no USB file system, as in containers) nothing is listed and the result
// is true: such a machine must still have its serial ports probed.
bool ztEnumerateUsbDevices(ZtPortInfoArray& ports);
