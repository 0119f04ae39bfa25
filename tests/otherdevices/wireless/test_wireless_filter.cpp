// The wireless trackers' set-up and host filtering by direct calls: factory rows for both
// wireless families, "ZKF-3W" scenarios from the built-in profile file, "KTx-W" hardware
// entries, and the Zkf3w step over a packet's frame range (KtwDevice) or over 1 / rate
// (Ktx2Device), each checked against a filter fed the same increments and against the truth.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "device/DeviceFactory.h"
#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "filters/common/KtxwHardwareParams.h"
#include "filters/common/ZkfTime.h"
#include "filters/zkf3w/Zkf3wAiding.h"
#include "filters/zkf3w/Zkf3wFilter.h"
#include "filters/zkf3w/Zkf3wFilterOutput.h"
#include "filters/zkf3w/Zkf3wParams.h"
#include "filters/zkf3w/Zkf3wRealTimeParameters.h"
#include "filters/zkf3w/Zkf3wSensorData.h"
#include "filters/zkf3w/Zkf3wState.h"
#include "foundation/SettingsFile.h"
#include "math/Vector3.h"
#include "math/strapdown/Strapdown.h"
#include "otherdevices/wireless/Ktx2Device.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "support/TestDevice.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/ExtendedScenario.h"
#include "transport/link/Communicator.h"

namespace {

constexpr double kGravity = 9.81;
constexpr double kInclination = 1.0;
constexpr ZtDeviceId kKtwId = 0x00081234;
constexpr ZtDeviceId kKtx2Id = 0x00091234;

// A wireless tracker without link over the emulator's record, its host profile settable.
template <typename Base>
class Offline : public Base {
 public:
  explicit Offline(uint16_t hardwareVersion = 0x0102) : Base(zelto::test::TestDevice::noFactory(), nullptr) {
    zelto::test::TrackerModel model;
    model.hardwareVersion = hardwareVersion;
    const std::vector<uint8_t> image = model.recordImage();
    EXPECT_TRUE(this->m_ekts->initializeFromBuffer(image.data(), static_cast<int>(image.size()), true));
  }
  EktsManager& record() { return *this->m_ekts; }
  // The built-in profile file's scenarios; the "ZKF-3W" one becomes the host profile.
  bool chooseBuiltInProfile() {
    zelto::SettingsFile file;
    if (file.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa") != 0) return false;
    if (!this->loadFilterProfiles(file)) return false;
    for (const ExtendedScenario* s : this->m_hostScenarios)
      if (s->profile().filterType == zelto::Zkf3wFilter::kType) {
        this->m_currentHostProfile = s->profile();
        return true;
      }
    return false;
  }
};

struct Packet {
  Packet() { ZtDataPacket_construct(&p); }
  ~Packet() { ZtDataPacket_destruct(&p); }
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;
  ZtDataPacket p;
};

void rotateInverse(const ZtQuaternion& q, const double in[3], double out[3]) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double r[9] = {w * w + x * x - y * y - z * z, 2 * (x * y - w * z), 2 * (x * z + w * y),
                       2 * (x * y + w * z), w * w - x * x + y * y - z * z, 2 * (y * z - w * x),
                       2 * (x * z - w * y), 2 * (y * z + w * x), w * w - x * x - y * y + z * z};
  for (int i = 0; i < 3; ++i) out[i] = r[i] * in[0] + r[3 + i] * in[1] + r[6 + i] * in[2];
}

double angleBetween(const ZtQuaternion& a, const ZtQuaternion& b) {
  const double dot = std::fabs(a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z);
  return 2.0 * std::acos(std::min(1.0, dot));
}

// A still tracker at orientation truth: specific force and field in the sensor frame.
struct Still {
  explicit Still(const ZtQuaternion& truth) {
    const double up[3] = {0.0, 0.0, kGravity};
    const double field[3] = {std::cos(kInclination), 0.0, -std::sin(kInclination)};
    rotateInverse(truth, up, acc);
    rotateInverse(truth, field, mag);
  }
  double acc[3], mag[3];
};

// The packet of an interval of frames samples at rate: SDI (no rotation, dv = f T), field,
// frame range, status word.
void fillSdi(ZtDataPacket& p, const Still& s, int first, int last, int frames, int rate) {
  ZtSdiData sdi{};
  sdi.orientationIncrement = ZtQuaternion{1.0, 0.0, 0.0, 0.0};
  for (int k = 0; k < 3; ++k) sdi.velocityIncrement[k] = s.acc[k] * frames / rate;
  ZtDataPacket_setSdiData(&p, &sdi);
  ZtCalibratedData c{};
  for (int k = 0; k < 3; ++k) c.mag[k] = s.mag[k];
  ZtDataPacket_setCalibratedData(&p, &c);
  const ZtRange range{first, last};
  ZtDataPacket_setFrameRange(&p, &range);
  ZtDataPacket_setStatus(&p, 0xFFFFFFFFu);
}

// A reference filter on the device's own parameters, stepped by hand.
std::unique_ptr<zelto::Zkf3wFilter> referenceOf(ZtDevice& device) {
  const auto* params = dynamic_cast<zelto::Zkf3wParams*>(device.zkfFilter()->getFilterParameters());
  EXPECT_NE(params, nullptr);
  return std::make_unique<zelto::Zkf3wFilter>(params);
}

ZtQuaternion referenceStep(zelto::Zkf3wFilter& f, const ZtDataPacket& p, double interval) {
  ZtSdiData sdi;
  ZtDataPacket_sdiData(&p, &sdi);
  zelto::Zkf3wSensorData d;
  d.dq = zelto::Quaternion(sdi.orientationIncrement.w, sdi.orientationIncrement.x, sdi.orientationIncrement.y,
                           sdi.orientationIncrement.z);
  for (int k = 0; k < 3; ++k) d.dv[k] = sdi.velocityIncrement[k];
  zelto::Zkf3wAiding a;
  ZtDataPacket_calibratedMagneticField(&p, &a.mag);
  zelto::Zkf3wRealTimeParameters rt;
  zelto::Zkf3wFilterOutput out;
  EXPECT_TRUE(f.doOneKalmanStep(d, a, rt, out, interval));
  return out.orientation;
}

class Factory : public DeviceFactory {
 public:
  void removeExistingDevice(const ZtDeviceId&) override {}
  bool initializeDevice(ZtDevice* device) const override { return device != nullptr; }
};

}  // namespace

TEST(WirelessFactory, BothWirelessFamiliesAreBuiltAsMasterAndChild) {
  const struct {
    ZtDeviceId id;
    unsigned type;
    bool second;
  } cases[] = {{kKtwId, 12, false}, {kKtx2Id, 30, true}};
  for (const auto& c : cases) {
    Factory factory;
    auto* link = new Communicator();
    link->setMasterDeviceId(c.id);
    EXPECT_EQ(factory.deviceToTypeId(c.id), c.type);
    ZtDevice* master = factory.createMasterDevice(link, false);
    ASSERT_NE(master, nullptr) << c.type;
    EXPECT_NE(dynamic_cast<KtwDevice*>(master), nullptr);
    EXPECT_EQ(dynamic_cast<Ktx2Device*>(master) != nullptr, c.second);
    ZtDevice* child = factory.createChildDevice(c.id + 1, *master, false);
    ASSERT_NE(child, nullptr) << c.type;
    EXPECT_NE(dynamic_cast<KtwDevice*>(child), nullptr);
    EXPECT_EQ(dynamic_cast<Ktx2Device*>(child) != nullptr, c.second);
    child->removeRef();
    master->removeRef();
  }
}

TEST(WirelessScenario, OnlyZkf3wScenariosOfAFittingVersionLoad) {
  zelto::SettingsFile file;
  ASSERT_EQ(file.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  Offline<KtwDevice> d;
  const struct {
    const char* name;
    int major, minor;
    bool loads;
  } cases[] = {{"ZKF-3W", zelto::Zkf3wFilter::kMajor, zelto::Zkf3wFilter::kMinor, true},
               {"zkf-3w", zelto::Zkf3wFilter::kMajor, zelto::Zkf3wFilter::kMinor + 3, true},
               {"ZKF-3", zelto::Zkf3wFilter::kMajor, zelto::Zkf3wFilter::kMinor, false},
               {"ZKF-3W", zelto::Zkf3wFilter::kMajor + 1, zelto::Zkf3wFilter::kMinor, false},
               {"ZKF-3W", zelto::Zkf3wFilter::kMajor, zelto::Zkf3wFilter::kMinor - 1, false}};
  for (const auto& c : cases) {
    ExtendedScenario scenario;
    scenario.profile().filterMajor = static_cast<uint8_t>(c.major);
    scenario.profile().filterMinor = static_cast<uint8_t>(c.minor);
    bool loaded = true;
    try {
      d.loadScenario(&scenario, file, "ZKF.zkf3w.", c.name);
    } catch (const ZtException&) {
      loaded = false;
    }
    EXPECT_EQ(loaded, c.loads) << c.name << " " << c.major << "." << c.minor;
    if (c.loads) {
      EXPECT_EQ(scenario.profile().filterType, zelto::Zkf3wFilter::kType);
    }
  }
  // The whole list: the "ZKF-3" profiles are skipped, the "ZKF-3W" one builds a Zkf3w filter.
  ASSERT_TRUE(d.chooseBuiltInProfile());
  ASSERT_TRUE(d.initializeFilter());
  ASSERT_TRUE(d.zkfFilter());
  EXPECT_EQ(d.zkfFilter()->type(), zelto::Zkf3wFilter::kType);
}

TEST(WirelessHardware, TheFirstKtxwEntryOfTheRecordsRevisionIsRead) {
  Offline<KtwDevice> d(0x0108);  // 1.8 counts as 1.0
  zelto::SettingsFile file;
  const struct {
    const char* label;
    const char* assembly;
    const char* revision;
    double accRange;
  } entries[] = {{"ZKF.A", "KT9-C", "1.0", 11.0},
                 {"ZKF.B", "ktx-w 2", "1.2", 22.0},
                 {"ZKF.C", "KTx-W 1", "1.0", 33.0},
                 {"ZKF.D", "KTx-W 1", "1.0", 44.0}};
  std::vector<std::string> labels;
  for (const auto& e : entries) {
    const std::string prefix = std::string(e.label) + ".";
    // The emulated product code KT-A3G2-MTX names the sub-prefixes A3. and G2.
    for (const char* key : {"sd_v_mag", "sd_barometer"}) file.setSetting(prefix, key, zelto::Variant(0.002));
    for (const char* key : {"clipping_offset_mag", "clipping_offset_acc", "clipping_offset_gyr"})
      file.setSetting(prefix, key, zelto::Variant(100u));
    const struct {
      const char* key;
      double value;
    } acc[] = {{"acc_range", e.accRange}, {"deltaAccBias", 1e-4}, {"sd_init_accBias", 0.05}, {"sd_v_acc", 0.01}},
      gyr[] = {{"deltaGyrBias", 1e-5}, {"f_dynamic_gyro", 0.0}, {"gyr_range", 850}, {"sd_init_gyrBias", 0.01},
               {"sd_v_gyr", 0.002}};
    for (const auto& v : acc) file.setSetting(prefix + "A3.", v.key, zelto::Variant(v.value));
    for (const auto& v : gyr) file.setSetting(prefix + "G2.", v.key, zelto::Variant(v.value));
    file.setSetting(prefix.c_str(), "gp.assembly", zelto::Variant(e.assembly));
    file.setSetting(prefix.c_str(), "gp.hw_revision", zelto::Variant(e.revision));
    labels.push_back(e.label);
  }
  zelto::LabelList list;
  for (const auto& l : labels) list.append(l.c_str());
  file.setSetting("ZKF.hardwares", zelto::Variant(list));
  ASSERT_TRUE(d.readHardwareParamsFromFile(file));
  EXPECT_EQ(d.hardwareParameters().acc_range, 33.0);
  EXPECT_NE(dynamic_cast<KtxwHardwareParams*>(&d.hardwareParameters()), nullptr);
  // No entry of that revision: nothing is read.
  Offline<KtwDevice> other(0x0300);
  other.hardwareParameters().acc_range = 1.0;
  EXPECT_FALSE(other.readHardwareParamsFromFile(file));
  EXPECT_EQ(other.hardwareParameters().acc_range, 1.0);
}

TEST(WirelessFiltering, StepsOverTheFrameRangeAtTheUpdateRateAndFindsTheTruth) {
  Offline<KtwDevice> d;
  ASSERT_TRUE(d.chooseBuiltInProfile());
  ASSERT_TRUE(d.initializeFilter());
  const int rate = d.updateRate();
  ASSERT_GT(rate, 0);
  auto reference = referenceOf(d);
  const double s = std::sin(0.35);
  const ZtQuaternion truth{std::cos(0.35), 0.6 * s, 0.0, 0.8 * s};
  const Still still(truth);
  // Intervals of 1, 2 or 3 samples, counting from 65400 over the 16-bit wrap (one interval is
  // (65530, 4): ten samples), two packets without frame range or SDI passing unfiltered.
  int frame = 65400;
  for (int i = 0; i < 400; ++i) {
    Packet p;
    int frames = 1 + i % 3;
    if (frame >= 65520 && frame < 65530) frames = 65530 - frame;
    if (frame == 65530) frames = 10;
    const int first = frame % 65536, last = (frame + frames) % 65536;
    fillSdi(p.p, still, first, last, frames, rate);
    if (i == 50) {
      Packet bare;
      ZtCalibratedData c{};
      ZtDataPacket_setCalibratedData(&bare.p, &c);
      d.performFiltering(bare.p);
      EXPECT_FALSE(ZtDataPacket_containsOrientation(&bare.p));
    }
    d.performFiltering(p.p);
    const ZtQuaternion expected = referenceStep(*reference, p.p, static_cast<double>(frames) / rate);
    ZtQuaternion q;
    ASSERT_TRUE(ZtDataPacket_orientationQuaternion(&p.p, 0x0008, &q)) << i;
    ASSERT_LT(angleBetween(q, expected), 1e-9) << "packet " << i << " frames " << first << ".." << last;
    EXPECT_TRUE(ZtDataPacket_containsFreeAcceleration(&p.p));
    if (i == 399) {
      EXPECT_LT(angleBetween(q, truth), 0.5 * M_PI / 180.0);
      const uint32_t status = ZtDataPacket_status(&p.p);
      EXPECT_EQ(status & 0x18u, 0u);
      EXPECT_EQ(status & ~0x1Au, 0xFFFFFFFFu & ~0x1Au);
    }
    frame += frames;
  }
  EXPECT_GT(frame, 65536);
  // An update rate of 0 skips the step; an empty frame range (0, 0) too.
  for (const bool zeroRate : {true, false}) {
    Offline<KtwDevice> other;
    ASSERT_TRUE(other.chooseBuiltInProfile());
    ASSERT_TRUE(other.initializeFilter());
    if (zeroRate) other.record().setSamplePeriod(0);
    Packet p;
    fillSdi(p.p, still, zeroRate ? 10 : 0, zeroRate ? 11 : 0, 1, 100);
    other.performFiltering(p.p);
    EXPECT_FALSE(ZtDataPacket_containsOrientation(&p.p)) << zeroRate;
    EXPECT_TRUE(ZtDataPacket_containsSdiData(&p.p));
    EXPECT_EQ(ZtDataPacket_status(&p.p), 0xFFFFFFFFu);
  }
}

TEST(WirelessFiltering, TheSecondVariantIntegratesAndStepsOverOneSampleAtItsRate) {
  Offline<Ktx2Device> d;
  d.record().setSamplePeriod(576);  // 200 Hz
  ASSERT_EQ(d.updateRate(), 200);
  ASSERT_TRUE(d.chooseBuiltInProfile());
  ASSERT_TRUE(d.initializeFilter());
  auto reference = referenceOf(d);
  const double s = std::sin(-0.4);
  const ZtQuaternion truth{std::cos(-0.4), 0.0, 0.6 * s, 0.8 * s};
  const Still still(truth);
  const double gyr[3] = {0.3, -0.2, 0.1};
  for (int i = 0; i < 400; ++i) {
    Packet p;
    ZtCalibratedData c{};
    for (int k = 0; k < 3; ++k) {
      c.acc[k] = still.acc[k];
      c.mag[k] = still.mag[k];
      c.gyr[k] = i < 5 ? gyr[k] : 0.0;
    }
    ZtDataPacket_setCalibratedData(&p.p, &c);
    // A frame range that would say 7 samples: not consulted.
    const ZtRange range{i * 7, i * 7 + 7};
    ZtDataPacket_setFrameRange(&p.p, &range);
    d.performFiltering(p.p);
    ZtSdiData sdi;
    ASSERT_TRUE(ZtDataPacket_sdiData(&p.p, &sdi)) << i;
    if (i == 0) {
      zelto::Vector3 acc(c.acc[0], c.acc[1], c.acc[2]), rate(gyr[0], gyr[1], gyr[2]), dv;
      ZtQuaternion dq;
      zelto::sdiDelta(acc, rate, dq, dv, 1.0 / 200);
      EXPECT_NEAR(sdi.orientationIncrement.x, dq.x, 1e-15);
      EXPECT_NEAR(sdi.orientationIncrement.y, dq.y, 1e-15);
      // Half the angle of a 0.01 s integration.
      EXPECT_NEAR(sdi.orientationIncrement.x, std::sin(0.5 * 0.3 * 0.005), 1e-6);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(sdi.velocityIncrement[k], dv[k], 1e-12);
    }
    const ZtQuaternion expected = referenceStep(*reference, p.p, 1.0 / 200);
    ZtQuaternion q;
    ASSERT_TRUE(ZtDataPacket_orientationQuaternion(&p.p, 0x0008, &q)) << i;
    ASSERT_LT(angleBetween(q, expected), 1e-6) << i;
    if (i == 399) {
      EXPECT_LT(angleBetween(q, truth), 0.5 * M_PI / 180.0);
    }
  }
  // Neither SDI nor calibrated data: passed on unfiltered.
  Packet bare;
  ZtDataPacket_setStatus(&bare.p, 5);
  d.performFiltering(bare.p);
  EXPECT_FALSE(ZtDataPacket_containsOrientation(&bare.p));
  EXPECT_FALSE(ZtDataPacket_containsSdiData(&bare.p));
}

// The filter's state: the gyroscope bias of an initialised filter goes into the record; a reset
// restarts the filter and takes a state from a file only when it is valid, as does the filter's
// set-up from an initial state. A state that reads but is not valid (here q_ls of length 0.5)
// leaves the filter restarted.
TEST(WirelessFilterState, StoresTheBiasAndRestartsOnlyFromAValidState) {
  Offline<KtwDevice> d;
  ASSERT_TRUE(d.chooseBuiltInProfile());
  ASSERT_TRUE(d.initializeFilter());
  ASSERT_TRUE(d.setSoftwareFilteringEnabled(true));
  const int rate = d.updateRate();
  const Still still(ZtQuaternion{1.0, 0.0, 0.0, 0.0});
  auto step = [&](int n) {
    for (int i = 0; i < n; ++i) {
      Packet p;
      fillSdi(p.p, still, 10 + i, 11 + i, 1, rate);
      d.performFiltering(p.p);
    }
  };
  auto filterState = [&] {
    zelto::Zkf3wState state;
    d.zkfFilter()->getFullState(&state);
    return state;
  };
  // Not initialised yet and no link for the tracker's own store request.
  EXPECT_FALSE(d.storeFilterState());
  step(20);
  ASSERT_TRUE(d.zkfFilter()->isInitialized());
  zelto::Zkf3wState valid = filterState();
  valid.gyrBias[0] = 0.01;
  valid.gyrBias[1] = -0.02;
  valid.gyrBias[2] = 0.03;
  ASSERT_TRUE(valid.isValid());
  d.zkfFilter()->setFullState(&valid);
  ASSERT_TRUE(d.storeFilterState());
  const zelto::Vector3 stored = d.record().gyroBiasEstimation();
  EXPECT_NEAR(stored[0], 0.01, 1e-7);
  EXPECT_NEAR(stored[1], -0.02, 1e-7);
  EXPECT_NEAR(stored[2], 0.03, 1e-7);

  zelto::SettingsFile validFile, invalidFile;
  valid.writeToFile(validFile, "");
  zelto::Zkf3wState invalid = valid;
  invalid.q_ls = zelto::Quaternion(0.5, 0.0, 0.0, 0.0);
  ASSERT_FALSE(invalid.isValid());
  invalid.writeToFile(invalidFile, "");
  const struct {
    zelto::SettingsFile* file;
    bool initialised;
  } resets[] = {{&validFile, true}, {&invalidFile, false}, {nullptr, false}};
  for (const auto& r : resets) {
    step(3);
    d.resetSoftwareFilter(r.file);
    EXPECT_EQ(d.zkfFilter()->isInitialized(), r.initialised) << (r.file == &validFile);
    if (r.initialised) {
      EXPECT_NEAR(filterState().gyrBias[2], 0.03, 1e-12);
    }
  }
  // Software filtering off: nothing is touched.
  step(3);
  ASSERT_TRUE(d.zkfFilter()->isInitialized());
  ASSERT_TRUE(d.setSoftwareFilteringEnabled(false));
  d.resetSoftwareFilter(nullptr);
  EXPECT_TRUE(d.zkfFilter()->isInitialized());

  // The set-up takes the initial state only when it is valid.
  for (const bool good : {true, false}) {
    d.setInitialState(good ? validFile : invalidFile);
    ASSERT_TRUE(d.initializeFilter());
    EXPECT_EQ(d.zkfFilter()->isInitialized(), good);
  }
}

// The application stores and resets the filter's state while the processing task steps it:
// both take the filter lock, so the state is never read or replaced in the middle of a step
// (a race the thread sanitizer reports otherwise).
TEST(WirelessFilterState, StoreAndResetBesideTheProcessingTask) {
  Offline<KtwDevice> d;
  ASSERT_TRUE(d.chooseBuiltInProfile());
  ASSERT_TRUE(d.initializeFilter());
  ASSERT_TRUE(d.setSoftwareFilteringEnabled(true));
  const int rate = d.updateRate();
  const Still still(ZtQuaternion{1.0, 0.0, 0.0, 0.0});
  auto packet = [&](Packet& p, int i) {
    fillSdi(p.p, still, 10 + i, 11 + i, 1, rate);
    p.p.deviceId = 0;  // not the tracker's numbered stream: the tracker's processing chain only
    p.p.packetId = 11 + i;  // the last frame of its range, as the tracker numbers its packets
  };
  for (int i = 0; i < 20; ++i) {
    Packet p;
    packet(p, i);
    d.doProcessing(p.p);
  }
  ASSERT_TRUE(d.zkfFilter()->isInitialized());
  zelto::Zkf3wState saved;
  d.zkfFilter()->getFullState(&saved);
  zelto::SettingsFile file;
  saved.writeToFile(file, "");
  std::atomic<int> oriented{0};
  std::thread processing([&] {
    for (int i = 20; i < 420; ++i) {
      Packet p;
      packet(p, i);
      d.doProcessing(p.p);
      oriented += ZtDataPacket_containsOrientation(&p.p) ? 1 : 0;
    }
  });
  for (int i = 0; i < 100; ++i) {
    EXPECT_TRUE(d.storeFilterState());
    d.resetSoftwareFilter(&file);
  }
  processing.join();
  EXPECT_GT(oriented.load(), 0);
  zelto::Zkf3wState now;
  d.zkfFilter()->getFullState(&now);
  EXPECT_TRUE(now.isFinite());
}
