// The public C header is valid C99: a C program is compiled against it with warnings as errors,
// linked to the device library and run.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "support/TempDir.h"

namespace {

std::string dirOf(const std::string& file) { return file.substr(0, file.rfind('/')); }

// Sanitized builds of the library need the same runtime in the program that loads it.
std::string sanitizerFlags() {
#if defined(__SANITIZE_ADDRESS__)
  return " -fsanitize=address,undefined";
#elif defined(__SANITIZE_THREAD__)
  return " -fsanitize=thread";
#else
  return "";
#endif
}

struct CommandResult {
  int status = -1;
  std::string output;
};

CommandResult runCommand(const std::string& command) {
  CommandResult r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  std::array<char, 512> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), p)) > 0) r.output.append(buffer.data(), n);
  r.status = pclose(p);
  return r;
}

}  // namespace

TEST(PublicHeaderC99, CompilesLinksAndRunsFromC) {
  zelto::test::TempDir dir;
  const std::string source = std::string(ZDA_SOURCE_DIR) + "/tests/control/support_c99_check.c";
  const std::string program = dir.file("support_c99_check");
  const std::string compile = "gcc -std=c99 -Wall -Wextra -Werror -pedantic -I" ZDA_SOURCE_DIR "/include -I" ZDA_SOURCE_DIR
                              "/zttypes/include" +
                              sanitizerFlags() + " " + source + " -o " + program + " " ZDA_DEVICEAPI_SO " " ZDA_ZTTYPES_SO
                              " -Wl,-rpath," + dirOf(ZDA_DEVICEAPI_SO) + " -Wl,-rpath," + dirOf(ZDA_ZTTYPES_SO);
  const CommandResult built = runCommand(compile);
  ASSERT_EQ(built.status, 0) << compile << "\n" << built.output;

  const CommandResult ran = runCommand(program);
  EXPECT_EQ(ran.status, 0) << ran.output;
  EXPECT_EQ(ran.output, "ok\n");
}
