// The control's filter profiles: the built-in ones at construction, replacing them from a ZSA or
// zsb file, a failed load, and reloading the built-in ones; devices take what is loaded when they
// are initialised.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "control/ZtControl.h"
#include "foundation/SettingsFile.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestControl.h"

namespace {

using namespace zelto::test;

class ControlProfiles : public ::testing::Test {
 protected:
  // The settings a device opened now receives.
  bool deviceHas(const char* label) {
    const ZtDeviceId id = 0x00110200 + static_cast<ZtDeviceId>(++opened);
    LogFileBuilder b;
    b.configuration(id).data(0);
    const std::string path = dir.file("rec" + std::to_string(opened) + ".zlog");
    EXPECT_TRUE(b.writeTo(path));
    const ZtResultValue before = control.lastResult();
    EXPECT_TRUE(control.openLogFile(Text(path).s));
    control.setLastResult(before);
    auto* device = dynamic_cast<ScriptedDevice*>(control.findDevice(id));
    control.setLastResult(before);
    if (!device) {
      ADD_FAILURE() << "no device";
      return false;
    }
    const bool has = device->settings().hasSetting(label);
    control.closePort(id);
    return has;
  }

  TempDir dir;
  TestControl control;
  int opened = 0;
};

TEST_F(ControlProfiles, TheBuiltInProfilesAreLoadedAtConstruction) {
  EXPECT_EQ(control.lastResult(), ZRV_OK);
  EXPECT_TRUE(deviceHas("ZKF.scenarios"));
  EXPECT_TRUE(deviceHas("ZEE.ZKF700.scenarios"));
  EXPECT_TRUE(control.getSpecificFilterProfiles('3').empty());
}

TEST_F(ControlProfiles, LoadingReplacesTheProfilesAndEmptyNameRestoresTheBuiltIn) {
  const std::string zsa = dir.file("own.zsa");
  {
    std::ofstream out(zsa);
    out << "; own profiles\n;\nOWN.zsa.label=S:from text\n";
  }
  zelto::SettingsFile binary;
  const std::string zsb = dir.file("own.zsb");
  ASSERT_EQ(binary.create(zsb.c_str()), ZRV_OK);
  ASSERT_EQ(binary.setSetting("OWN.zsb.label", zelto::Variant("from binary")), ZRV_OK);
  ASSERT_EQ(binary.save(), ZRV_OK);
  binary.close();

  struct Step {
    std::string file;
    bool ok;
    ZtResultValue result;
    const char* present;  // a label devices now receive (null: none to check)
    const char* absent;   // a label they no longer receive
  };
  const Step steps[] = {
      {zsa, true, ZRV_OK, "OWN.zsa.label", "ZKF.scenarios"},
      {zsb, true, ZRV_OK, "OWN.zsb.label", "OWN.zsa.label"},
      {dir.file("missing.zsb"), false, ZRV_COULDNOTOPENFILE, nullptr, "OWN.zsb.label"},
      {"", true, ZRV_OK, "ZKF.scenarios", "OWN.zsb.label"},
      {dir.file("missing.zsa"), false, ZRV_COULDNOTOPENFILE, nullptr, "ZKF.scenarios"},
      {"", true, ZRV_OK, "ZKF.hardwares", "OWN.zsa.label"},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(control.loadFilterProfiles(Text(s.file).s), s.ok) << s.file;
    EXPECT_EQ(control.lastResult(), s.result) << s.file;
    if (s.present) {
      EXPECT_TRUE(deviceHas(s.present)) << s.file;
    }
    EXPECT_FALSE(deviceHas(s.absent)) << s.file;
  }
}

TEST(ControlResults, TextsAndLibraryInformation) {
  TestControl control;
  control.setLastResult(ZRV_ALREADYOPEN);
  ZtString last = control.lastResultText();
  ZtString direct = control.resultText(ZRV_ALREADYOPEN);
  EXPECT_STREQ(ZtString_c_str(&last), ZtString_c_str(&direct));
  EXPECT_STREQ(ZtString_c_str(&last), ZtResultValue_toString(ZRV_ALREADYOPEN));
  EXPECT_GT(std::string(ZtString_c_str(&last)).size(), 0u);
  ZtString_destruct(&last);
  ZtString_destruct(&direct);
  const ZtVersion v = control.version();
  EXPECT_EQ(v.major, 4u);
  EXPECT_EQ(v.minor, 1u);
  EXPECT_EQ(v.revision, 0u);
  EXPECT_EQ(v.build, 0u);
  EXPECT_STREQ(v.text, "");
  ZtString path = control.libraryPath();
  EXPECT_STREQ(ZtString_c_str(&path), "");
  ZtString_destruct(&path);
  control.clearHardwareError();
  EXPECT_EQ(control.lastHardwareError(), 0);
  EXPECT_EQ(control.lastHardwareErrorDeviceId(), 0u);
}

}  // namespace
