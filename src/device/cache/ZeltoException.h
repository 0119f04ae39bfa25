#pragma once
// Exception policy: every cache failure is a ZtException with a result code and the composed
// text ("<code>: <result text>\tInfo: <text>"). Keys print as signed, indexes as unsigned
// decimal numbers.
#include <string>

#include "errors/ZtException.h"

namespace DataCachePolicy {

template <class K, class V>
struct ZeltoException {
  [[noreturn]] static void cacheEmpty() { throw ZtException(ZRV_UNSUPPORTED, "Empty cache", true); }
  [[noreturn]] static void operationNotAllowed(const char* name) {
    throw ZtException(ZRV_UNSUPPORTED, std::string("Operation not allowed: ") + name, true);
  }
  [[noreturn]] static void keyNotFound(K key) {
    throw ZtException(ZRV_INVALIDPARAM, "Key not found: " + std::to_string(key), true);
  }
  [[noreturn]] static void invalidKey(K key) {
    throw ZtException(ZRV_INVALIDPARAM, "Invalid key: " + std::to_string(key), true);
  }
  // Both numbers are the requested index.
  [[noreturn]] static void indexOutOfRange(unsigned long index, unsigned long again) {
    throw ZtException(ZRV_INVALIDPARAM,
                      "Index out of range: " + std::to_string(index) + ", " + std::to_string(again), true);
  }
  [[noreturn]] static void lowerBoundFailed(K key) {
    throw ZtException(ZRV_INVALIDPARAM, "LowerBound failed for key: " + std::to_string(key), true);
  }
  [[noreturn]] static void upperBoundFailed(K key) {
    throw ZtException(ZRV_INVALIDPARAM, "UpperBound failed for key: " + std::to_string(key), true);
  }
};

}  // namespace DataCachePolicy
