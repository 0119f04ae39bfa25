#include "device/ZtSyncLines.h"

int ztl4ToZtl(int mk4Line) {
  static constexpr int kTable[] = {3, 5, 0, 2, 10, 6, 7};
  const unsigned i = static_cast<unsigned>(mk4Line);
  return i < sizeof kTable / sizeof kTable[0] ? kTable[i] : 12;
}

int ztlToZtl4(int line) {
  static constexpr int kTable[] = {2, 7, 3, 0, 7, 1, 5, 6, 7, 7, 4};
  const unsigned i = static_cast<unsigned>(line);
  return i < sizeof kTable / sizeof kTable[0] ? kTable[i] : 7;
}
