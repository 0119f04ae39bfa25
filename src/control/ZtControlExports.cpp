// The ZtControl_* functions of the C interface: one wrapper per control operation, each through
// the C boundary guards (control/CBoundary.h), which set lastResult ZRV_ERROR on the control when
// an operation throws.
#include <new>

#include "control/CBoundary.h"
#include "control/ZtControl.h"
#include "control/BroadcastDevice.h"
#include "zeltodeviceapi/zdalibrary.h"
#include "zeltodeviceapi/ztcontrol.h"

using namespace zelto::cabi;

namespace {
// The static forms have no control to tell.
ZtControl* const kNoControl = nullptr;
}  // namespace

// Any exception from the constructor gives null: an application cannot catch it from C.
ZDA_API ZtControl* ZtControl_construct(void) {
  return call<ZtControl*>(__func__, kNoControl, nullptr, [] { return new ZtControl(); });
}

ZDA_API void ZtControl_destruct(ZtControl* control) { delete control; }

ZDA_API void ZtControl_flushInputBuffers(ZtControl* control, int alsoWorkingCache) {
  callVoid(__func__, control, [&] { control->flushInputBuffers(alsoWorkingCache != 0); });
}

ZDA_API ZtVersion* ZtControl_version(ZtVersion* version) {
  zdaDllVersion(version);
  return version;
}

ZDA_API ZtString* ZtControl_libraryPath(ZtString* path) {
  zdaDllPath(path);
  return path;
}

ZDA_API ZtString* ZtControl_resultText(ZtString* text, ZtResultValue result) {
  return callOut(__func__, kNoControl, text, [&] {
    const char* t = ZtResultValue_toString(result);
    ZtString_assignCharArray(text, t ? t : "");
  });
}

ZDA_API void ZtControl_setLogPath(ZtControl* control, const ZtString* path) {
  callVoid(__func__, control, [&] { control->setLogPath(*path); });
}

ZDA_API void ZtControl_close(ZtControl* control) {
  callVoid(__func__, control, [&] { control->close(); });
}

ZDA_API int ZtControl_openPort(ZtControl* control, const ZtString* portName, ZtBaudRate baudRate, uint32_t timeoutMs,
                               int detectRs485) {
  return call<int>(__func__, control, 0,
                   [&] { return asInt(control->openPort(*portName, baudRate, timeoutMs, detectRs485 != 0)); });
}

ZDA_API int ZtControl_openPort_1(ZtControl* control, const ZtPortInfo* portInfo, uint32_t timeoutMs) {
  return call<int>(__func__, control, 0, [&] { return asInt(control->openPort(*portInfo, timeoutMs)); });
}

ZDA_API int ZtControl_openImarPort_internal(ZtControl* control, const ZtString* portName, ZtBaudRate baudRate,
                                            int imarType, uint32_t timeoutMs) {
  return call<int>(__func__, control, 0,
                   [&] { return asInt(control->openImarPort_internal(*portName, baudRate, imarType, timeoutMs)); });
}

ZDA_API void ZtControl_closePort(ZtControl* control, const ZtString* portName) {
  callVoid(__func__, control, [&] { control->closePort(*portName); });
}

ZDA_API void ZtControl_closePort_1(ZtControl* control, ZtDeviceId deviceId) {
  callVoid(__func__, control, [&] { control->closePort(deviceId); });
}

ZDA_API void ZtControl_closePort_2(ZtControl* control, const ZtPortInfo* portInfo) {
  callVoid(__func__, control, [&] { control->closePort(*portInfo); });
}

ZDA_API int ZtControl_openLogFile(ZtControl* control, const ZtString* fileName) {
  return call<int>(__func__, control, 0, [&] { return asInt(control->openLogFile(*fileName)); });
}

ZDA_API ZtResultValue ZtControl_lastResult(ZtControl* control) { return control->lastResult(); }

ZDA_API ZtString* ZtControl_lastResultText(ZtControl* control, ZtString* text) {
  return callOut(__func__, control, text, [&] {
    Taken<ZtString, ZtString_destruct> t{control->lastResultText()};
    ZtString_assignCharArray(text, ZtString_c_str(&t.value));
  });
}

ZDA_API int ZtControl_deviceCount(ZtControl* control) {
  return call<int>(__func__, control, 0, [&] { return control->deviceCount(); });
}

ZDA_API int ZtControl_mainDeviceCount(ZtControl* control) {
  return call<int>(__func__, control, 0, [&] { return static_cast<int>(control->mainDeviceCount()); });
}

ZDA_API ZtDeviceIdArray* ZtControl_mainDeviceIds(ZtControl* control, ZtDeviceIdArray* ids) {
  return callOut(__func__, control, ids, [&] { assignArray(ids, control->mainDeviceIds()); });
}

ZDA_API int ZtControl_ktCount(ZtControl* control) {
  return call<int>(__func__, control, 0, [&] { return control->ktCount(); });
}

ZDA_API ZtDeviceIdArray* ZtControl_ktDeviceIds(ZtControl* control, ZtDeviceIdArray* ids) {
  return callOut(__func__, control, ids, [&] { assignArray(ids, control->ktDeviceIds()); });
}

ZDA_API ZtDeviceIdArray* ZtControl_deviceIds(ZtControl* control, ZtDeviceIdArray* ids) {
  return callOut(__func__, control, ids, [&] { assignArray(ids, control->deviceIds()); });
}

ZDA_API ZtDeviceId* ZtControl_getDeviceIdFromLocationId(ZtControl* control, ZtDeviceId* id, int locationId) {
  return callOut(__func__, control, id,
                 [&] { *id = control->getDeviceIdFromLocationId(static_cast<uint16_t>(locationId & 0xFFFF)); });
}

ZDA_API ZtDeviceId* ZtControl_dockDeviceId(ZtControl* control, ZtDeviceId* id, ZtDeviceId deviceId) {
  return callOut(__func__, control, id, [&] { *id = control->dockDeviceId(deviceId); });
}

ZDA_API int ZtControl_isDeviceWireless(ZtControl* control, ZtDeviceId deviceId) {
  return call<int>(__func__, control, 0, [&] { return asInt(control->isDeviceWireless(deviceId)); });
}

ZDA_API int ZtControl_isDeviceDocked(ZtControl* control, ZtDeviceId deviceId) {
  return call<int>(__func__, control, 0, [&] { return asInt(control->isDeviceDocked(deviceId)); });
}

// Any mode is stored and handed on (an unknown one fills no ready cache).
ZDA_API void ZtControl_setQueueMode(ZtControl* control, ZtQueueMode mode) {
  callVoid(__func__, control, [&] { control->setQueueMode(mode); });
}

ZDA_API ZtQueueMode ZtControl_queueMode(ZtControl* control) { return control->queueMode(); }

ZDA_API int ZtControl_loadFilterProfiles(ZtControl* control, const ZtString* fileName) {
  return call<int>(__func__, control, 0, [&] { return asInt(control->loadFilterProfiles(*fileName)); });
}

ZDA_API void ZtControl_setOptionEnabled(ZtControl* control, ZtOption option, int enabled) {
  if (!isOption(option)) return;  // changes nothing, forwards nothing
  callVoid(__func__, control, [&] { control->setOptionEnabled(option, enabled != 0); });
}

ZDA_API int ZtControl_isOptionEnabled(ZtControl* control, ZtOption option) {
  if (!isOption(option)) return 0;
  return call<int>(__func__, control, 0, [&] { return asInt(control->isOptionEnabled(option)); });
}

ZDA_API int ZtControl_setLatLonAlt(ZtControl* control, const ZtVector* latLonAlt) {
  return call<int>(__func__, control, 0, [&] { return asInt(control->setLatLonAlt(*latLonAlt)); });
}

ZDA_API ZtDevice* ZtControl_device(ZtControl* control, ZtDeviceId deviceId) {
  return call<ZtDevice*>(__func__, control, nullptr, [&] { return control->device(deviceId); });
}

ZDA_API ZtDevicePtrArray* ZtControl_mainDevices(ZtControl* control, ZtDevicePtrArray* devices) {
  return callOut(__func__, control, devices, [&] {
    Taken<ZtDevicePtrArray, destructArray> masters{control->mainDevices()};
    assignArray(devices, masters.value);
  });
}

ZDA_API ZtDevice* ZtControl_broadcast(ZtControl* control) {
  return call<ZtDevice*>(__func__, control, nullptr, [&] { return control->broadcastDevice(); });
}

ZDA_API ZtResultValue ZtControl_testSynchronization(ZtControl* control) {
  return call<ZtResultValue>(__func__, control, ZRV_ERROR, [&] { return control->testSynchronization(); });
}

ZDA_API void ZtControl_clearCallbackHandlers(ZtControl* control, int chain) {
  callVoid(__func__, control, [&] { control->clearCallbackHandlers(chain != 0); });
}

ZDA_API void ZtControl_addCallbackHandler(ZtControl* control, ZtCallbackPlainC* handler, int chain) {
  callVoid(__func__, control, [&] { control->addCallbackHandler(handler, chain != 0); });
}

ZDA_API void ZtControl_removeCallbackHandler(ZtControl* control, ZtCallbackPlainC* handler, int chain) {
  callVoid(__func__, control, [&] { control->removeCallbackHandler(handler, chain != 0); });
}
