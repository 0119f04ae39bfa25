#include "control/CBoundary.h"

#include <exception>

#include "control/ZtControl.h"
#include "device/ZtDevice.h"
#include "foundation/JournalMacros.h"

namespace zelto::cabi {

void journalCaughtException(const char* function) noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      JLOG_ERROR(function << ": exception stopped at the C interface: " << e.what());
    } catch (...) {
      JLOG_ERROR(function << ": exception of unknown type stopped at the C interface");
    }
  } catch (...) {
    // The journal itself failed (no memory): the failure value still reaches the caller.
  }
}

void reportFailure(ZtControl* control) noexcept {
  if (control) control->setLastResult(ZRV_ERROR);
}

void reportFailure(ZtDevice* device) noexcept {
  if (!device) return;
  try {
    device->onError(device, ZRV_ERROR);
  } catch (...) {
    journalCaughtException("onError");
  }
}

}  // namespace zelto::cabi
