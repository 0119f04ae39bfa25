// Both shared objects carry the file names and sonames applications link against.
#include <gtest/gtest.h>

#include "support/CommandOutput.h"

#include <string>

namespace {

using zelto::test::commandOutput;

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
    const std::string dyn = commandOutput("readelf -d '" + path + "'");
    EXPECT_NE(dyn.find(std::string("Library soname: [") + o.soname + "]"), std::string::npos) << dyn;
  }
}

TEST(Library, DeviceLibraryNeedsCompanionLibrary) {
  const std::string dyn = commandOutput(std::string("readelf -d '") + ZDA_DEVICEAPI_SO + "'");
  EXPECT_NE(dyn.find("Shared library: [libzttypes.so.4.2.1]"), std::string::npos) << dyn;
}

}  // namespace
