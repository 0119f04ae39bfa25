#pragma once
// Port scanner: lists candidate ports (libudev, else the device directory, plus the USB devices
// libusb can open), probes each with a short-lived Communicator of its own and keeps those where
// a device answers, and finds the USB hub path of a port. Everything runs on the calling thread;
// only the abort flag is shared, set from any thread and cleared when a filter run ends.
#include <atomic>
#include <cstdint>

#include "zeltodeviceapi/ztdevicetypes.h"
#include "zttypes/ztmisc.h"
#include "zttypes/ztresult.h"

namespace ZtScannerNamespace {

// Set by ZtScanner_abortScan; tested between probes; cleared when ztFilterResponsiveDevices
// returns. Two scans on different threads share it.
extern std::atomic<bool> abortPortScan;

// The baud-rate series of a probe with rate 0, in order; a pause follows the fifth rate.
constexpr ZtBaudRate kBaudRateSeries[] = {0x1002, 0x100B, 0x1007, 0x1004, 0x1003, 0x1001, 0xF, 0xE, 0xD};
constexpr unsigned kSeriesPauseAfter = 5;
constexpr unsigned kSeriesPauseMs = 100;
// Time a device gets to restart after the reset message.
constexpr unsigned kResetPauseMs = 2000;

// Opens the port of info at its baud rate, brings the device to configuration and reads its
// device id into info. A device-side error (result up to 255) gets one reset and reopen.
// Returns 0 when a device answered, else the link's result.
ZtResultValue fetchBasicInfo(ZtPortInfo& info, uint32_t timeoutMs, bool detectRs485);
// One rate, or the series for rate 0 (moving on only for 258, 259 and 293). True when a device
// answered; info then holds the rate that worked and the device id.
bool ztScanPort(ZtPortInfo& info, ZtBaudRate baudRate, uint32_t timeoutMs, bool detectRs485);
// Appends the serial ports (device id and baud rate 0). False when neither libudev nor the
// device directory can be read.
bool ztEnumerateSerialPorts(ZtPortInfoArray& ports, bool ignoreNonZeltoDevices);
// The devpath of the USB device carrying the port; no path when there is none or no libudev.
// The caller destructs the result.
ZtUsbHubInfo ztScanUsbHub(const ZtPortInfo& port);
// Probes every port, erasing those that do not answer, and sorts the rest by name. False when
// aborted: the list then holds the answered ports and those not yet probed, in their order.
bool ztFilterResponsiveDevices(ZtPortInfoArray& ports, ZtBaudRate baudRate, uint32_t timeoutMs,
                               bool detectRs485);
// Empties ports, lists serial and USB ports and, when both listings worked, filters them.
bool ztScanPorts(ZtPortInfoArray& ports, ZtBaudRate baudRate, uint32_t timeoutMs, bool ignoreNonZeltoDevices,
                 bool detectRs485);

// Test seam: the directory listed when libudev is missing, with its trailing '/'.
extern const char* deviceDirectory;

}  // namespace ZtScannerNamespace
