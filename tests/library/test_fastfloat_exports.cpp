// The FastFloat overloads of the math functions are part of the library's exported C++ interface.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 512> buf{};
  while (fgets(buf.data(), buf.size(), pipe.get())) out += buf.data();
  return out;
}

TEST(Library, FastFloatOverloadsAreExported) {
  const std::string symbols = run(std::string("nm -D --defined-only --demangle '") + ZDA_DEVICEAPI_SO + "'");
  ASSERT_FALSE(symbols.empty());
  const char* signatures[] = {
      " T sqrt(FastFloat)", " T sin(FastFloat)",  " T cos(FastFloat)",
      " T asin(FastFloat)", " T acos(FastFloat)", " T atan2(FastFloat, FastFloat)",
      " T pow(FastFloat, FastFloat)", " T exp(FastFloat)",
  };
  for (const char* s : signatures) EXPECT_NE(symbols.find(std::string(s) + "\n"), std::string::npos) << s;
}

}  // namespace
