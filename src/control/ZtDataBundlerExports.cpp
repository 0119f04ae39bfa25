// C interface of the data bundler, through the C boundary: no exception crosses it. A failing
// constructor gives null, the other calls do nothing (or give null / 0); a bundler has no owner to
// tell of a failure, the journal has it.
#include <exception>

#include "control/CBoundary.h"
#include "control/ZtDataBundler.h"
#include "device/ZtDevice.h"
#include "errors/ZtException.h"
#include "zeltodeviceapi/ztdatabundler.h"

namespace {

using zelto::cabi::call;
using zelto::cabi::callVoid;

// The owner told of a failure: none (a bundler belongs to the application alone).
ZtControl* const kNoOwner = nullptr;

}  // namespace

extern "C" {

ZtDataBundler* ZtDataBundler_construct(void) {
  return call<ZtDataBundler*>(__func__, kNoOwner, nullptr, [] { return new ZtDataBundler(); });
}

void ZtDataBundler_destruct(ZtDataBundler* thisPtr) {
  if (thisPtr) callVoid(__func__, kNoOwner, [thisPtr] { delete thisPtr; });
}

void ZtDataBundler_clearCallbackHandlers(ZtDataBundler* thisPtr, int chain) {
  if (thisPtr) callVoid(__func__, kNoOwner, [&] { thisPtr->clearCallbackHandlers(chain != 0); });
}

void ZtDataBundler_addCallbackHandler(ZtDataBundler* thisPtr, ZtCallbackPlainC* cb, int chain) {
  if (thisPtr) callVoid(__func__, kNoOwner, [&] { thisPtr->addCallbackHandler(cb, chain != 0); });
}

void ZtDataBundler_removeCallbackHandler(ZtDataBundler* thisPtr, ZtCallbackPlainC* cb, int chain) {
  if (thisPtr) callVoid(__func__, kNoOwner, [&] { thisPtr->removeCallbackHandler(cb, chain != 0); });
}

ZtCallbackPlainC* ZtDataBundler_toCallbackPlainC(ZtDataBundler* thisPtr) {
  return thisPtr ? thisPtr->toCallbackPlainC() : nullptr;
}

void ZtDataBundler_addDevice(ZtDataBundler* thisPtr, ZtDevice* device) {
  if (thisPtr) callVoid(__func__, kNoOwner, [&] { thisPtr->addDevice(device); });
}

void ZtDataBundler_removeDevice(ZtDataBundler* thisPtr, ZtDevice* device) {
  if (thisPtr) callVoid(__func__, kNoOwner, [&] { thisPtr->removeDevice(device); });
}

ZtDataPacket* ZtDataBundler_packet(ZtDataBundler* thisPtr, const ZtDeviceId* deviceId) {
  if (!thisPtr || !deviceId) return nullptr;
  return call<ZtDataPacket*>(__func__, kNoOwner, nullptr, [&] { return thisPtr->packet(*deviceId); });
}

ZtDataPacket* ZtDataBundler_at(ZtDataBundler* thisPtr, uint32_t index) {
  if (!thisPtr) return nullptr;
  return call<ZtDataPacket*>(__func__, kNoOwner, nullptr, [&] { return thisPtr->at(index); });
}

uint32_t ZtDataBundler_count(ZtDataBundler* thisPtr) {
  if (!thisPtr) return 0;
  return call<uint32_t>(__func__, kNoOwner, 0u, [&] { return thisPtr->count(); });
}

}  // extern "C"
