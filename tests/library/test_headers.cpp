// Every public header of the device library compiles on its own as strict C99 (and as C++, where
// the declarations keep C linkage), and the C++-only battery function stays out of C.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

int run(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe)) output += buf;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> publicHeaders() {
  std::vector<std::string> names;
  const std::string dir = std::string(ZDA_SOURCE_DIR) + "/include/zeltodeviceapi";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() > 2 && n.compare(n.size() - 2, 2, ".h") == 0) names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

std::string includes() {
  return " -I'" + std::string(ZDA_SOURCE_DIR) + "/include' -I'" + std::string(ZDA_SOURCE_DIR) + "/zttypes/include'";
}

TEST(PublicHeaders, EachCompilesAloneAsStrictC99AndAsCxx) {
  const std::vector<std::string> headers = publicHeaders();
  ASSERT_GE(headers.size(), 9u);  // export, library, enums, types, callbacks, device, control, scanner, all
  zelto::test::TempDir dir;
  for (const std::string& h : headers) {
    SCOPED_TRACE(h);
    const std::string c = dir.file("one.c");
    std::ofstream(c) << "#include \"zeltodeviceapi/" << h << "\"\nint main(void) { return 0; }\n";
    std::string out;
    EXPECT_EQ(run("gcc -std=c99 -Wall -Wextra -Werror -pedantic" + includes() + " -c '" + c + "' -o '" +
                      dir.file("one.o") + "'",
                  out),
              0)
        << out;
    const std::string cpp = dir.file("one.cpp");
    std::ofstream(cpp) << "#include \"zeltodeviceapi/" << h << "\"\nint main() { return 0; }\n";
    EXPECT_EQ(run("g++ -std=c++17 -Wall -Wextra -Werror -pedantic" + includes() + " -c '" + cpp + "' -o '" +
                      dir.file("one.o") + "'",
                  out),
              0)
        << out;
  }
}

TEST(PublicHeaders, BatteryScalingIsDeclaredForCxxOnly) {
  zelto::test::TempDir dir;
  const std::string body =
      "#include \"zeltodeviceapi/zeltodeviceapi.h\"\nint main(void) { return ztScaleBatteryLevel(4); }\n";
  std::ofstream(dir.file("c.c")) << body;
  std::ofstream(dir.file("cxx.cpp")) << body;
  std::string out;
  EXPECT_NE(
      run("gcc -std=c99 -Werror" + includes() + " -c '" + dir.file("c.c") + "' -o '" + dir.file("c.o") + "'", out), 0);
  EXPECT_EQ(
      run("g++ -std=c++17 -Werror" + includes() + " -c '" + dir.file("cxx.cpp") + "' -o '" + dir.file("cxx.o") + "'",
          out),
      0)
      << out;
}

}  // namespace
