// The companion library's headers are valid strict C99 and usable from C: compile a C client
// with gcc -std=c99 -pedantic -Werror, link it against the library and run it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/TempDir.h"

namespace {

int run(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe)) output += buf;
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(C99, HeadersCompileAndLinkFromPlainC) {
  zelto::test::TempDir dir;
  const std::string source = std::string(ZDA_SOURCE_DIR) + "/tests/library/c99_client.c";
  const std::string include = std::string(ZDA_SOURCE_DIR) + "/zttypes/include";
  const std::string object = dir.path() + "/c99_client.o";
  std::string out;
  ASSERT_EQ(run("gcc -std=c99 -Wall -Wextra -Werror -pedantic -I'" + include + "' -c '" + source + "' -o '" +
                    object + "'",
                out),
            0)
      << out;
#ifndef ZDA_UNDER_SANITIZER  // an instrumented library needs an instrumented client
  const std::string so = ZDA_ZTTYPES_SO;
  const std::string lib = so.substr(0, so.rfind('/'));
  const std::string exe = dir.path() + "/c99_client";
  ASSERT_EQ(run("gcc '" + object + "' -o '" + exe + "' '" + ZDA_ZTTYPES_SO + "' -Wl,-rpath,'" + lib + "'", out), 0)
      << out;
  EXPECT_EQ(run("'" + exe + "'", out), 0) << out;
#endif
}

}  // namespace
