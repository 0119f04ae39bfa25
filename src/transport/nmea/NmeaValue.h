#ifndef ZDA_TRANSPORT_NMEAVALUE_H
#define ZDA_TRANSPORT_NMEAVALUE_H

namespace nmea {

// A sentence field and whether it held a value. An empty field keeps the default value (0.0 or
// false) and is invalid.
template <typename T>
struct Value {
  T value{};
  bool valid = false;

  constexpr Value() = default;
  constexpr Value(T v, bool isValid) : value(v), valid(isValid) {}
};

}  // namespace nmea

#endif
