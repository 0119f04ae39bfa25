// The built-in filter profiles: the exported image, its bounds and size, its scrambling, and that
// it reads back to exactly the readable source it was built from.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <string>

#include "foundation/SettingsFile.h"

extern "C" const char _binary_scenarios_zsb_start[];
extern "C" const char _binary_scenarios_zsb_end[];

namespace {

TEST(BuiltinProfiles, TheImageIsScrambledAndReadsBackToItsSource) {
  const size_t size = static_cast<size_t>(_binary_scenarios_zsb_end - _binary_scenarios_zsb_start);
  ASSERT_GT(size, 16u);

  zelto::SettingsFile embedded;
  ASSERT_EQ(embedded.deserialize(_binary_scenarios_zsb_start, size), size);
  EXPECT_TRUE(embedded.isEncrypted());
  // Scrambled: no label text is visible in the image.
  const std::string raw(_binary_scenarios_zsb_start, size);
  EXPECT_EQ(raw.find("ZKF.scenarios"), std::string::npos);

  zelto::SettingsFile source;
  ASSERT_EQ(source.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  std::string a, b;
  ASSERT_EQ(embedded.writeZsaString(nullptr, a), 0);
  ASSERT_EQ(source.writeZsaString(nullptr, b), 0);
  EXPECT_EQ(a, b);
  // The keys the devices look up.
  for (const char* label : {"ZKF.scenarios", "ZKF.hardwares", "ZEE.ZKF700.scenarios", "ZKF.zkf3.gp.filter",
                            "ZKF.zkf3w.gp.filterVersion", "ZEE.ZKF700.zkf700.gp.type"})
    EXPECT_TRUE(embedded.hasSetting(label)) << label;
}

TEST(BuiltinProfiles, TheLibraryExportsTheImage) {
  void* lib = dlopen(ZDA_DEVICEAPI_SO, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto* start = static_cast<const char*>(dlsym(lib, "_binary_scenarios_zsb_start"));
  auto* end = static_cast<const char*>(dlsym(lib, "_binary_scenarios_zsb_end"));
  ASSERT_NE(start, nullptr);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(std::string(start, end), std::string(_binary_scenarios_zsb_start, _binary_scenarios_zsb_end));
  // The size symbol is absolute: its value is the size itself.
  void* sizeSymbol = dlsym(lib, "_binary_scenarios_zsb_size");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(sizeSymbol), static_cast<uintptr_t>(end - start));
  dlclose(lib);
}

}  // namespace
