// Device configuration files against the emulator's settings table: what a saved file holds and
// which exchanges made it, applying it to a second device, the label rules on reading, the mode
// switches around both operations, and files that must be refused before anything is sent.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/BinaryObject.h"
#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"
#include "support/ConfigTestDevice.h"
#include "support/EmulatedMaster.h"
#include "support/TempDir.h"
#include "support/ZtValues.h"
#include "zttypes/ztmisc.h"

using zelto::test::Bytes;
using zelto::test::ConfigTestDevice;
using zelto::test::EmuAction;
using zelto::test::EmuFrame;
using zelto::test::EmulatedMaster;
using zelto::test::TempDir;

namespace {

struct Name {
  ZtString s;
  explicit Name(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~Name() { ZtString_destruct(&s); }
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;
};

Bytes deviceConfigFileFrame(uint8_t id, const Bytes& payload) { return EmuFrame{0xFF, id, payload}.encode(); }

// A master of the six-request class on its own emulator, in Config.
class ConfigScene {
 public:
  ConfigScene()
      : scene({}, [](Communicator* link) -> zelto::test::TestDevice* { return new ConfigTestDevice(link); }) {
    // The emulator's table has no location row of its own.
    scene.emu->setSetting(0x84, {0x00, 0x01});
    EXPECT_TRUE(scene.master->gotoConfig());
  }
  ConfigTestDevice& device() { return static_cast<ConfigTestDevice&>(*scene.master); }
  zelto::test::DeviceEmulator& emu() { return *scene.emu; }
  // Starts observing: frames() and nothingArrived() look at what came after.
  void mark() {
    m_frames = scene.emu->received().size();
    m_bytes = scene.emu->bytesReceived();
  }
  std::vector<Bytes> frames() const {
    std::vector<Bytes> out;
    const std::vector<EmuFrame> all = scene.emu->received();
    for (size_t i = m_frames; i < all.size(); ++i) out.push_back(all[i].encode());
    return out;
  }
  bool nothingArrived() const {
    // Whatever the device wrote would be read within a few milliseconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return scene.emu->bytesReceived() == m_bytes;
  }
  ZtResultValue create(const std::string& file) { return device().createConfigFile(Name(file).s); }
  ZtResultValue apply(const std::string& file) { return device().applyConfigFile(Name(file).s); }

  EmulatedMaster scene;

 private:
  size_t m_frames = 0;
  uint64_t m_bytes = 0;
};

struct Value {
  const char* name;
  uint8_t id;
  Bytes first;   // what the first device holds
  Bytes second;  // what the second device holds before the file is applied
};

const std::vector<Value>& values() {
  static const std::vector<Value> rows = {
      {"OutputMode", 0xD0, {0x40, 0x06}, {0x00, 0x02}},
      {"OutputSettings", 0xD2, {0x00, 0x00, 0x08, 0x05}, {0x00, 0x00, 0x00, 0x01}},
      {"BaudRate", 0x18, {ZtBaud_rateToCode(B115200)}, {ZtBaud_rateToCode(B921600)}},
      {"Period", 0x04, {0x02, 0x40}, {0x04, 0x80}},
      {"OutputSkipFactor", 0xD4, {0x00, 0x03}, {0x00, 0x00}},
      {"LocationID", 0x84, {0x00, 0x2A}, {0x00, 0x07}},
  };
  return rows;
}

std::map<std::string, const Value*> valuesByName() {
  std::map<std::string, const Value*> byName;  // byte order of the names, the order of the exchanges
  for (const Value& v : values()) byName[v.name] = &v;
  return byName;
}

Bytes binaryValue(const zelto::SettingsFile& file, const std::string& label) {
  const zelto::Variant value = file.setting(label.c_str());
  if (value.kind() != zelto::Variant::KindBinaryObject) return {};
  const zelto::BinaryObject& object = value.toConstBinaryObject();
  return Bytes(object.data(), object.data() + object.size());
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Writes a configuration file by hand: labels and values as given.
void writeFile(const std::string& path, const std::vector<std::pair<std::string, zelto::Variant>>& settings) {
  zelto::SettingsFile file;
  for (const auto& [label, value] : settings) ASSERT_EQ(file.addSetting(nullptr, label.c_str(), value), ZRV_OK);
  ASSERT_EQ(file.writeZsa(path.c_str()), ZRV_OK);
}

zelto::Variant blob(const Bytes& bytes) {
  return zelto::Variant(zelto::BinaryObject(static_cast<uint32_t>(bytes.size()), bytes.data()));
}

// Saving reads each value and writes it straight back, in name order; the file holds the two
// "Info." settings and one complete set message per request. Applied to a second device holding
// other values, the file makes them equal to the first device's, in label order.
TEST(DeviceConfigFile, SavedFromOneDeviceAndAppliedToAnother) {
  TempDir dir;
  const std::string path = dir.file("tracker.zsa");
  ConfigScene first;
  for (const Value& v : values()) first.emu().setSetting(v.id, v.first);
  first.mark();
  ASSERT_EQ(first.create(path), ZRV_OK);

  std::vector<Bytes> expectedExchange;
  for (const auto& [name, v] : valuesByName()) {
    expectedExchange.push_back(ConfigTestDevice::requestFrame(v->id));
    expectedExchange.push_back(deviceConfigFileFrame(v->id, v->first));
  }
  EXPECT_EQ(first.frames(), expectedExchange);

  zelto::SettingsFile file;
  ASSERT_EQ(file.readZsa(path), ZRV_OK);
  EXPECT_EQ(file.count(), 8u);
  EXPECT_EQ(file.setting("Info.ProductCode"), zelto::Variant(ConfigTestDevice::kProductCode));
  EXPECT_EQ(file.setting("Info.FirmwareVersion"), zelto::Variant("0.0.0"));
  for (const Value& v : values()) {
    const Bytes stored = binaryValue(file, std::string("Config.") + v.name);
    EXPECT_EQ(stored, deviceConfigFileFrame(v.id, v.first)) << v.name;
    ASSERT_GE(stored.size(), 5u) << v.name;
    EXPECT_EQ(stored[1], 0xFF) << v.name;
    EXPECT_EQ(ZtMessage_computeChecksum(stored.data(), stored.size()), stored.back()) << v.name;
  }
  EXPECT_EQ(first.device().deviceState(), ZDS_Config);

  ConfigScene second;
  for (const Value& v : values()) second.emu().setSetting(v.id, v.second);
  second.mark();
  ASSERT_EQ(second.apply(path), ZRV_OK);
  std::vector<Bytes> expectedSets;
  for (const auto& [name, v] : valuesByName()) expectedSets.push_back(deviceConfigFileFrame(v->id, v->first));
  EXPECT_EQ(second.frames(), expectedSets);
  for (const Value& v : values()) EXPECT_EQ(second.emu().setting(v.id), first.emu().setting(v.id)) << v.name;
  EXPECT_EQ(second.device().deviceState(), ZDS_Config);
}

// A class without configuration requests saves only the two "Info." settings, and applying that
// file sends nothing at all.
TEST(DeviceConfigFile, NoMessagesGiveOnlyTheInfoSettingsAndApplySendsNothing) {
  TempDir dir;
  const std::string path = dir.file("empty.zsa");
  ConfigScene scene;
  scene.device().setConfigurationRequests({});
  scene.mark();
  ASSERT_EQ(scene.create(path), ZRV_OK);
  EXPECT_TRUE(scene.nothingArrived());
  zelto::SettingsFile file;
  ASSERT_EQ(file.readZsa(path), ZRV_OK);
  ASSERT_EQ(file.count(), 2u);
  EXPECT_TRUE(file.hasSetting("Info.ProductCode"));
  EXPECT_TRUE(file.hasSetting("Info.FirmwareVersion"));

  scene.mark();
  EXPECT_EQ(scene.apply(path), ZRV_OK);
  EXPECT_TRUE(scene.nothingArrived());
}

// On reading, a label with the lower-case prefix counts and keeps its spelling, so it sorts after
// every capitalised one (byte order); settings without the prefix are never sent, even when they
// hold a valid message.
TEST(DeviceConfigFile, LabelsArePrefixedIgnoringCaseAndSentInByteOrder) {
  TempDir dir;
  const std::string path = dir.file("labels.zsa");
  writeFile(path, {{"config.A", blob(deviceConfigFileFrame(0xD4, {0x00, 0x07}))},
                   {"Config.B", blob(deviceConfigFileFrame(0xD0, {0x00, 0x09}))},
                   {"Other.C", blob(deviceConfigFileFrame(0x04, {0x00, 0x01}))},
                   {"Configuration", blob(deviceConfigFileFrame(0xD2, {1, 2, 3, 4}))},
                   {"Info.ProductCode", zelto::Variant("anything")}});
  ConfigScene scene;
  const Bytes period = scene.emu().setting(0x04);
  const Bytes settings = scene.emu().setting(0xD2);
  scene.mark();
  ASSERT_EQ(scene.apply(path), ZRV_OK);
  EXPECT_EQ(scene.frames(), (std::vector<Bytes>{deviceConfigFileFrame(0xD0, {0x00, 0x09}), deviceConfigFileFrame(0xD4, {0x00, 0x07})}));
  EXPECT_EQ(scene.emu().setting(0xD0), (Bytes{0x00, 0x09}));
  EXPECT_EQ(scene.emu().setting(0xD4), (Bytes{0x00, 0x07}));
  EXPECT_EQ(scene.emu().setting(0x04), period);
  EXPECT_EQ(scene.emu().setting(0xD2), settings);
}

// A reply with another id than request + 1 is no answer: saving fails with 256 after the requests
// before it in name order, and no file is written. A path that cannot be written gives the
// writer's 271 once every exchange is done; a missing file gives the reader's 271 before any.
TEST(DeviceConfigFile, FailuresOfSavingAndReading) {
  TempDir dir;
  ConfigScene scene;
  {
    const std::string path = dir.file("wrong-id.zsa");
    EmuAction wrongId = EmuAction::reply({0x00, 0x01});
    wrongId.replyId = 0xD3;
    scene.emu().script(0xD0, wrongId);
    scene.mark();
    EXPECT_EQ(scene.create(path), ZRV_ERROR);
    EXPECT_FALSE(fileExists(path));
    const std::vector<Bytes> frames = scene.frames();
    // BaudRate and LocationID were read and written back; OutputMode was asked and nothing after.
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[4], ConfigTestDevice::requestFrame(0xD0));
    scene.emu().unscript(0xD0);
  }
  {
    std::ofstream(dir.file("blocker")) << "a file, not a directory";
    scene.mark();
    EXPECT_EQ(scene.create(dir.file("blocker/config.zsa")), ZRV_COULDNOTOPENFILE);
    EXPECT_EQ(scene.frames().size(), 12u);
  }
  {
    scene.mark();
    EXPECT_EQ(scene.apply(dir.file("missing.zsa")), ZRV_COULDNOTOPENFILE);
    EXPECT_TRUE(scene.nothingArrived());
  }
}

// A measuring device is switched to Config first and back to Measurement last, whether the
// operation succeeded or not; a failed return to Measurement turns any result into 256.
TEST(DeviceConfigFile, AMeasuringDeviceIsMeasuringAgainAfterwards) {
  TempDir dir;
  const std::string good = dir.file("good.zsa");
  const std::string refused = dir.file("refused.zsa");
  writeFile(good, {{"Config.OutputMode", blob(deviceConfigFileFrame(0xD0, {0x00, 0x05}))}});
  // No device row answers 0x70.
  writeFile(refused, {{"Config.Unknown", blob(deviceConfigFileFrame(0x70, {0x01}))}});
  struct Row {
    const char* name;
    bool create;
    std::string file;
    bool silenceLocation;
    bool silenceGotoMeasurement;
    ZtResultValue result;
  };
  const Row rows[] = {
      {"create", true, dir.file("out.zsa"), false, false, ZRV_OK},
      {"create with an unanswered request", true, dir.file("out2.zsa"), true, false, ZRV_ERROR},
      {"apply", false, good, false, false, ZRV_OK},
      {"apply with a refused message", false, refused, false, false, ZRV_ERROR},
      {"apply of a missing file", false, dir.file("missing.zsa"), false, false, ZRV_COULDNOTOPENFILE},
      {"create, measurement refused", true, dir.file("out3.zsa"), false, true, ZRV_ERROR},
  };
  ConfigScene scene;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    scene.emu().setSetting(0x84, {0x00, 0x01});
    ASSERT_TRUE(scene.device().gotoMeasurement());
    if (row.silenceLocation) scene.emu().removeSetting(0x84);
    if (row.silenceGotoMeasurement) scene.emu().script(zelto::test::DeviceEmulator::GotoMeasurement, EmuAction::silence());
    scene.mark();
    EXPECT_EQ(row.create ? scene.create(row.file) : scene.apply(row.file), row.result);
    const std::vector<Bytes> frames = scene.frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames.front()[2], zelto::test::DeviceEmulator::GotoConfig);
    if (row.silenceGotoMeasurement) {
      // The unanswered switch is followed by the link's own return to Config.
      EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                              [](const Bytes& f) { return f[2] == zelto::test::DeviceEmulator::GotoMeasurement; }),
                1);
      // The file was written all the same; only the result tells of the failed return.
      EXPECT_TRUE(fileExists(row.file));
      scene.emu().unscript(zelto::test::DeviceEmulator::GotoMeasurement);
      EXPECT_FALSE(scene.device().isMeasuring());
    } else {
      EXPECT_EQ(frames.back()[2], zelto::test::DeviceEmulator::GotoMeasurement);
      EXPECT_EQ(scene.device().deviceState(), ZDS_Measurement);
      EXPECT_TRUE(scene.emu().measuring());
    }
  }
  ASSERT_TRUE(scene.device().gotoConfig());
}

// When the switch to Config fails, both operations give 256 at once: no exchange, no file, no
// attempt to return to Measurement.
TEST(DeviceConfigFile, AFailedSwitchToConfigStopsEverything) {
  TempDir dir;
  const std::string good = dir.file("good.zsa");
  writeFile(good, {{"Config.OutputMode", blob(deviceConfigFileFrame(0xD0, {0x00, 0x05}))}});
  ConfigScene scene;
  ASSERT_TRUE(scene.device().gotoMeasurement());
  scene.emu().script(zelto::test::DeviceEmulator::GotoConfig, EmuAction::silence());
  for (bool create : {true, false}) {
    SCOPED_TRACE(create ? "create" : "apply");
    scene.mark();
    EXPECT_EQ(create ? scene.create(dir.file("out.zsa")) : scene.apply(good), ZRV_ERROR);
    for (const Bytes& f : scene.frames()) EXPECT_EQ(f[2], zelto::test::DeviceEmulator::GotoConfig);
    EXPECT_FALSE(fileExists(dir.file("out.zsa")));
    EXPECT_EQ(scene.device().deviceState(), ZDS_Measurement);
  }
  scene.emu().unscript(zelto::test::DeviceEmulator::GotoConfig);
  ASSERT_TRUE(scene.device().gotoConfig());
}

// A "Config." value that is not exactly one complete Zbus message with a correct checksum
// refuses the whole file with 256 before anything is sent, even the valid message that sorts
// before it.
TEST(DeviceConfigFile, HostileValuesRefuseTheWholeFileBeforeAnythingIsSent) {
  const Bytes good = deviceConfigFileFrame(0xD0, {0x00, 0x05});
  Bytes badChecksum = deviceConfigFileFrame(0xD4, {0x00, 0x03});
  badChecksum.back() ^= 0x01;
  Bytes truncated = deviceConfigFileFrame(0xD4, {0x00, 0x03});
  truncated.pop_back();
  Bytes trailing = deviceConfigFileFrame(0xD4, {0x00, 0x03});
  trailing.push_back(0x00);
  Bytes twoFrames = deviceConfigFileFrame(0xD4, {0x00, 0x03});
  const Bytes other = deviceConfigFileFrame(0x04, {0x00, 0x01});
  twoFrames.insert(twoFrames.end(), other.begin(), other.end());
  Bytes wrongPreamble = deviceConfigFileFrame(0xD4, {0x00, 0x03});
  wrongPreamble[0] = 0xFB;
  Bytes longLength = deviceConfigFileFrame(0xD4, {0x00, 0x03});
  longLength[3] = 0x20;  // claims more payload than the value holds (checksum fixed up)
  longLength.back() = ZtMessage_computeChecksum(longLength.data(), longLength.size());

  struct Row {
    const char* name;
    zelto::Variant value;
  };
  const Row rows[] = {
      {"garbage", blob({0x01, 0x02, 0x03})},
      {"wrong checksum", blob(badChecksum)},
      {"truncated frame", blob(truncated)},
      {"trailing byte", blob(trailing)},
      {"two frames", blob(twoFrames)},
      {"wrong preamble", blob(wrongPreamble)},
      {"length beyond the value", blob(longLength)},
      {"empty object", blob({})},
      {"text", zelto::Variant("FAFFD40000")},
      {"integer", zelto::Variant(5)},
  };
  TempDir dir;
  ConfigScene scene;
  const Bytes before = scene.emu().setting(0xD0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = dir.file(std::string("hostile-") + std::to_string(&row - rows) + ".zsa");
    writeFile(path, {{"Config.A", blob(good)}, {"Config.Z", row.value}});
    scene.mark();
    EXPECT_EQ(scene.apply(path), ZRV_ERROR);
    EXPECT_TRUE(scene.nothingArrived());
  }
  EXPECT_EQ(scene.emu().setting(0xD0), before);
}

}  // namespace
