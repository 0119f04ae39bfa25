#ifndef ZELTODEVICEAPI_ZTDATABUNDLER_H
#define ZELTODEVICEAPI_ZTDATABUNDLER_H
/* Data bundler: lines up the data packets of several devices that belong to one sample (equal
 * packet ids) and hands them to the application as one bundle per sample.
 *
 * Use: construct, register a handler (ZtDataBundler_addCallbackHandler), add the devices, put
 * them in measurement. For each complete real-time bundle the handler's m_onDataAvailable is
 * called, and for each complete recording bundle its m_onWriteDataToLogFile, both with a null
 * device and a null packet; inside that call ZtDataBundler_count, _at and _packet read the
 * bundle. The packets belong to the bundler and are valid only during the call. Older bundles
 * that can no longer complete are dropped without a call.
 *
 * Threads: handlers run on the device thread whose packet completed the bundle, one bundle at a
 * time per bundler; a handler may call any ZtDataBundler function. _count, _at and _packet answer
 * only on that thread during the handler (0 / null elsewhere). ZtDataBundler_destruct waits until
 * no device event is still running in the bundler; do not call it from a handler. Valid C99. */
#include <stdint.h>

#include "zeltodeviceapi/zdaexport.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zttypes/ztdatapacket.h"
#include "zttypes/ztdeviceid.h"

ZDA_BEGIN_DECLS

/* A new bundler without devices or handlers; null when it could not be made. */
ZDA_API ZtDataBundler* ZtDataBundler_construct(void);
/* Removes every device and frees the bundler; null does nothing. */
ZDA_API void ZtDataBundler_destruct(ZtDataBundler* thisPtr);
/* Handlers of the bundler itself (chain: also those of managers chained below it). */
ZDA_API void ZtDataBundler_clearCallbackHandlers(ZtDataBundler* thisPtr, int chain);
ZDA_API void ZtDataBundler_addCallbackHandler(ZtDataBundler* thisPtr, ZtCallbackPlainC* cb, int chain);
ZDA_API void ZtDataBundler_removeCallbackHandler(ZtDataBundler* thisPtr, ZtCallbackPlainC* cb, int chain);
/* The bundler's own event table, to register it as a handler on a control or device: the events
 * it receives there go to its handlers unchanged. */
ZDA_API ZtCallbackPlainC* ZtDataBundler_toCallbackPlainC(ZtDataBundler* thisPtr);
/* Takes the device's packets into the bundles from now on; a device already added is ignored.
 * A bundle completes when every added device contributed to it. */
ZDA_API void ZtDataBundler_addDevice(ZtDataBundler* thisPtr, ZtDevice* device);
/* Stops taking the device's packets; null removes every device. */
ZDA_API void ZtDataBundler_removeDevice(ZtDataBundler* thisPtr, ZtDevice* device);
/* The bundle's packet of the device with that id; null when none or outside a handler. */
ZDA_API ZtDataPacket* ZtDataBundler_packet(ZtDataBundler* thisPtr, const ZtDeviceId* deviceId);
/* The bundle's packet at index, in arrival order; null past the last or outside a handler. */
ZDA_API ZtDataPacket* ZtDataBundler_at(ZtDataBundler* thisPtr, uint32_t index);
/* Packets in the bundle being delivered; 0 outside a handler. */
ZDA_API uint32_t ZtDataBundler_count(ZtDataBundler* thisPtr);

ZDA_END_DECLS
#endif
