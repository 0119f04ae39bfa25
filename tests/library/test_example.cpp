// The example program end to end on the device emulator (zda_emulator on a pseudo-terminal,
// serving a host-filtered tracker that sends raw data of a still-then-turning trajectory), and
// the installed package: cmake --install into a scratch prefix, the example built out of tree
// once with find_package and once with pkg-config, and both builds run on the emulator.
//
// The example runs the whole way: find, open, configure, measure with the host filter's
// quaternions printed once a second, record, replay with the recorded packet count.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/EmulatorProcess.h"
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

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

#ifdef ZDA_UNDER_SANITIZER  // an instrumented library needs an instrumented client
const char* const kSanitize = "-fsanitize=address,undefined";
#else
const char* const kSanitize = "";
#endif

// The emulator program serving a tracker on a new pseudo-terminal until it is stopped.
struct TrackerEmulator : zelto::test::EmulatorProcess {
  TrackerEmulator()
      : EmulatorProcess(std::string(ZDA_BINARY_DIR) + "/tests/support/emulator/zda_emulator", {"00071234", "100", "serve"}) {}
};

// The quaternions the example printed, in order ("... orientation (w, x, y, z)").
std::vector<std::vector<double>> printedQuaternions(const std::string& out) {
  std::vector<std::vector<double>> result;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t at = line.find("orientation (");
    if (at == std::string::npos) continue;
    double w, x, y, z;
    if (std::sscanf(line.c_str() + at, "orientation (%lf, %lf, %lf, %lf)", &w, &x, &y, &z) == 4)
      result.push_back({w, x, y, z});
  }
  return result;
}

// Yaw (degrees) of a printed quaternion.
double yawDeg(const std::vector<double>& q) {
  return std::atan2(2 * (q[1] * q[2] + q[0] * q[3]), q[0] * q[0] + q[1] * q[1] - q[2] * q[2] - q[3] * q[3]) * 180.0 /
         M_PI;
}

// The whole run: every step reported, the host filter's quaternions printed (unit length), and
// as many packets replayed as were recorded.
void expectFullRun(int status, const std::string& out, int seconds) {
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("found device 00071234 on /dev/pts/"), std::string::npos) << out;
  EXPECT_NE(out.find("host filter profile \"general\" (type 1, filter 3)"), std::string::npos) << out;
  EXPECT_NE(out.find("measured "), std::string::npos) << out;
  long recorded = -1, replayed = -2;
  const size_t r = out.find("recorded ");
  const size_t p = out.find("replayed ");
  ASSERT_NE(r, std::string::npos) << out;
  ASSERT_NE(p, std::string::npos) << out;
  std::sscanf(out.c_str() + r, "recorded %ld", &recorded);
  std::sscanf(out.c_str() + p, "replayed %ld", &replayed);
  EXPECT_EQ(recorded, replayed) << out;
  EXPECT_GT(recorded, 50L * seconds) << out;
  const std::vector<std::vector<double>> q = printedQuaternions(out);
  EXPECT_EQ(q.size(), static_cast<size_t>(2 * seconds)) << out;
  for (const auto& v : q) EXPECT_NEAR(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3]), 1.0, 2e-4);
}

TEST(Example, RunsOnTheEmulatedTracker) {
  TrackerEmulator emulator;
  ASSERT_FALSE(emulator.port().empty());
  const std::string example = std::string(ZDA_BINARY_DIR) + "/examples/example_tracker_demo";
  ASSERT_TRUE(exists(example)) << example << " is not built";
  std::string out;
  const auto start = std::chrono::steady_clock::now();
  zelto::test::TempDir dir;
  const int status = run("'" + example + "' '" + emulator.port() + "' 3 '" + dir.file("demo.log") + "'", out);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  expectFullRun(status, out, 3);
  // The emulator's trajectory: still for three seconds (measuring), then a turn of 45 degrees/s
  // about the vertical (recording), printed once a second.
  const std::vector<std::vector<double>> q = printedQuaternions(out);
  ASSERT_EQ(q.size(), 6u) << out;
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(yawDeg(q[i]), 0.0, 3.0) << out;
  for (int i = 3; i < 6; ++i) {
    const double step = yawDeg(q[i]) - (i == 3 ? 0.0 : yawDeg(q[i - 1]));
    EXPECT_NEAR(step, 45.0, 15.0) << i << "\n" << out;
  }
  EXPECT_LT(seconds, 20.0);
  RecordProperty("example_seconds", std::to_string(seconds));
  std::printf("example ran %.2f s\n", seconds);
}

class InstalledPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_EQ(run("cmake --install '" + std::string(ZDA_BINARY_DIR) + "' --prefix '" + prefix() + "'", out), 0) << out;
  }
  std::string prefix() const { return m_dir.file("prefix"); }
  std::string lib(const std::string& name) const { return prefix() + "/lib/" + name; }

  zelto::test::TempDir m_dir;
};

TEST_F(InstalledPackage, HoldsLibrariesLinksHeadersAndPackageFiles) {
  const char* const files[] = {
      "/lib/libzeltodeviceapi.so.4.2.1",
      "/lib/libzeltodeviceapi.so",
      "/lib/libzttypes.so.4.2.1",
      "/lib/libzttypes.so",
      "/include/zeltodeviceapi/zeltodeviceapi.h",
      "/include/zeltodeviceapi/ztcontrol.h",
      "/include/zeltodeviceapi/ztdevice.h",
      "/include/zttypes/zttypes.h",
      "/lib/cmake/zeltodeviceapi/zeltodeviceapiConfig.cmake",
      "/lib/cmake/zeltodeviceapi/zeltodeviceapiConfigVersion.cmake",
      "/lib/pkgconfig/zeltodeviceapi.pc",
  };
  for (const char* f : files) EXPECT_TRUE(exists(prefix() + f)) << f;
  char target[256] = {};
  ASSERT_GT(readlink(lib("libzeltodeviceapi.so").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "libzeltodeviceapi.so.4.2.1");
  std::string out;
  run("readelf -d '" + lib("libzeltodeviceapi.so.4.2.1") + "'", out);
  EXPECT_NE(out.find("Library soname: [libzeltodeviceapi.so.4.2.1]"), std::string::npos) << out;
  EXPECT_NE(out.find("[$ORIGIN]"), std::string::npos) << out;  // finds libzttypes beside itself
  run("PKG_CONFIG_PATH='" + prefix() + "/lib/pkgconfig' pkg-config --modversion zeltodeviceapi", out);
  EXPECT_EQ(out, "4.2.1\n");
}

TEST_F(InstalledPackage, ExampleBuildsOutOfTreeWithFindPackageAndWithPkgConfig) {
  const std::string example = std::string(ZDA_SOURCE_DIR) + "/examples/tracker_demo.c";
  const std::string project = m_dir.file("project");
  std::string out;
  ASSERT_EQ(run("mkdir -p '" + project + "'", out), 0);
  std::ofstream(project + "/CMakeLists.txt")
      << "cmake_minimum_required(VERSION 3.20)\n"
         "project(tracker_demo LANGUAGES C)\n"
         "find_package(zeltodeviceapi 4.2.1 REQUIRED)\n"
         "add_executable(tracker_demo \""
      << example
      << "\")\n"
         "set_property(TARGET tracker_demo PROPERTY C_STANDARD 99)\n"
         "target_link_libraries(tracker_demo PRIVATE zeltodeviceapi::zeltodeviceapi)\n";
  const std::string build = m_dir.file("build");
  ASSERT_EQ(run("cmake -S '" + project + "' -B '" + build + "' -G Ninja -DCMAKE_PREFIX_PATH='" + prefix() +
                    "' -DCMAKE_C_FLAGS='" + kSanitize + "'",
                out),
            0)
      << out;
  ASSERT_EQ(run("cmake --build '" + build + "'", out), 0) << out;

  const std::string viaPkgConfig = m_dir.file("tracker_demo_pc");
  ASSERT_EQ(run("gcc -std=c99 -Wall -Werror -pedantic " + std::string(kSanitize) + " '" + example + "' -o '" +
                    viaPkgConfig + "' $(PKG_CONFIG_PATH='" + prefix() +
                    "/lib/pkgconfig' pkg-config --cflags --libs zeltodeviceapi) -Wl,-rpath,'" + prefix() + "/lib'",
                out),
            0)
      << out;

  TrackerEmulator emulator;
  ASSERT_FALSE(emulator.port().empty());
  for (const std::string& program : {build + "/tracker_demo", viaPkgConfig}) {
    SCOPED_TRACE(program);
    // The program must run on the installed library, not on the build tree's.
    ASSERT_EQ(run("ldd '" + program + "'", out), 0) << out;
    EXPECT_NE(out.find(lib("libzeltodeviceapi.so.4.2.1")), std::string::npos) << out;
    const int status = run("'" + program + "' '" + emulator.port() + "' 1 '" + m_dir.file("installed.log") + "'", out);
    expectFullRun(status, out, 1);
  }
}

}  // namespace
