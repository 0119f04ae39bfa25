#ifndef ZELTODEVICEAPI_ZTCONTROL_H
#define ZELTODEVICEAPI_ZTCONTROL_H
/* The control object: the application's entry point. It opens serial and USB ports and log
 * files (one master device each), finds and closes devices, applies a few settings to every
 * device, and passes the events of every device to the handlers registered on it.
 *
 * Conventions: those of zeltodeviceapi/ztdevice.h, with the control in place of the device. A
 * function that fails sets the control's last result (ZtControl_lastResult); an unexpected
 * failure inside the library (out of memory, say) gives the function's failure value and last
 * result ZRV_ERROR (256). ZtControl_version, ZtControl_libraryPath and ZtControl_resultText need
 * no control: the caller's result object comes first. Valid C99. */
#include <stddef.h>
#include <stdint.h>

#include "zttypes/ztarray.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmath.h"
#include "zttypes/ztmisc.h"
#include "zttypes/ztresult.h"
#include "zeltodeviceapi/zdaexport.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztdeviceenums.h"
#include "zeltodeviceapi/ztdevicetypes.h"

#ifdef __cplusplus
class ZtControl;
#else
/* Opaque: reached only through the ZtControl_* functions. */
typedef struct ZtControl ZtControl;
#endif

ZDA_BEGIN_DECLS

/* A new control, or null when it could not be made. */
ZDA_API ZtControl* ZtControl_construct(void);
/* Closes every device and frees the control; null does nothing. Not from inside a handler of
 * one of its devices: the devices closed from their own handlers are waited for here. */
ZDA_API void ZtControl_destruct(ZtControl* control);
ZDA_API void ZtControl_flushInputBuffers(ZtControl* control, int alsoWorkingCache);
/* The library version (4.1.0.0, as zdaDllVersion) into version. */
ZDA_API ZtVersion* ZtControl_version(ZtVersion* version);
/* The library's path (empty, as zdaDllPath) into path. */
ZDA_API ZtString* ZtControl_libraryPath(ZtString* path);
/* The text of a result code into text (empty for a code without text). */
ZDA_API ZtString* ZtControl_resultText(ZtString* text, ZtResultValue result);
/* As zdaSetLogPath. */
ZDA_API void ZtControl_setLogPath(ZtControl* control, const ZtString* path);
/* Every device to configuration (unless all are read from files), then all closed. Outside any
 * handler it also waits for the devices closed from inside their own handlers to end. */
ZDA_API void ZtControl_close(ZtControl* control);

/* ---- Opening and closing ---- */
/* Opens a serial port (/dev/ttyUSB0, a pseudo-terminal ...) or a USB device ("USB001:004") at
 * baudRate (a termios speed code such as B115200), brings the device to configuration within
 * timeoutMs milliseconds (0: the default) and makes its device object. 1 on success; a port
 * already open gives 1 with last result ZRV_ALREADYOPEN (269). 0 when the port cannot be opened
 * or nothing answers (last result from the port), or when no device class is built for the id
 * that answered (last result ZRV_ERROR, 256). detectRs485: any value other than 0 means yes. */
ZDA_API int ZtControl_openPort(ZtControl* control, const ZtString* portName, ZtBaudRate baudRate, uint32_t timeoutMs,
                               int detectRs485);
/* The same for a port found by ZtScanner_scanPorts (name and baud rate from portInfo). */
ZDA_API int ZtControl_openPort_1(ZtControl* control, const ZtPortInfo* portInfo, uint32_t timeoutMs);
ZDA_API int ZtControl_openImarPort_internal(ZtControl* control, const ZtString* portName, ZtBaudRate baudRate,
                                            int imarType, uint32_t timeoutMs);
/* Closes the port: its device leaves the control at once. From inside a handler that the device
 * (or its port) is raising, the call returns at once and the device is terminated and freed once
 * that handler's work has returned; no handler of the device is called after it is freed. */
ZDA_API void ZtControl_closePort(ZtControl* control, const ZtString* portName);
ZDA_API void ZtControl_closePort_1(ZtControl* control, ZtDeviceId deviceId);
ZDA_API void ZtControl_closePort_2(ZtControl* control, const ZtPortInfo* portInfo);
/* Opens a recorded log file as a device (its ZtDevice_loadLogFile plays it). 1 on success. */
ZDA_API int ZtControl_openLogFile(ZtControl* control, const ZtString* fileName);

/* ---- Results ---- */
ZDA_API ZtResultValue ZtControl_lastResult(ZtControl* control);
ZDA_API ZtString* ZtControl_lastResultText(ZtControl* control, ZtString* text);

/* ---- Devices ---- */
/* Masters and their children. */
ZDA_API int ZtControl_deviceCount(ZtControl* control);
/* Masters (one per open port or log file). */
ZDA_API int ZtControl_mainDeviceCount(ZtControl* control);
/* Id lists into a ZtDeviceIdArray (constructed with g_ztUInt32ArrayDescriptor). */
ZDA_API ZtDeviceIdArray* ZtControl_mainDeviceIds(ZtControl* control, ZtDeviceIdArray* ids);
/* Motion trackers: a master that is one counts 1, any other master its children. */
ZDA_API int ZtControl_ktCount(ZtControl* control);
ZDA_API ZtDeviceIdArray* ZtControl_ktDeviceIds(ZtControl* control, ZtDeviceIdArray* ids);
ZDA_API ZtDeviceIdArray* ZtControl_deviceIds(ZtControl* control, ZtDeviceIdArray* ids);
/* The tracker with that location id (low 16 bits used), 0 when none. */
ZDA_API ZtDeviceId* ZtControl_getDeviceIdFromLocationId(ZtControl* control, ZtDeviceId* id, int locationId);
ZDA_API ZtDeviceId* ZtControl_dockDeviceId(ZtControl* control, ZtDeviceId* id, ZtDeviceId deviceId);
ZDA_API int ZtControl_isDeviceWireless(ZtControl* control, ZtDeviceId deviceId);
ZDA_API int ZtControl_isDeviceDocked(ZtControl* control, ZtDeviceId deviceId);
/* The device with that id (the broadcast device for the broadcast id; id 0: the first master);
 * null when none has it (last result ZRV_NOTAVAILABLE 264, or ZRV_PORTCLOSED 289 when no device
 * is open). */
ZDA_API ZtDevice* ZtControl_device(ZtControl* control, ZtDeviceId deviceId);
/* The masters in list order into a ZtDevicePtrArray (g_ztDevicePtrArrayDescriptor). */
ZDA_API ZtDevicePtrArray* ZtControl_mainDevices(ZtControl* control, ZtDevicePtrArray* devices);
/* The device that forwards each call to every master device. */
ZDA_API ZtDevice* ZtControl_broadcast(ZtControl* control);

/* ---- Settings for every device ---- */
ZDA_API void ZtControl_setQueueMode(ZtControl* control, ZtQueueMode mode);
ZDA_API ZtQueueMode ZtControl_queueMode(ZtControl* control);
/* "" reloads the built-in filter profiles; a ".zsa" file is read as text. */
ZDA_API int ZtControl_loadFilterProfiles(ZtControl* control, const ZtString* fileName);
ZDA_API void ZtControl_setOptionEnabled(ZtControl* control, ZtOption option, int enabled);
ZDA_API int ZtControl_isOptionEnabled(ZtControl* control, ZtOption option);
/* Latitude (deg), longitude (deg), altitude (m): at least three elements. */
ZDA_API int ZtControl_setLatLonAlt(ZtControl* control, const ZtVector* latLonAlt);
/* ZRV_OK, or why the open devices are not synchronised (295, 296, 297, 256). */
ZDA_API ZtResultValue ZtControl_testSynchronization(ZtControl* control);

/* ---- Event handlers: with chain set, every device below the control takes the change too. The
 * handler table must stay valid until it is removed. ---- */
ZDA_API void ZtControl_clearCallbackHandlers(ZtControl* control, int chain);
ZDA_API void ZtControl_addCallbackHandler(ZtControl* control, ZtCallbackPlainC* handler, int chain);
ZDA_API void ZtControl_removeCallbackHandler(ZtControl* control, ZtCallbackPlainC* handler, int chain);

ZDA_END_DECLS

#endif
