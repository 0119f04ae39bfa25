#include "foundation/DebugTools.h"

#include <atomic>

namespace zelto {

namespace {
std::atomic<DebugTools::DebugBreaker> gDebugBreaker{nullptr};
}

void DebugTools::debugBreak() {
  if (DebugBreaker breaker = gDebugBreaker.load(std::memory_order_acquire)) breaker();
}

void DebugTools::setDebugBreaker(DebugBreaker breaker) { gDebugBreaker.store(breaker, std::memory_order_release); }

DebugTools::DebugBreaker DebugTools::debugBreaker() { return gDebugBreaker.load(std::memory_order_acquire); }

void DebugTools::enableFloatingPointExceptions() {}

void DebugTools::disableFloatingPointExceptions() {}

}  // namespace zelto
