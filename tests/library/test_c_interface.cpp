// The interface conventions seen from plain C: tests/library/c_interface_client.c, compiled as
// strict C99, linked against the shared objects and run in a scratch directory.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

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

std::string dirOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

TEST(CInterface, ConventionsHoldFromC) {
  zelto::test::TempDir dir;
  const std::string source = std::string(ZDA_SOURCE_DIR) + "/tests/library/c_interface_client.c";
  const std::string exe = dir.file("c_interface_client");
#ifdef ZDA_UNDER_SANITIZER  // an instrumented library needs an instrumented client
  const std::string sanitize = " -fsanitize=address,undefined";
#else
  const std::string sanitize;
#endif
  std::string out;
  ASSERT_EQ(run("gcc -std=c99 -Wall -Wextra -Werror -pedantic" + sanitize + " -I'" + ZDA_SOURCE_DIR + "/include' -I'" +
                    ZDA_SOURCE_DIR + "/zttypes/include' '" + source + "' -o '" + exe + "' '" + ZDA_DEVICEAPI_SO +
                    "' '" + ZDA_ZTTYPES_SO + "' -Wl,-rpath,'" + dirOf(ZDA_DEVICEAPI_SO) + "' -Wl,-rpath,'" +
                    dirOf(ZDA_ZTTYPES_SO) + "'",
                out),
            0)
      << out;
  const std::string scratch = dir.file("scratch");
  ASSERT_EQ(run("mkdir '" + scratch + "'", out), 0);
  EXPECT_EQ(run("'" + exe + "' '" + scratch + "'", out), 0) << out;
  EXPECT_NE(out.find("all checks passed"), std::string::npos) << out;
}

}  // namespace
