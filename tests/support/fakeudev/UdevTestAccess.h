#pragma once
// Test seam of the libudev loader: every ZtUdev made afterwards loads the library at path (a
// stand-in, or a path that does not exist for "no libudev"); null goes back to the system's
// library. The shipped library has no such switch: this class exists only in tests.
#include "transport/io/ZtUdev.h"

class ZtUdevTestAccess {
 public:
  static void useLibrary(const char* path) { ZtUdev::s_overridePath = path; }
};
