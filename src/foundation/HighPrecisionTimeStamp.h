#pragma once
// A time value of whole seconds and a fraction. Invariant: 0 <= fraction < 1 and the value is
// seconds + fraction (so -0.25 is held as -1 and 0.75).
#include <cstddef>
#include <cstdint>

#include "zttypes/zttime.h"

class HighPrecisionTimeStamp {
 public:
  HighPrecisionTimeStamp() = default;
  HighPrecisionTimeStamp(int64_t seconds, double fraction);
  // From milliseconds.
  explicit HighPrecisionTimeStamp(ZtTimeStamp milliseconds);
  HighPrecisionTimeStamp(const HighPrecisionTimeStamp&) = default;
  HighPrecisionTimeStamp& operator=(const HighPrecisionTimeStamp&) = default;

  int64_t seconds() const { return m_seconds; }
  double fraction() const { return m_fraction; }

  HighPrecisionTimeStamp& operator+=(double seconds);
  HighPrecisionTimeStamp& operator-=(double seconds);
  HighPrecisionTimeStamp& operator+=(const HighPrecisionTimeStamp& other);
  HighPrecisionTimeStamp& operator-=(const HighPrecisionTimeStamp& other);
  HighPrecisionTimeStamp& operator*=(const HighPrecisionTimeStamp& other);
  HighPrecisionTimeStamp operator+(double seconds) const;
  HighPrecisionTimeStamp operator-(double seconds) const;
  HighPrecisionTimeStamp operator+(const HighPrecisionTimeStamp& other) const;
  HighPrecisionTimeStamp operator-(const HighPrecisionTimeStamp& other) const;
  HighPrecisionTimeStamp operator*(const HighPrecisionTimeStamp& other) const;

  bool operator<(const HighPrecisionTimeStamp& other) const;
  bool operator>(const HighPrecisionTimeStamp& other) const;
  bool operator==(const HighPrecisionTimeStamp& other) const;

  HighPrecisionTimeStamp abs() const;

  // Milliseconds, the fraction rounded half up.
  ZtTimeStamp toTimeStamp() const;
  double toDouble() const { return static_cast<double>(m_seconds) + m_fraction; }
  explicit operator ZtTimeStamp() const { return toTimeStamp(); }
  explicit operator double() const { return toDouble(); }

  // "<seconds>.<18 fraction digits>", negative values as "-" and the magnitude. Writes at
  // most size characters including the terminator; returns buffer, or null (writing nothing)
  // for a null buffer or size 0.
  char* toString(char* buffer, size_t size) const;
  wchar_t* toString(wchar_t* buffer, size_t size) const;

 private:
  void normalize();

  int64_t m_seconds = 0;
  double m_fraction = 0.0;
};
