// Both shared objects carry the file names and sonames applications link against.
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

struct SharedObject {
  const char* path;
  const char* soname;
};

TEST(Library, FileNamesAndSonames) {
  const SharedObject objects[] = {
      {ZDA_ZTTYPES_SO, "libzttypes.so.4.2.1"},
      {ZDA_DEVICEAPI_SO, "libzeltodeviceapi.so.4.2.1"},
  };
  for (const auto& o : objects) {
    std::string path = o.path;
    EXPECT_EQ(path.substr(path.rfind('/') + 1), o.soname);
    const std::string dyn = run("readelf -d '" + path + "'");
    EXPECT_NE(dyn.find(std::string("Library soname: [") + o.soname + "]"), std::string::npos) << dyn;
  }
}

TEST(Library, DeviceLibraryNeedsCompanionLibrary) {
  const std::string dyn = run(std::string("readelf -d '") + ZDA_DEVICEAPI_SO + "'");
  EXPECT_NE(dyn.find("Shared library: [libzttypes.so.4.2.1]"), std::string::npos) << dyn;
}

}  // namespace
