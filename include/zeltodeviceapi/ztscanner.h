#ifndef ZELTODEVICEAPI_ZTSCANNER_H
#define ZELTODEVICEAPI_ZTSCANNER_H
/* Port scanner: lists the serial and USB ports, probes them for a tracker (its baud rate and
 * device id) before the application opens them, and finds the USB hub a port sits under.
 *
 * Every array and hub info passed in must be constructed (ZtArray_construct with
 * g_ztPortInfoArrayDescriptor, ZtUsbHubInfo_construct); the results are copied into it.
 * A baud rate is a termios speed code (B115200 ...); 0 tries the series 115200, 2000000,
 * 921600, 460800, 230400, 57600, 38400, 19200 and 9600 bit/s. A time-out of 0 takes the default
 * time-out for a device to acknowledge the switch to configuration (150 ms). The functions run
 * on the calling thread; ZtScanner_abortScan may be called from any thread. Valid C99. */
#include "zttypes/ztmisc.h"
#include "zeltodeviceapi/zdaexport.h"
#include "zeltodeviceapi/ztdevicetypes.h"

ZDA_BEGIN_DECLS

/* Lists the serial ports (ignoreNonZeltoDevices: only those of the maker's USB adapters, when
 * libudev can tell) and the USB devices, probes them all and keeps those that answer, sorted by
 * name, with device id and baud rate. After an abort the list is partly probed and unsorted;
 * after a failed enumeration it holds the ports listed so far, unprobed. */
ZDA_API void ZtScanner_scanPorts(ZtPortInfoArray* ports, ZtBaudRate baudRate, uint32_t timeoutMs,
                                 int ignoreNonZeltoDevices, int detectRs485);
/* Probes each port of the list and keeps those that answer, sorted by name, with device id and
 * baud rate; the list is emptied when none answers or the scan was aborted. Clears the abort
 * flag when it returns. */
ZDA_API void ZtScanner_filterResponsiveDevices(ZtPortInfoArray* ports, ZtBaudRate baudRate, uint32_t timeoutMs,
                                               int detectRs485);
/* Probes the port named in port: 1 when a device answered (device id and baud rate filled in),
 * else 0. Returns 0 at once, without touching the port, while the abort flag is set. */
ZDA_API int ZtScanner_scanPort(ZtPortInfo* port, ZtBaudRate baudRate, uint32_t timeoutMs, int detectRs485);
/* The serial ports without probing (device id and baud rate 0). */
ZDA_API void ZtScanner_enumerateSerialPorts(ZtPortInfoArray* ports, int ignoreNonZeltoDevices);
/* The USB devices the library can open as ports ("USB%03u:%03u" of bus and address). */
ZDA_API void ZtScanner_enumerateUsbDevices(ZtPortInfoArray* ports);
/* The sysfs device path of the USB device that carries the port, or no path. */
ZDA_API void ZtScanner_scanUsbHub(ZtUsbHubInfo* hub, const ZtPortInfo* port);
/* Stops a scan in progress (any thread). The flag stays set, and ZtScanner_scanPort keeps
 * refusing, until the next probing of a list ends (ZtScanner_filterResponsiveDevices, or
 * ZtScanner_scanPorts once its enumeration succeeded). */
ZDA_API void ZtScanner_abortScan(void);

ZDA_END_DECLS
#endif
