// C interface of the data bundler. No exception crosses it: the constructor's failure gives
// null, the other calls do nothing (or give null / 0) when the bundler throws.
#include <exception>

#include "control/ZtDataBundler.h"
#include "device/ZtDevice.h"
#include "errors/ZtException.h"
#include "foundation/JournalMacros.h"
#include "zeltodeviceapi/ztdatabundler.h"

namespace {

template <typename R, typename F>
R guarded(const char* function, R failed, F&& f) noexcept {
  try {
    return f();
  } catch (const std::exception& e) {
    JLOG_ERROR(function << " failed: " << e.what());
  } catch (...) {
    JLOG_ERROR(function << " failed");
  }
  return failed;
}

template <typename F>
void guarded(const char* function, F&& f) noexcept {
  guarded(function, 0, [&f] {
    f();
    return 0;
  });
}

}  // namespace

extern "C" {

ZtDataBundler* ZtDataBundler_construct(void) {
  try {
    return new ZtDataBundler();
  } catch (const ZtException& e) {
    JLOG_ERROR("ZtDataBundler_construct failed: " << e.what());
  } catch (const std::exception& e) {
    JLOG_ERROR("ZtDataBundler_construct failed: " << e.what());
  }
  return nullptr;
}

void ZtDataBundler_destruct(ZtDataBundler* thisPtr) {
  if (thisPtr) guarded(__func__, [thisPtr] { delete thisPtr; });
}

void ZtDataBundler_clearCallbackHandlers(ZtDataBundler* thisPtr, int chain) {
  if (thisPtr) guarded(__func__, [&] { thisPtr->clearCallbackHandlers(chain != 0); });
}

void ZtDataBundler_addCallbackHandler(ZtDataBundler* thisPtr, ZtCallbackPlainC* cb, int chain) {
  if (thisPtr) guarded(__func__, [&] { thisPtr->addCallbackHandler(cb, chain != 0); });
}

void ZtDataBundler_removeCallbackHandler(ZtDataBundler* thisPtr, ZtCallbackPlainC* cb, int chain) {
  if (thisPtr) guarded(__func__, [&] { thisPtr->removeCallbackHandler(cb, chain != 0); });
}

ZtCallbackPlainC* ZtDataBundler_toCallbackPlainC(ZtDataBundler* thisPtr) {
  return thisPtr ? thisPtr->toCallbackPlainC() : nullptr;
}

void ZtDataBundler_addDevice(ZtDataBundler* thisPtr, ZtDevice* device) {
  if (thisPtr) guarded(__func__, [&] { thisPtr->addDevice(device); });
}

void ZtDataBundler_removeDevice(ZtDataBundler* thisPtr, ZtDevice* device) {
  if (thisPtr) guarded(__func__, [&] { thisPtr->removeDevice(device); });
}

ZtDataPacket* ZtDataBundler_packet(ZtDataBundler* thisPtr, const ZtDeviceId* deviceId) {
  if (!thisPtr || !deviceId) return nullptr;
  return guarded<ZtDataPacket*>(__func__, nullptr, [&] { return thisPtr->packet(*deviceId); });
}

ZtDataPacket* ZtDataBundler_at(ZtDataBundler* thisPtr, uint32_t index) {
  if (!thisPtr) return nullptr;
  return guarded<ZtDataPacket*>(__func__, nullptr, [&] { return thisPtr->at(index); });
}

uint32_t ZtDataBundler_count(ZtDataBundler* thisPtr) {
  if (!thisPtr) return 0;
  return guarded<uint32_t>(__func__, 0u, [&] { return thisPtr->count(); });
}

}  // extern "C"
