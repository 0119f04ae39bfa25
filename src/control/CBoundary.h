#pragma once
// The C boundary. Every exported function runs its body through one of the guards below, so no
// exception reaches a C caller's frame (unwinding through a frame built without unwind tables ends
// the process). A caught exception is journalled, the object's owner is told (the control's
// lastResult, a device's onError, both with ZRV_ERROR) and the wrapper returns its failure value:
// 0, null, ZRV_ERROR for a result code, or the caller's out-object emptied and its pointer.
// The guards add no lock and run the body on the calling thread.
#include <cstring>
#include <type_traits>
#include <vector>

#include "zeltodeviceapi/ztdeviceenums.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zttypes/ztarray.h"
#include "zttypes/ztdatapacket.h"
#include "zttypes/ztmath.h"
#include "zttypes/ztmisc.h"

class ZtControl;
class ZtDevice;

namespace zelto::cabi {

// Journals the exception being handled; call only inside a catch handler.
void journalCaughtException(const char* function) noexcept;
// Tells the owner of the failed call (null: nobody).
void reportFailure(ZtControl* control) noexcept;
void reportFailure(ZtDevice* device) noexcept;

inline int asInt(bool value) noexcept { return value ? 1 : 0; }

// The failure form of each out-object: emptied, still constructed.
inline void makeEmpty(ZtString* s) noexcept { ZtString_assignCharArray(s, ""); }
inline void makeEmpty(ZtArray* a) noexcept { ZtArray_assign(a, 0, nullptr); }
inline void makeEmpty(ZtVector* v) noexcept { ZtVector_assign(v, 0, nullptr); }
inline void makeEmpty(ZtMatrix* m) noexcept { ZtMatrix_assign(m, 0, 0, 0, nullptr); }
inline void makeEmpty(ZtQuaternion* q) noexcept { *q = ZtQuaternion{0, 0, 0, 0}; }
inline void makeEmpty(ZtVersion* v) noexcept { std::memset(v, 0, sizeof *v); }
inline void makeEmpty(ZtDeviceId* id) noexcept { *id = 0; }
inline void makeEmpty(ZtDataPacket* p) noexcept {
  ZtDataPacket empty;
  ZtDataPacket_construct(&empty);
  ZtDataPacket_copy(p, &empty);
  ZtDataPacket_destruct(&empty);
}
inline void makeEmpty(ZtDeviceConfiguration* c) noexcept {
  ZtDeviceConfiguration_destruct(c);
  ZtDeviceConfiguration_construct(c);
}
template <typename A>
requires requires(A a) { a.descriptor; }
void makeEmpty(A* array) noexcept { makeEmpty(ZTARRAY(array)); }

// Copies a vector into the caller's typed array. An array of another item size (a caller's
// mistake that would otherwise read past the vector) is left empty.
template <typename A, typename T>
A* assignArray(A* out, const std::vector<T>& values) {
  ZtArray* a = ZTARRAY(out);
  if (!a->descriptor || a->descriptor->itemSize != sizeof(T))
    ZtArray_assign(a, 0, nullptr);
  else
    ZtArray_assign(a, values.size(), values.empty() ? nullptr : values.data());
  return out;
}

// Copies a C array (a record returned by the C++ operation) into the caller's typed array, with
// the same item-size check.
template <typename A, typename S>
requires requires(S s) { s.descriptor; }
A* assignArray(A* out, const S& source) {
  ZtArray* a = ZTARRAY(out);
  if (!a->descriptor || a->descriptor->itemSize != sizeof(*source.data))
    ZtArray_assign(a, 0, nullptr);
  else
    ZtArray_assign(a, source.size, source.size ? source.data : nullptr);
  return out;
}

// Copies the caller's typed array into a vector; false (vector empty) when its item size is not
// the vector's.
template <typename A, typename T>
bool copyItems(const A* array, std::vector<T>& out) {
  const ZtArray* a = ZTCARRAY(array);
  out.clear();
  if (a->size == 0) return true;
  if (!a->descriptor || a->descriptor->itemSize != sizeof(T)) return false;
  const T* items = static_cast<const T*>(a->data);
  out.assign(items, items + a->size);
  return true;
}

// A record returned by value that the caller of the C++ operation destructs.
template <typename T, void (*Destruct)(T*)>
struct Taken {
  T value;
  ~Taken() { Destruct(&value); }
};
inline void destructArray(ZtOutputConfigurationArray* a) { ZtArray_destruct(ZTARRAY(a)); }
inline void destructArray(ZtDevicePtrArray* a) { ZtArray_destruct(ZTARRAY(a)); }

// Enumeration arguments. A C caller may pass any 32-bit value where an enumeration is expected.
// The public enumerations have a fixed underlying type in C++ (ZDA_ENUM_BASE), so the argument
// holds that value as it is; a wrapper reads it as that integer and checks it against the values
// the operation names before handing it on. A value outside gives the interface's answer for an
// unknown value without calling the operation.
template <typename E>
requires std::is_enum_v<E>
constexpr bool inRange(E value, E lowest, E highest) noexcept {
  using U = std::underlying_type_t<E>;
  const U v = static_cast<U>(value);
  return v >= static_cast<U>(lowest) && v <= static_cast<U>(highest);
}
inline bool isOption(ZtOption option) noexcept { return inRange(option, ZO_SoftwareCalibration, ZO_SoftwareFiltering); }
inline bool isProtocol(ZtProtocolType type) noexcept { return inRange(type, ZPT_Zbus, ZPT_ImarIFog); }
inline bool isAlignmentFrame(ZtAlignmentFrame frame) noexcept { return inRange(frame, ZAF_Sensor, ZAF_Local); }

// Body returns the wrapper's result (R given explicitly).
template <typename R, typename Owner, typename Body>
R call(const char* function, Owner* owner, R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    journalCaughtException(function);
  }
  reportFailure(owner);
  return failure;
}

template <typename Owner, typename Body>
void callVoid(const char* function, Owner* owner, Body&& body) noexcept {
  try {
    body();
    return;
  } catch (...) {
    journalCaughtException(function);
  }
  reportFailure(owner);
}

// Body fills out; the wrapper returns out (emptied when the body threw).
template <typename Owner, typename T, typename Body>
T* callOut(const char* function, Owner* owner, T* out, Body&& body) noexcept {
  try {
    body();
    return out;
  } catch (...) {
    journalCaughtException(function);
  }
  makeEmpty(out);
  reportFailure(owner);
  return out;
}

}  // namespace zelto::cabi
