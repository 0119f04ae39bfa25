// The host-filtered tracker by direct calls: factory rows, rates and configuration requests,
// scenario loading, hardware parameters from settings (with the revision parse), the per-packet
// filter step and its status bits, filter state and reset, and the acknowledged setters against
// the emulated tracker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceFactory.h"
#include "device/config/DeviceConfigurationMessages.h"
#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3/Zkf3Aiding.h"
#include "filters/zkf3/Zkf3FilterOutput.h"
#include "filters/zkf3/Zkf3Params.h"
#include "filters/zkf3/Zkf3RealTimeParameters.h"
#include "filters/zkf3/Zkf3SensorData.h"
#include "filters/zkf3/Zkf3State.h"
#include "errors/ZtException.h"
#include "math/Vector3.h"
#include "trackers/KtixFixture.h"

namespace zelto::test {
namespace {

constexpr double kInclination = 1.0;  // rad, field pointing down
constexpr double kGravity = 9.81;

// ---- Helpers ---------------------------------------------------------------------------------------

struct KtixDevicePacket {
  explicit KtixDevicePacket(const ZtDevice& device) {
    ZtDataPacket_construct(&p);
    p.deviceId = device.deviceId();
  }
  ~KtixDevicePacket() { ZtDataPacket_destruct(&p); }
  KtixDevicePacket(const KtixDevicePacket&) = delete;
  KtixDevicePacket& operator=(const KtixDevicePacket&) = delete;
  ZtDataPacket p;
};

// Calibrated sensor values of a still tracker with orientation q (sensor to NWU): gravity's
// reaction and the field, both turned into the sensor frame.
struct Sample {
  double acc[3], gyr[3], mag[3];
};

void rotateInverse(const ZtQuaternion& q, const double in[3], double out[3]) {
  // R(q)^T v
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double r[9] = {w * w + x * x - y * y - z * z, 2 * (x * y - w * z), 2 * (x * z + w * y),
                       2 * (x * y + w * z), w * w - x * x + y * y - z * z, 2 * (y * z - w * x),
                       2 * (x * z - w * y), 2 * (y * z + w * x), w * w - x * x - y * y + z * z};
  for (int i = 0; i < 3; ++i) out[i] = r[i] * in[0] + r[3 + i] * in[1] + r[6 + i] * in[2];
}

Sample stillSample(const ZtQuaternion& q) {
  Sample s{};
  const double up[3] = {0.0, 0.0, kGravity};
  const double field[3] = {std::cos(kInclination), 0.0, -std::sin(kInclination)};
  rotateInverse(q, up, s.acc);
  rotateInverse(q, field, s.mag);
  return s;
}

void fill(ZtDataPacket& p, const Sample& s, bool withRaw, bool withStatus, uint32_t status = 0) {
  ZtCalibratedData c;
  std::memcpy(c.acc, s.acc, sizeof c.acc);
  std::memcpy(c.gyr, s.gyr, sizeof c.gyr);
  std::memcpy(c.mag, s.mag, sizeof c.mag);
  ZtDataPacket_setCalibratedData(&p, &c);
  if (withRaw) {
    ZtScrData raw{};
    for (int i = 0; i < 3; ++i) raw.acc[i] = raw.gyr[i] = raw.mag[i] = 32768;
    raw.temp[0] = 15360;
    ZtDataPacket_setRawData(&p, &raw);
  }
  if (withStatus) ZtDataPacket_setStatus(&p, status);
}

// The device's filter from the test scenario and its hardware parameters at 100 Hz.
zelto::Zkf3Params* testParams(KtixDevice& device) {
  zelto::SettingsFile file;
  writeTestScenario(file, "S.");
  zelto::Zkf3ScenarioParams scenario;
  EXPECT_TRUE(scenario.readFromFileNoThrow(file, "S."));
  ZkfUserParams user;
  user.sampleRate = 100.0;
  user.enabledFixedGravity = true;
  user.gravityMagnitude = kGravity;
  user.storedLatLongAlt = zelto::Vector3(52.0, 6.0, 10.0);
  KtHardwareParams& h = device.hardwareParameters();
  h.acc_range = 80.0;
  h.gyr_range = 850.0;
  auto* params = new zelto::Zkf3Params();
  params->initialize(scenario, h, user, zelto::Zkf3FilterSteps());
  return params;
}

void installFilter(KtixDevice& device) {
  device.setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>(new zelto::Zkf3Filter(testParams(device))));
}

ZtQuaternion axisAngle(double ax, double ay, double az, double angle) {
  const double s = std::sin(angle / 2);
  return ZtQuaternion{std::cos(angle / 2), ax * s, ay * s, az * s};
}

double angleBetween(const ZtQuaternion& a, const ZtQuaternion& b) {
  const double dot = std::fabs(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z);
  return 2.0 * std::acos(std::min(1.0, dot));
}

// The requests of a collection, by name.
struct Peek : DeviceConfigurationMessages {
  static const std::map<std::string, Internal::RequestMessage>& requests(const DeviceConfigurationMessages& m) {
    return m.*(&Peek::m_requests);
  }
};

// ---- Factory, rates, configuration requests ------------------------------------------------------------

class KtixDeviceFactory : public DeviceFactory {
 public:
  void removeExistingDevice(const ZtDeviceId&) override {}
  bool initializeDevice(ZtDevice* device) const override { return device != nullptr; }
};

TEST(KtixFactory, TypeTenBuildsTheHostFilteredTrackerAsMasterAndChild) {
  KtixDeviceFactory factory;
  TrackerModel model;
  auto* link = new Communicator();
  link->setMasterDeviceId(model.deviceId);
  EXPECT_EQ(factory.deviceToTypeId(model.deviceId), 10u);
  ZtDevice* master = factory.createMasterDevice(link, false);
  ASSERT_NE(master, nullptr);
  EXPECT_NE(dynamic_cast<KtixDevice*>(master), nullptr);
  // The first registration stays.
  EXPECT_FALSE(factory.registerMasterDeviceType(10, [](DeviceFactory&, Communicator*) -> ZtDevice* { return nullptr; }));
  ZtDevice* child = factory.createChildDevice(model.deviceId + 1, *master, false);
  ASSERT_NE(child, nullptr);
  EXPECT_NE(dynamic_cast<KtixDevice*>(child), nullptr);
  EXPECT_EQ(master->findDevice(model.deviceId + 1), child);
  EXPECT_EQ(child->master(), master);
  child->removeRef();
  master->removeRef();
}

TEST(KtixDevice, FortyThreeRatesForEveryIdentifier) {
  OfflineKtix o;
  for (ZtDataIdentifier id : {ZtDataIdentifier{0x2010}, ZtDataIdentifier{0xA010}, ZtDataIdentifier{0}}) {
    const std::vector<int> rates = o.device->supportedUpdateRates(id);
    ASSERT_EQ(rates.size(), 43u);
    EXPECT_EQ(rates.front(), 512);
    EXPECT_EQ(rates.back(), 10);
    for (size_t i = 1; i < rates.size(); ++i) EXPECT_LT(rates[i], rates[i - 1]);
    // Every rate but 512 is a whole number of the 115200 Hz sample clock's periods.
    for (int r : rates) {
      if (r != 512) {
        EXPECT_EQ(115200 % r, 0) << r;
      }
    }
  }
}

TEST(KtixDevice, ConfigurationRequestsAddExtOutputModeAndCurrentScenario) {
  OfflineKtix o;
  std::unique_ptr<DeviceConfigurationMessages> messages(o.device->determineConfigurationMessages());
  const auto& requests = Peek::requests(*messages);
  EXPECT_EQ(requests.size(), 8u);
  const std::map<std::string, std::vector<uint8_t>> added = {{"ExtOutputMode", {0xFA, 0xFF, 0x86, 0x00, 0x7B}},
                                                             {"CurrentScenario", {0xFA, 0xFF, 0x64, 0x00, 0x9D}}};
  for (const auto& [name, bytes] : added) {
    SCOPED_TRACE(name);
    auto it = requests.find(name);
    ASSERT_NE(it, requests.end());
    const ZtMessage& m = it->second.getMessage();
    ASSERT_EQ(ZtMessage_getTotalMessageSize(&m), 5u);
    const uint8_t* start = ZtMessage_getMessageStart(&m);
    EXPECT_EQ(std::vector<uint8_t>(start, start + 5), bytes);
  }
  for (const char* name : {"OutputMode", "OutputSettings", "BaudRate", "Period", "OutputSkipFactor", "LocationID"})
    EXPECT_NE(requests.find(name), requests.end()) << name;
}

// ---- Scenarios -----------------------------------------------------------------------------------------

TEST(KtixScenario, FilterNameAndVersionRule) {
  const struct {
    const char* filterName;
    int major, minor;
    bool complete;  // all keys present
    bool accepted;
  } cases[] = {
      {"ZKF-3", 1, 2, true, true},   {"zkf-3", 1, 2, true, true},    {"Zkf-3", 1, 9, true, true},
      {"ZKF-3", 1, 1, true, false},  {"ZKF-3", 2, 2, true, false},   {"ZKF-3", 0, 2, true, false},
      {"ZKF-3W", 1, 2, true, false}, {"ZKF-3I", 1, 2, true, false},  {"ZKF-", 1, 2, true, false},
      {"", 1, 2, true, false},       {"ZKF-3", 1, 2, false, false},
  };
  OfflineKtix o;
  zelto::SettingsFile full, partial;
  writeTestScenario(full, "ZKF.zkf3.");
  writeTestScenario(partial, "ZKF.zkf3.");
  partial.clear("ZKF.zkf3.tau_vel", false, true);
  ASSERT_FALSE(partial.hasSetting("ZKF.zkf3.", "tau_vel"));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.filterName) + " " + std::to_string(c.major) + "." + std::to_string(c.minor) +
                 (c.complete ? "" : " incomplete"));
    ExtendedScenario scenario;
    scenario.profile().filterMajor = static_cast<uint8_t>(c.major);
    scenario.profile().filterMinor = static_cast<uint8_t>(c.minor);
    const bool nameOk = std::string(c.filterName) == "ZKF-3" || std::string(c.filterName) == "zkf-3" ||
                        std::string(c.filterName) == "Zkf-3";
    bool accepted = true;
    try {
      o.device->loadScenario(&scenario, c.complete ? full : partial, "ZKF.zkf3.", c.filterName);
    } catch (const ZtException&) {
      accepted = false;
    }
    EXPECT_EQ(accepted, c.accepted);
    if (!nameOk) {
      EXPECT_EQ(scenario.parameters(), nullptr);
      continue;
    }
    // The scenario owns a Zkf3 record and names the Zkf3 filter, also when it was refused.
    auto* params = dynamic_cast<zelto::Zkf3ScenarioParams*>(scenario.parameters());
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(scenario.profile().filterType, '3');
    if (c.accepted) {
      EXPECT_EQ(params->tau_acc, 0.5);
      EXPECT_EQ(params->initialConditions.sd_init_magvar[2], 0.01);
      EXPECT_STREQ(params->scenarioName, "general");
    }
  }
}

TEST(KtixScenario, TheBuiltInProfileLoadsWithPositiveConstants) {
  zelto::SettingsFile builtIn;
  ASSERT_EQ(builtIn.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  OfflineKtix o;
  ExtendedScenario scenario;
  scenario.profile().filterMajor = 1;
  scenario.profile().filterMinor = 2;
  std::string version, label;
  ASSERT_EQ(builtIn.getSetting("ZKF.zkf3.", "gp.filterVersion", version), 0);
  EXPECT_EQ(version, "1.2.0");
  ASSERT_EQ(builtIn.getSetting("ZKF.zkf3.", "gp.scenario", label), 0);
  EXPECT_LE(label.size(), 19u);
  ASSERT_NO_THROW(o.device->loadScenario(&scenario, builtIn, "ZKF.zkf3.", "ZKF-3"));
  const auto& p = *dynamic_cast<zelto::Zkf3ScenarioParams*>(scenario.parameters());
  for (double tau : {p.tau_acc, p.tau_magavg, p.tau_magvar, p.tau_mag_temp, p.tau_vel, p.p_mag_spat}) EXPECT_GT(tau, 0.0);
  const auto& ic = p.initialConditions;
  for (double sd : {ic.sd_init_orient, ic.sd_init_acc, ic.sd_init_gyrBias, ic.sd_init_mag, ic.sd_init_magvar[0],
                    ic.sd_init_magvar[1], ic.sd_init_magvar[2]})
    EXPECT_GT(sd, 0.0);
  EXPECT_EQ(p.updateFlags, zelto::Zkf3ScenarioParams::kAccUpdateFlag | zelto::Zkf3ScenarioParams::kMagUpdateFlag);
}

// ---- Hardware parameters --------------------------------------------------------------------------------

TEST(KtixHardware, RevisionParseSaturatesAndNeedsBothNumbers) {
  const struct {
    const char* text;
    bool ok;
    int major, minor;
  } cases[] = {
      {"1.2", true, 1, 2},
      {" 1. 0", true, 1, 0},
      {"+3.-4", true, 3, -4},
      {"1.2.7", true, 1, 2},
      {"99999999999999999999999.2", true, 2147483647, 2},
      {"1.-99999999999999999999999", true, 1, -2147483647 - 1},
      {"257.2", true, 257, 2},
      {"1", false, 0, 0},
      {"1.", false, 0, 0},
      {".2", false, 0, 0},
      {"a.b", false, 0, 0},
      {"", false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int major = -7, minor = -7;
    EXPECT_EQ(KtixDevice::parseHardwareRevision(c.text, major, minor), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(major, c.major);
    EXPECT_EQ(minor, c.minor);
  }
  int a, b;
  EXPECT_FALSE(KtixDevice::parseHardwareRevision(nullptr, a, b));
}

// A settings file with one hardware entry: label L, revision text and assembly text.
void writeHardwareEntry(zelto::SettingsFile& file, const std::string& label, const char* revision, const char* assembly,
                        double accRange) {
  const std::string p = label + ".";
  file.setSetting(p, "gp.hw_revision", zelto::Variant(revision));
  file.setSetting(p, "gp.assembly", zelto::Variant(assembly));
  file.setSetting(p, "sd_v_mag", zelto::Variant(0.002));
  const struct {
    const char* key;
    double value;
  } acc[] = {{"acc_range", accRange}, {"deltaAccBias", 1e-4}, {"sd_init_accBias", 0.05}, {"sd_v_acc", 0.01}},
    gyr[] = {{"deltaGyrBias", 1e-5}, {"f_dynamic_gyro", 0.0}, {"gyr_range", 850}, {"sd_init_gyrBias", 0.01},
             {"sd_v_gyr", 0.002}};
  // The emulated product code KT-A3G2-MTX names the sub-prefixes A3. and G2.
  for (const auto& v : acc) file.setSetting(p + "A3.", v.key, zelto::Variant(v.value));
  for (const auto& v : gyr) file.setSetting(p + "G2.", v.key, zelto::Variant(v.value));
}

TEST(KtixHardware, TheFirstMatchingKt9EntryIsReadAndWrittenToPage5) {
  const struct {
    const char* name;
    uint16_t hardwareVersion;
    const char* revision;
    const char* assembly;
    double expectedRange;  // 0: no entry matches
  } cases[] = {
      {"exact", 0x0102, "1.2", "KT9-C", 81.0},
      {"lower case, 1.8 counts as 1.0", 0x0108, "1.0", "kt9x", 81.0},
      {"1.8 entry does not match 1.8", 0x0108, "1.8", "KT9", 0.0},
      {"other assembly", 0x0102, "1.2", "KT8-C", 0.0},
      {"short assembly", 0x0102, "1.2", "KT", 0.0},
      {"revision wraps in 8 bits", 0x0102, "257.2", "KT9", 0.0},
      {"huge revision", 0x0102, "99999999999999999999.2", "KT9", 0.0},
      {"one number", 0x0102, "1", "KT9", 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TrackerModel model;
    model.hardwareVersion = c.hardwareVersion;
    OfflineKtix o(model);
    zelto::SettingsFile file;
    zelto::LabelList labels;
    labels.append("HW.other");
    labels.append("HW.entry");
    file.setSetting("ZKF.hardwares", zelto::Variant(labels));
    writeHardwareEntry(file, "HW.other", "9.9", "KT9", 70.0);
    writeHardwareEntry(file, "HW.entry", c.revision, c.assembly, 81.0);
    const bool read = o.device->readHardwareParamsFromFile(file);
    if (c.expectedRange == 0.0) {
      // Nothing matched: the values are looked up without entry prefix, and there are none.
      EXPECT_FALSE(read);
      continue;
    }
    ASSERT_TRUE(read);
    const KtHardwareParams& h = o.device->hardwareParameters();
    EXPECT_EQ(h.hardwareType(), "A3G2-MTX");
    EXPECT_EQ(h.acc_range, c.expectedRange);
    EXPECT_EQ(h.gyr_range, 850.0);
    EXPECT_EQ(h.sd_v_gyr, 0.002);
    uint8_t expected[264] = {};
    std::memcpy(expected, o.device->record().getPagePtr(5), sizeof expected);
    h.writeToDecryptedEktsPage5(expected);
    EXPECT_EQ(std::memcmp(expected, o.device->record().getPagePtr(5), sizeof expected), 0);
    EXPECT_NEAR(o.device->record().ekts()->accRange(), c.expectedRange, 1e-6);
  }
}

TEST(KtixHardware, WithoutListOrHardwareTypeNothingIsRead) {
  zelto::SettingsFile withoutList;
  writeHardwareEntry(withoutList, "HW.entry", "1.2", "KT9", 81.0);
  OfflineKtix o;
  EXPECT_FALSE(o.device->readHardwareParamsFromFile(withoutList));

  // No entry matches, but the keys sit without prefix: they are read.
  zelto::SettingsFile unprefixed;
  unprefixed.setSetting("ZKF.hardwares", zelto::Variant(zelto::LabelList()));
  writeHardwareEntry(unprefixed, "", "1.2", "KT9", 66.0);
  unprefixed.replacePrefix(".", "");
  EXPECT_TRUE(o.device->readHardwareParamsFromFile(unprefixed));
  EXPECT_EQ(o.device->hardwareParameters().acc_range, 66.0);

  // A product code without "KT" names no hardware type.
  TrackerModel model;
  model.productCode = "XYZ-100";
  OfflineKtix other(model);
  zelto::SettingsFile file;
  zelto::LabelList labels;
  labels.append("HW.entry");
  file.setSetting("ZKF.hardwares", zelto::Variant(labels));
  writeHardwareEntry(file, "HW.entry", "1.2", "KT9", 81.0);
  EXPECT_FALSE(other.device->readHardwareParamsFromFile(file));
}

TEST(KtixHardware, SetHardwareParamsReplacesTheOwnedObject) {
  OfflineKtix o;
  auto* replacement = new KtHardwareParams();
  replacement->acc_range = 3.5;
  o.device->setHardwareParams(replacement);
  EXPECT_EQ(&o.device->hardwareParameters(), replacement);
  o.device->setHardwareParams(nullptr);
  EXPECT_EQ(&o.device->hardwareParameters(), replacement);
  EXPECT_EQ(o.device->pendingNoRotationCount(), 0);
}

// ---- Per-packet filtering -----------------------------------------------------------------------------

TEST(KtixFiltering, PacketsWithoutFilterOrRawDataPassUnchanged) {
  OfflineKtix o;
  const Sample s = stillSample(ZtQuaternion{1, 0, 0, 0});
  {
    KtixDevicePacket p(*o.device);
    fill(p.p, s, true, true);
    o.device->performFiltering(p.p);  // no filter yet
    EXPECT_FALSE(ZtDataPacket_containsOrientation(&p.p));
  }
  installFilter(*o.device);
  KtixDevicePacket p(*o.device);
  fill(p.p, s, false, true, 0x1234);
  o.device->performFiltering(p.p);
  EXPECT_FALSE(ZtDataPacket_containsOrientation(&p.p));
  EXPECT_FALSE(ZtDataPacket_containsFreeAcceleration(&p.p));
  EXPECT_EQ(ZtDataPacket_status(&p.p), 0x1234u);
}

TEST(KtixFiltering, OrientationFreeAccelerationAndStatusOfAStillTracker) {
  OfflineKtix o;
  installFilter(*o.device);
  const ZtQuaternion truth = axisAngle(0.6, 0.0, 0.8, 0.7);
  const Sample s = stillSample(truth);
  // Still, then a jolt the accelerometer update rejects as an outlier, then still again.
  Sample jolt = s;
  jolt.acc[0] += 30.0;
  int settled = 0, unsettledAfterJolt = 0, settledAgainAt = -1;
  for (int i = 0; i < 1000; ++i) {
    KtixDevicePacket p(*o.device);
    // Every third packet has no status: it gets orientation and free acceleration but no status.
    const bool withStatus = i % 3 != 0;
    const bool jolted = i >= 100 && i < 103;
    fill(p.p, jolted ? jolt : s, true, withStatus, 0xFFFFFFFFu);
    o.device->performFiltering(p.p);
    ASSERT_TRUE(ZtDataPacket_containsOrientationQuaternion(&p.p)) << i;
    EXPECT_EQ(ZtDataPacket_orientationFrame(&p.p), 0x0008);
    ASSERT_TRUE(ZtDataPacket_containsFreeAcceleration(&p.p));
    EXPECT_EQ(ZtDataPacket_containsStatus(&p.p) != 0, withStatus);
    if (i == 99) {
      // Still before the jolt: the truth and no free acceleration.
      ZtQuaternion q;
      ZtDataPacket_orientationQuaternion(&p.p, 0, &q);
      EXPECT_LT(angleBetween(q, truth), 0.2 * M_PI / 180.0);
      zelto::Vector3 free;
      ASSERT_TRUE(ZtDataPacket_freeAcceleration(&p.p, &free));
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(free[k], 0.0, 0.01);
    }
    if (!withStatus) continue;
    const uint32_t status = ZtDataPacket_status(&p.p);
    // Bits other than 0x02 and 0x18 are kept; no bias estimation at rest was asked for.
    EXPECT_EQ(status & ~0x1Au, 0xFFFFFFFFu & ~0x1Au);
    EXPECT_EQ(status & 0x18u, 0u);
    if (i < 100) {
      EXPECT_TRUE(status & 0x02u) << i;
      ++settled;
    } else if (i >= 103 && i < 250) {
      // The filter's not-valid count (two seconds of samples) runs after the jolt.
      EXPECT_FALSE(status & 0x02u) << i;
      ++unsettledAfterJolt;
    } else if (i >= 250 && settledAgainAt < 0 && (status & 0x02u)) {
      settledAgainAt = i;
    } else if (settledAgainAt >= 0) {
      EXPECT_TRUE(status & 0x02u) << i;
    }
  }
  EXPECT_GT(settled, 0);
  EXPECT_GT(unsettledAfterJolt, 0);
  // Settled again once the filter trusts its orientation again.
  EXPECT_GT(settledAgainAt, 0);
}

TEST(KtixFiltering, NoRotationStatusBitsFollowTheFilterState) {
  const struct {
    bool running, aborted, rejected;
    uint32_t bits;
  } cases[] = {{false, false, false, 0x00}, {true, false, false, 0x18}, {true, true, true, 0x18},
               {false, true, false, 0x10}, {false, true, true, 0x10},  {false, false, true, 0x08}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.running) + std::to_string(c.aborted) + std::to_string(c.rejected));
    OfflineKtix o;
    installFilter(*o.device);
    const Sample s = stillSample(ZtQuaternion{1, 0, 0, 0});
    for (int i = 0; i < 5; ++i) {
      KtixDevicePacket p(*o.device);
      fill(p.p, s, true, false);
      o.device->performFiltering(p.p);
    }
    zelto::Zkf3State state;
    o.device->zkfFilter()->getFullState(&state);
    state.running = c.running;
    state.aborted = c.aborted;
    state.rejected = c.rejected;
    state.gbes = c.running ? 500 : 0;
    zelto::SettingsFile file;
    state.writeToFile(file, "");
    o.device->resetSoftwareFilter(&file);
    KtixDevicePacket p(*o.device);
    // The bits the filter owns are cleared first.
    fill(p.p, s, true, true, 0x18);
    o.device->performFiltering(p.p);
    EXPECT_EQ(ZtDataPacket_status(&p.p) & 0x18u, c.bits);
  }
}

TEST(KtixFiltering, ANotFiniteSampleLeavesThePacketUnchanged) {
  OfflineKtix o;
  installFilter(*o.device);
  Sample s = stillSample(ZtQuaternion{1, 0, 0, 0});
  s.gyr[1] = NAN;
  KtixDevicePacket p(*o.device);
  fill(p.p, s, true, true, 0x04);
  o.device->performFiltering(p.p);
  EXPECT_FALSE(ZtDataPacket_containsOrientation(&p.p));
  EXPECT_EQ(ZtDataPacket_status(&p.p), 0x04u);
}

// ---- Filter state and reset -----------------------------------------------------------------------------

TEST(KtixFilterState, StoreFilterStateWritesTheBiasIntoTheRecord) {
  OfflineKtix o;
  // Without a filter the tracker base runs: only in Config, and over a link.
  o.device->setState(ZDS_Config);
  EXPECT_FALSE(o.device->storeFilterState());
  installFilter(*o.device);
  Sample s = stillSample(ZtQuaternion{1, 0, 0, 0});
  s.gyr[0] = 0.01;
  s.gyr[1] = -0.02;
  s.gyr[2] = 0.005;
  for (int i = 0; i < 300; ++i) {
    KtixDevicePacket p(*o.device);
    fill(p.p, s, true, false);
    o.device->performFiltering(p.p);
  }
  auto filter = o.device->zkfFilter();
  ASSERT_TRUE(filter->isInitialized());
  zelto::Zkf3State state;
  filter->getFullState(&state);
  ASSERT_TRUE(o.device->storeFilterState());
  const zelto::Vector3 stored = o.device->record().gyroBiasEstimation();
  // The record keeps the value in its own (shorter) number form.
  for (ZtSize i = 0; i < 3; ++i) EXPECT_NEAR(stored[i], state.gyrBias[i], 1e-9);
  // The bias came from the samples, not from zero.
  EXPECT_GT(std::fabs(stored[1]), 1e-4);
}

TEST(KtixFilterState, ResetWithAStateFileMatchesAFilterFedTheSameSamples) {
  OfflineKtix o;
  installFilter(*o.device);
  Sample s = stillSample(axisAngle(0, 0, 1, 0.3));
  for (int i = 0; i < 50; ++i) {
    KtixDevicePacket p(*o.device);
    fill(p.p, s, true, false);
    o.device->performFiltering(p.p);
  }
  // A state taken from another filter that ran on other samples.
  zelto::Zkf3Filter other(testParams(*o.device));
  const Sample t = stillSample(axisAngle(1, 0, 0, 0.4));
  zelto::Zkf3SensorData sd;
  zelto::Zkf3Aiding ad;
  for (int i = 0; i < 3; ++i) {
    sd.inertial.acc[i] = t.acc[i];
    sd.inertial.gyr[i] = t.gyr[i];
    ad.mag[i] = t.mag[i];
  }
  zelto::Zkf3RealTimeParameters rt;
  zelto::Zkf3FilterOutput out;
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(other.doOneKalmanStep(sd, ad, rt, out));
  zelto::Zkf3State saved;
  other.getFullState(&saved);
  zelto::SettingsFile file;
  saved.writeToFile(file, "");

  o.device->resetSoftwareFilter(&file);
  // The reference: the same state in a filter restarted the same way.
  zelto::Zkf3Filter reference(testParams(*o.device));
  reference.restart(nullptr);
  reference.setFullState(&saved);
  for (int i = 0; i < 20; ++i) {
    KtixDevicePacket p(*o.device);
    fill(p.p, s, true, false);
    o.device->performFiltering(p.p);
    for (int k = 0; k < 3; ++k) {
      sd.inertial.acc[k] = s.acc[k];
      sd.inertial.gyr[k] = s.gyr[k];
      ad.mag[k] = s.mag[k];
    }
    zelto::Zkf3FilterOutput expected;
    ASSERT_TRUE(reference.doOneKalmanStep(sd, ad, rt, expected));
    ZtQuaternion q;
    ZtDataPacket_orientationQuaternion(&p.p, 0, &q);
    EXPECT_EQ(q.w, expected.q_gs.w) << i;
    EXPECT_EQ(q.x, expected.q_gs.x) << i;
    EXPECT_EQ(q.y, expected.q_gs.y) << i;
    EXPECT_EQ(q.z, expected.q_gs.z) << i;
  }

  // With filtering off the reset does nothing.
  o.device->setSoftwareFilteringEnabled(false);
  zelto::Zkf3State before;
  o.device->zkfFilter()->getFullState(&before);
  o.device->resetSoftwareFilter(&file);
  zelto::Zkf3State after;
  o.device->zkfFilter()->getFullState(&after);
  EXPECT_EQ(before.q_gs.w, after.q_gs.w);
  EXPECT_EQ(before.q_gs.z, after.q_gs.z);
}

TEST(KtixFilterState, WithoutAMatchingProfileInitializeFilterClearsTheFilter) {
  OfflineKtix o;
  installFilter(*o.device);
  ASSERT_TRUE(o.device->hasZkfFilter());
  EXPECT_FALSE(o.device->initializeFilter());  // no profile chosen
  EXPECT_FALSE(o.device->hasZkfFilter());

  // A chosen profile whose scenario is of another filter type also clears it.
  installFilter(*o.device);
  ZtFilterProfile profile{};
  profile.type = 7;
  profile.filterType = 'W';
  o.device->addHostScenario(new ExtendedScenario(profile, nullptr));
  o.device->setCurrentHostProfile(profile);
  EXPECT_FALSE(o.device->initializeFilter());
  EXPECT_FALSE(o.device->hasZkfFilter());

  // A profile no scenario has.
  installFilter(*o.device);
  profile.type = 8;
  o.device->setCurrentHostProfile(profile);
  EXPECT_FALSE(o.device->initializeFilter());
  EXPECT_FALSE(o.device->hasZkfFilter());
}

// ---- Setters on the device --------------------------------------------------------------------------------

TEST(KtixSetters, ProcessingFlagsAreSentOnlyWhenTheyChange) {
  EmulatedKtix t;
  TestKtix& d = *t.device;
  EXPECT_FALSE(d.isFixedGravityEnabled());
  EXPECT_FALSE(d.isInitialBiasUpdateEnabled());
  ASSERT_TRUE(d.setFixedGravityEnabled(true));
  ASSERT_TRUE(d.setInitialBiasUpdateEnabled(true));
  EXPECT_TRUE(d.isFixedGravityEnabled());
  EXPECT_TRUE(d.isInitialBiasUpdateEnabled());
  // Already set: nothing goes out.
  ASSERT_TRUE(d.setFixedGravityEnabled(true));
  ASSERT_TRUE(d.setFixedGravityEnabled(false));
  std::vector<std::vector<uint8_t>> ktixDeviceSent;
  for (const EmuFrame& f : t.framesSinceMark())
    if (f.messageId == 0x20) ktixDeviceSent.push_back(f.payload);
  EXPECT_EQ(ktixDeviceSent, (std::vector<std::vector<uint8_t>>{{0x00, 0x02}, {0x00, 0x03}, {0x00, 0x01}}));
  EXPECT_EQ(d.record().processingFlags(), 0x0001);
  EXPECT_EQ(t.model.row(0x20), (std::vector<uint8_t>{0x00, 0x01}));
}

TEST(KtixSetters, AReplyOtherThanTheAcknowledgementChangesNothing) {
  const struct {
    const char* name;
    EmuAction action;
  } cases[] = {{"error", EmuAction::error(0x04)}, {"silence", EmuAction::silence()}, {"other id", [] {
                                                                                         EmuAction a = EmuAction::reply();
                                                                                         a.replyId = 0x23;
                                                                                         return a;
                                                                                       }()}};
  EmulatedKtix t;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t.emu->script(0x20, c.action);
    t.emu->script(0x82, c.action);
    t.emu->script(0xE0, c.action);
    EXPECT_FALSE(t.device->setFixedGravityEnabled(true));
    EXPECT_FALSE(t.device->isFixedGravityEnabled());
    const double offsetBefore = t.device->headingOffset();
    EXPECT_FALSE(t.device->setHeadingOffset(0.75));
    EXPECT_EQ(t.device->headingOffset(), offsetBefore);
    ZtMatrix m;
    const double values[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    ZtMatrix_construct(&m, 3, 3, 3, values);
    const ZtMatrix before = t.device->objectAlignment();
    EXPECT_FALSE(t.device->setObjectAlignment(m));
    ZtMatrix afterM = t.device->objectAlignment();
    EXPECT_EQ(std::memcmp(before.data, afterM.data, 9 * sizeof(double)), 0);
    ZtMatrix_destruct(&afterM);
    ZtMatrix beforeCopy = before;
    ZtMatrix_destruct(&beforeCopy);
    ZtMatrix_destruct(&m);
  }
  // Without a link nothing is tried.
  OfflineKtix o;
  EXPECT_FALSE(o.device->setInitialBiasUpdateEnabled(true));
  EXPECT_FALSE(o.device->setHeadingOffset(0.1));
}

TEST(KtixSetters, HeadingOffsetIsAcknowledgedThenStored) {
  EmulatedKtix t;
  ASSERT_TRUE(t.device->setHeadingOffset(0.375));
  EXPECT_EQ(t.device->headingOffset(), 0.375);
  const std::vector<EmuFrame> frames = t.framesSinceMark();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].messageId, 0x82);
  // 0.375f = 0x3EC00000
  EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{0x3E, 0xC0, 0x00, 0x00}));
  // The device holds it: a read (0x82 without payload) reports the value.
  EXPECT_EQ(t.model.row(0x82), (std::vector<uint8_t>{0x3E, 0xC0, 0x00, 0x00}));
}

TEST(KtixSetters, ObjectAlignmentGoesRowByRow) {
  EmulatedKtix t;
  const double values[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};  // not symmetric: the order shows
  ZtMatrix m;
  ZtMatrix_construct(&m, 3, 3, 3, values);
  ASSERT_TRUE(t.device->setObjectAlignment(m));
  ZtMatrix_destruct(&m);
  const std::vector<EmuFrame> frames = t.framesSinceMark();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].messageId, 0xE0);
  ASSERT_EQ(frames[0].payload.size(), 36u);
  for (int i = 0; i < 9; ++i) {
    uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits = (bits << 8) | frames[0].payload[4 * i + b];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    EXPECT_EQ(f, static_cast<float>(values[i])) << i;
  }
  ZtMatrix held = t.device->objectAlignment();
  for (int i = 0; i < 9; ++i) EXPECT_EQ(held.data[(i / 3) * held.stride + i % 3], values[i]) << i;
  ZtMatrix_destruct(&held);
  // A malformed matrix is refused before anything is sent.
  ZtMatrix small;
  ZtMatrix_construct(&small, 2, 2, 2, values);
  t.mark();
  EXPECT_FALSE(t.device->setObjectAlignment(small));
  ZtMatrix_destruct(&small);
  EXPECT_TRUE(t.framesSinceMark().empty());
}

TEST(KtixSetters, OutputSettingsNeverSendBit0x80) {
  EmulatedKtix t;
  ASSERT_EQ(t.device->outputSettings(), 0x01u);
  EXPECT_TRUE(t.device->setOutputSettings(0x81));
  EXPECT_TRUE(t.framesSinceMark().empty());
  ASSERT_TRUE(t.device->setOutputSettings(0x83));
  EXPECT_EQ(t.device->outputSettings(), 0x03u);
  const std::vector<EmuFrame> frames = t.framesSinceMark();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].messageId, 0xD2);
  EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{0, 0, 0, 0x03}));
}

}  // namespace
}  // namespace zelto::test
