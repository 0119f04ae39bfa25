// The FastFloat overloads of the math functions are part of the library's exported C++ interface.
#include <gtest/gtest.h>

#include "support/CommandOutput.h"

#include <string>

namespace {

using zelto::test::commandOutput;

TEST(Library, FastFloatOverloadsAreExported) {
  const std::string symbols = commandOutput(std::string("nm -D --defined-only --demangle '") + ZDA_DEVICEAPI_SO + "'");
  ASSERT_FALSE(symbols.empty());
  const char* signatures[] = {
      " T sqrt(FastFloat)", " T sin(FastFloat)",  " T cos(FastFloat)",
      " T asin(FastFloat)", " T acos(FastFloat)", " T atan2(FastFloat, FastFloat)",
      " T pow(FastFloat, FastFloat)", " T exp(FastFloat)",
  };
  for (const char* s : signatures) EXPECT_NE(symbols.find(std::string(s) + "\n"), std::string::npos) << s;
}

}  // namespace
