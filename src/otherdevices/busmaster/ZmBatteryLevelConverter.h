#pragma once
// Turns the bus master's raw battery byte into a percentage through a fixed discharge curve: a
// degree-10 polynomial p(i), i = 0 .. 100, tabulated, rounded and reversed into an ascending
// list of raw values (entry k = floor(p(100 - k) + 0.5), 66 .. 147). A raw value's index in that
// list (interpolated between neighbours, clamped at the ends) scaled by 100 / 101 is the level.
//
// One global instance, gZmBatteryLevelConverter, lives as long as the library. Immutable after
// construction: safe from any thread.
#include <cstdint>

#include "foundation/IntList.h"
#include "math/Vector.h"

class ZmBatteryLevelConverter {
 public:
  static constexpr int kPoints = 101;

  // Computes the tables; std::bad_alloc when memory runs out.
  ZmBatteryLevelConverter();
  ~ZmBatteryLevelConverter();
  ZmBatteryLevelConverter(const ZmBatteryLevelConverter&) = delete;
  ZmBatteryLevelConverter& operator=(const ZmBatteryLevelConverter&) = delete;

  // The level (1 .. 100) of a raw battery byte.
  int level(unsigned raw) const;

  // The curve p(0 .. 100), its differences p(i) - p(i - 1) (i = 1 .. 100) and the rounded,
  // reversed list.
  const zelto::Vector& curve() const { return m_curve; }
  const zelto::Vector& differences() const { return m_differences; }
  const zelto::IntList& rawValues() const { return m_rawValues; }

 private:
  // Index of value in the list (the first one a binary search hits above 9 entries, else the
  // first from the start), or -1.
  int indexOf(unsigned value) const;

  zelto::Vector m_curve;
  zelto::Vector m_differences;
  zelto::IntList m_rawValues;
};

extern const ZmBatteryLevelConverter gZmBatteryLevelConverter;
