// The GNSS-aided tracker by direct calls: factory rows and rates, scenarios and hardware entries,
// the PVT item into the filter's GNSS sample, the outputs in both frames, the status bit, a failed
// step, the object reset with the lever arm (applied once), filter state and reset, and the
// requests against the emulated tracker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceFactory.h"
#include "errors/ZtException.h"
#include "filters/zkf6/Zkf6ScenarioParams.h"
#include "filters/zkf6/Zkf6State.h"
#include "foundation/SettingsFile.h"
#include "math/Vector3.h"
#include "support/emulator/GnssPvtItems.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/KtigFixture.h"

namespace zelto::test {
namespace {

struct Packet {
  explicit Packet(const ZtDevice& device) {
    ZtDataPacket_construct(&p);
    p.deviceId = device.deviceId();
  }
  ~Packet() { ZtDataPacket_destruct(&p); }
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;
  ZtDataPacket p;
};

// A still, level tracker's calibrated and raw data, a status word when asked for.
void fill(ZtDataPacket& p, bool withStatus, uint32_t status = 0) {
  ZtCalibratedData c{};
  c.acc[2] = 9.81;
  c.mag[0] = std::cos(1.0);
  c.mag[2] = -std::sin(1.0);
  ZtDataPacket_setCalibratedData(&p, &c);
  ZtScrData raw{};
  for (int i = 0; i < 3; ++i) raw.acc[i] = raw.gyr[i] = raw.mag[i] = 32768;
  ZtDataPacket_setRawData(&p, &raw);
  if (withStatus) ZtDataPacket_setStatus(&p, status);
}

ZtQuaternion mul(const ZtQuaternion& a, const ZtQuaternion& b) {
  zelto::Quaternion r;
  r.isQuatMulQuat(a, b);
  return r;
}

ZtQuaternion packetOrientation(const ZtDataPacket& p) {
  ZtQuaternion q{0, 0, 0, 0};
  ZtDataPacket_orientationQuaternion(&p, 0, &q);
  return q;
}

void expectQuat(const ZtQuaternion& a, const ZtQuaternion& b, double tolerance = 1e-12) {
  EXPECT_NEAR(a.w, b.w, tolerance);
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}

ScriptedZkf6* install(TestKtig& device) {
  auto* filter = new ScriptedZkf6();
  device.setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>(filter));
  return filter;
}

class Factory : public DeviceFactory {
 public:
  void removeExistingDevice(const ZtDeviceId&) override {}
  bool initializeDevice(ZtDevice* device) const override { return device != nullptr; }
};

// ---- Factory, rates ----------------------------------------------------------------------------------

TEST(KtigFactory, TypeElevenBuildsTheGnssAidedTrackerAsMasterAndChild) {
  Factory factory;
  auto* link = new Communicator();
  link->setMasterDeviceId(kKtigId);
  EXPECT_EQ(factory.deviceToTypeId(kKtigId), 11u);
  ZtDevice* master = factory.createMasterDevice(link, false);
  ASSERT_NE(master, nullptr);
  EXPECT_NE(dynamic_cast<KtigDevice*>(master), nullptr);
  ZtDevice* child = factory.createChildDevice(kKtigId + 1, *master, false);
  ASSERT_NE(child, nullptr);
  EXPECT_NE(dynamic_cast<KtigDevice*>(child), nullptr);
  EXPECT_EQ(child->master(), master);
  // Both carry the GNSS receiver's characteristics.
  EXPECT_NE(dynamic_cast<KtigHardwareParams*>(&dynamic_cast<KtigDevice*>(child)->hardwareParameters()), nullptr);
  child->removeRef();
  master->removeRef();
}

TEST(KtigDevice, ThirtyTwoRatesForEveryIdentifier) {
  OfflineKtig o;
  const std::vector<int> expected = {512, 480, 400, 384, 360, 320, 300, 288, 256, 240, 200, 192, 180, 160, 144, 128,
                                     120, 100, 96,  80,  72,  64,  60,  48,  40,  36,  32,  30,  24,  20,  16,  12};
  for (ZtDataIdentifier id : {ZtDataIdentifier{0x2010}, ZtDataIdentifier{0x8810}, ZtDataIdentifier{0}})
    EXPECT_EQ(o.device->supportedUpdateRates(id), expected);
}

// ---- Scenarios and hardware entries -------------------------------------------------------------------

TEST(KtigScenario, OnlyZkf6gScenariosOfTheFiltersMajorVersionLoad) {
  zelto::SettingsFile builtIn;
  ASSERT_EQ(builtIn.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  const struct {
    const char* name;
    int major, minor;
    bool accepted;
  } cases[] = {{"ZKF-6G", 2, 2, true}, {"zkf-6g", 2, 5, true}, {"ZKF-6G", 2, 1, false},
               {"ZKF-6G", 1, 2, false}, {"ZKF-3", 2, 2, false}, {"ZKF-6", 2, 2, false}};
  OfflineKtig o;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.major) + "." + std::to_string(c.minor));
    ExtendedScenario scenario;
    scenario.profile().filterMajor = static_cast<uint8_t>(c.major);
    scenario.profile().filterMinor = static_cast<uint8_t>(c.minor);
    bool accepted = true;
    try {
      o.device->loadScenario(&scenario, builtIn, "ZKF.zkf6g.", c.name);
    } catch (const ZtException&) {
      accepted = false;
    }
    EXPECT_EQ(accepted, c.accepted);
    if (!accepted) continue;
    // The built-in profile: every deviation and time constant positive, GNSS and magnetometer on.
    const auto* p = dynamic_cast<const zelto::Zkf6ScenarioParams*>(scenario.parameters());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(scenario.profile().filterType, '6');
    for (double v : {p->sd_v_acc, p->sd_v_gyr, p->sd_v_mag, p->tau_magavg, p->tau_magvar, p->tau_magdist,
                     p->initialConditions.sd_init_orient, p->initialConditions.sd_init_pos,
                     p->initialConditions.sd_init_vel, p->initialConditions.sd_init_gyrBias})
      EXPECT_GT(v, 0.0);
    const uint16_t gnssAndMagnetometer =
        zelto::Zkf6ScenarioParams::kGpsUpdate | zelto::Zkf6ScenarioParams::kMagFieldUpdate;
    EXPECT_EQ(p->updateSwitches & gnssAndMagnetometer, gnssAndMagnetometer);
  }
}

TEST(KtigHardware, TheGnssEntryNamesThePrefixAndTheTrackersOwnEntryIsRead) {
  zelto::SettingsFile builtIn;
  ASSERT_EQ(builtIn.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  const struct {
    const char* name;
    uint16_t gnssVersion;
    const char* assembly;
    const char* expectedPrefix;
  } cases[] = {{"receiver 1.0", 0x0100, "GPS-A", "ZKF.GPS_A.hw1_0."},
               {"assembly in lower case", 0x0100, "gps-a", "ZKF.GPS_A.hw1_0."},
               {"other receiver revision", 0x0102, "GPS-A", ""},
               {"no GNSS assembly", 0x0100, "GLO-A", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zelto::SettingsFile file;
    builtIn.copyTo(file, "");
    file.setSetting("ZKF.GPS_A.hw1_0.", "gp.assembly", zelto::Variant(c.assembly));
    TrackerModel model;
    useKtig(model);
    model.gpsHardwareVersion = c.gnssVersion;
    TestKtig device(nullptr);
    ASSERT_TRUE(device.loadRecord(model.recordImage()));
    // Either way the tracker's own entry (hardware 1.2) gives its characteristics and the GNSS
    // deviations.
    EXPECT_TRUE(device.readHardwareParamsFromFile(file));
    EXPECT_EQ(device.ktigHardware().gpsPrefix(), c.expectedPrefix);
    EXPECT_EQ(device.ktigHardware().acc_range, 80.0);
    EXPECT_EQ(device.ktigHardware().sd_pos_gps[1], 1.0);
  }
  TestKtig device(nullptr);
  EXPECT_FALSE(device.readHardwareParamsFromFile(zelto::SettingsFile()));
}

// ---- Per-packet filtering ---------------------------------------------------------------------------------

TEST(KtigFiltering, ThePvtItemBecomesTheFiltersGnssSampleAndItsAbsenceClearsIt) {
  OfflineKtig o;
  ScriptedZkf6* filter = install(*o.device);
  Packet with(*o.device);
  fill(with.p, true);
  ZtGpsPvtData pvt{};
  pvt.pressure = 50000;
  pvt.pressureAge = 3;
  pvt.itow = 123456;
  pvt.latitude = 100000000;
  pvt.longitude = -65000000;
  pvt.height = 12345;
  pvt.velN = -150;
  pvt.velE = 20;
  pvt.velD = -5;
  pvt.hAcc = 2500;
  pvt.vAcc = 4000;
  pvt.sAcc = 30;
  pvt.gpsAge = 0;
  ZtDataPacket_setGpsPvtData(&with.p, &pvt);
  o.device->performFiltering(with.p);
  const ZkfGpsPrintData& g = filter->lastGps;
  EXPECT_DOUBLE_EQ(g.posLatLongAlt[0], 10.0);
  EXPECT_DOUBLE_EQ(g.posLatLongAlt[1], -6.5);
  EXPECT_DOUBLE_EQ(g.posLatLongAlt[2], 12.345);
  EXPECT_DOUBLE_EQ(g.velNorthEastDown[0], -1.5);
  EXPECT_DOUBLE_EQ(g.velNorthEastDown[1], 0.2);
  EXPECT_DOUBLE_EQ(g.velNorthEastDown[2], -0.05);
  EXPECT_DOUBLE_EQ(g.hAcc, 2.5);
  EXPECT_DOUBLE_EQ(g.vAcc, 4.0);
  EXPECT_DOUBLE_EQ(g.sAcc, 0.3);
  EXPECT_EQ(g.pressure, 50000.0);
  EXPECT_EQ(g.pressureAge, 3);
  EXPECT_EQ(g.gpsAge, 0);

  Packet without(*o.device);
  fill(without.p, true);
  o.device->performFiltering(without.p);
  EXPECT_EQ(filter->steps, 2);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(filter->lastGps.posLatLongAlt[i], 0.0);
    EXPECT_EQ(filter->lastGps.velNorthEastDown[i], 0.0);
  }
  EXPECT_EQ(filter->lastGps.hAcc + filter->lastGps.vAcc + filter->lastGps.sAcc + filter->lastGps.pressure, 0.0);
  EXPECT_EQ(filter->lastGps.gpsAge, 255);
  EXPECT_EQ(filter->lastGps.pressureAge, 255);
}

TEST(KtigFiltering, TheEmulatorsPvtItemReadsBackThroughTheLibrarysItemLayout) {
  // The emulator encodes apart from the library: a slip in its layout would aid the filter with
  // wrong accuracies or pressure without failing the drives.
  filtersim::GnssFix fix;
  fix.t = 12.25;
  fix.latLongAltDeg = filtersim::Vec3(52.2500001, -6.875, 12.5);
  fix.velNorthEastDown = filtersim::Vec3(-1.5, 0.25, 0.07);
  fix.hAcc = 1.25;
  fix.vAcc = 2.5;
  fix.sAcc = 0.3;
  const std::vector<uint8_t> item = GnssPvtItems::item(fix, 7, 50000.4, 3);
  ASSERT_EQ(item.size(), 47u);
  ZtMessage m;
  ZtMessage_construct(&m);
  ZtMessage_constructSized(&m, item.size());
  ZtMessage_setMessageId(&m, 0x36);
  ZtMessage_setDataBuffer(&m, item.data(), item.size(), 0);
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  ZtDataPacket_setMessage(&p, &m);
  ASSERT_TRUE(ZtDataPacket_containsGpsPvtData(&p));
  ZtGpsPvtData pvt{};
  ZtDataPacket_gpsPvtData(&p, &pvt);
  EXPECT_EQ(pvt.pressure, 50000);
  EXPECT_EQ(pvt.pressureAge, 3);
  EXPECT_EQ(pvt.itow, 12250u);
  EXPECT_EQ(pvt.latitude, 522500001);
  EXPECT_EQ(pvt.longitude, -68750000);
  EXPECT_EQ(pvt.height, 12500);
  EXPECT_EQ(pvt.velN, -150);
  EXPECT_EQ(pvt.velE, 25);
  EXPECT_EQ(pvt.velD, 7);
  EXPECT_EQ(pvt.hAcc, 1250u);
  EXPECT_EQ(pvt.vAcc, 2500u);
  EXPECT_EQ(pvt.sAcc, 30u);
  EXPECT_EQ(pvt.gpsAge, 7);
  ZtDataPacket_destruct(&p);
  ZtMessage_destruct(&m);
}

TEST(KtigFiltering, OutputsInNorthWestUpOrWithBit31InNorthEastDown) {
  const struct {
    const char* name;
    uint32_t outputSettings;
    int frame;
    double velocity[3];
  } cases[] = {{"bit 31 clear", 0x00000001u, 0x0008, {1.0, 2.0, 3.0}},
               {"bit 31 set", 0x80000001u, 0x0004, {1.0, -2.0, -3.0}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OfflineKtig o;
    o.device->record().setOutputSettings(c.outputSettings);
    ScriptedZkf6* filter = install(*o.device);
    filter->orientation = zelto::Quaternion(std::cos(0.3), 0.0, std::sin(0.3) * 0.6, std::sin(0.3) * 0.8);
    for (bool valid : {true, false}) {
      filter->valid = valid;
      Packet p(*o.device);
      // Bits other than 0x02 stay as the device sent them, the no-rotation bits 0x18 included.
      fill(p.p, true, valid ? 0x00000118u : 0xFFFFFFFFu);
      o.device->performFiltering(p.p);
      ZtQuaternion expected = filter->orientation;
      if (c.frame == 0x0004) expected = mul(ZtQuaternion{0, 1, 0, 0}, expected);
      expectQuat(packetOrientation(p.p), expected);
      EXPECT_EQ(ZtDataPacket_orientationFrame(&p.p), c.frame);
      ZtVector v;
      ZtVector_construct(&v, 3, nullptr);
      ASSERT_NE(ZtDataPacket_velocity(&p.p, c.frame, &v), nullptr);
      for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(v.data[i], c.velocity[i]);
      ASSERT_NE(ZtDataPacket_positionLLA(&p.p, &v), nullptr);
      EXPECT_DOUBLE_EQ(v.data[0], 52.5);
      EXPECT_DOUBLE_EQ(v.data[2], 30.0);
      ZtVector_destruct(&v);
      EXPECT_EQ(ZtDataPacket_status(&p.p), valid ? 0x0000011Au : 0xFFFFFFFDu);
    }
    // A packet without status gets none.
    Packet bare(*o.device);
    fill(bare.p, false);
    o.device->performFiltering(bare.p);
    EXPECT_TRUE(ZtDataPacket_containsOrientationQuaternion(&bare.p));
    EXPECT_FALSE(ZtDataPacket_containsStatus(&bare.p));
  }
}

TEST(KtigFiltering, AFailedStepOrMissingDataLeavesThePacketAndThePendingResetAlone) {
  OfflineKtig o;
  Packet noFilter(*o.device);
  fill(noFilter.p, true, 0x18);
  o.device->performFiltering(noFilter.p);
  EXPECT_FALSE(ZtDataPacket_containsOrientationQuaternion(&noFilter.p));

  ScriptedZkf6* filter = install(*o.device);
  filter->succeed = false;
  o.device->setPendingReset(ZRM_Object);
  Packet p(*o.device);
  fill(p.p, true, 0x18);
  o.device->performFiltering(p.p);
  EXPECT_EQ(filter->steps, 1);
  EXPECT_FALSE(ZtDataPacket_containsOrientationQuaternion(&p.p));
  EXPECT_FALSE(ZtDataPacket_containsPositionLLA(&p.p));
  EXPECT_FALSE(ZtDataPacket_containsVelocity(&p.p));
  EXPECT_EQ(ZtDataPacket_status(&p.p), 0x18u);
  EXPECT_EQ(o.device->resetMethod(), ZRM_Object);
  expectQuat(o.device->internalObjectAlignment(), ZtQuaternion{1, 0, 0, 0});

  // Raw data missing: no step at all.
  Packet calibratedOnly(*o.device);
  ZtCalibratedData c{};
  c.acc[2] = 9.81;
  ZtDataPacket_setCalibratedData(&calibratedOnly.p, &c);
  o.device->performFiltering(calibratedOnly.p);
  EXPECT_EQ(filter->steps, 1);
}

TEST(KtigFiltering, AnObjectResetRealignsOnceAndTurnsTheLeverArmWithIt) {
  OfflineKtig o;
  ScriptedZkf6* filter = install(*o.device);
  // The tracker is tilted by 30 degrees about its x axis.
  const double a = 30.0 * M_PI / 180.0;
  filter->orientation = zelto::Quaternion(std::cos(a / 2), std::sin(a / 2), 0.0, 0.0);
  o.device->setPendingReset(ZRM_Object);
  Packet p(*o.device);
  fill(p.p, true);
  o.device->performFiltering(p.p);
  // The alignment levels the tilt: the rotation by -30 degrees about x.
  const ZtQuaternion alignment = o.device->internalObjectAlignment();
  expectQuat(alignment, ZtQuaternion{std::cos(a / 2), -std::sin(a / 2), 0.0, 0.0}, 1e-12);
  // The record's lever arm turned by it is the filter's lever arm, and its alignment.
  zelto::Vector3 turned;
  turned.isRotateVecByQuat(zelto::Vector3(kKtigLeverArm[0], kKtigLeverArm[1], kKtigLeverArm[2]), alignment);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(filter->params.leverArm[i], turned[i], 1e-12);
  EXPECT_NEAR(turned[1], kKtigLeverArm[1] * std::cos(a) + kKtigLeverArm[2] * std::sin(a), 1e-12);
  expectQuat(filter->params.alignment, alignment);
  // The packet's orientation uses the new alignment: level.
  expectQuat(packetOrientation(p.p), ZtQuaternion{1, 0, 0, 0}, 1e-12);
  // The record's own alignment is not written.
  const ZtMatrix recordAlignment = o.device->objectAlignment();
  EXPECT_EQ(recordAlignment.data[4], 1.0);
  ZtMatrix copy = recordAlignment;
  ZtMatrix_destruct(&copy);

  // Done once: the next step with another orientation keeps the alignment (it was rebuilt on
  // every step while the reset stayed pending).
  EXPECT_EQ(o.device->resetMethod(), ZRM_None);
  filter->orientation = zelto::Quaternion(std::cos(0.2), 0.0, std::sin(0.2), 0.0);
  Packet next(*o.device);
  fill(next.p, true);
  o.device->performFiltering(next.p);
  expectQuat(o.device->internalObjectAlignment(), alignment);
  expectQuat(packetOrientation(next.p), mul(filter->orientation, alignment));
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(filter->params.leverArm[i], turned[i], 1e-12);
}

// ---- Filter state and reset ---------------------------------------------------------------------------------

// The device's Zkf6 filter from the built-in scenario at 100 Hz.
zelto::Zkf6Filter* realFilter(TestKtig& device) {
  zelto::SettingsFile builtIn;
  EXPECT_EQ(builtIn.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa"), 0);
  zelto::Zkf6ScenarioParams scenario;
  scenario.readFromFile(builtIn, "ZKF.zkf6g.");
  ZkfUserParams user;
  user.sampleRate = 100.0;
  user.gravityMagnitude = 9.81;
  user.storedLatLongAlt = zelto::Vector3(52.0, 6.0, 10.0);
  device.ktigHardware().acc_range = 80.0;
  device.ktigHardware().gyr_range = 850.0;
  zelto::Zkf6Params params;
  params.initialize(scenario, device.hardwareParameters(), user, zelto::Zkf6FilterSteps());
  auto* filter = new zelto::Zkf6Filter(&params);
  device.setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>(filter));
  return filter;
}

TEST(KtigFilterState, StoreFilterStateWritesTheGyroscopeBiasAndResetRestoresAState) {
  OfflineKtig o;
  zelto::Zkf6Filter* filter = realFilter(*o.device);
  EXPECT_FALSE(o.device->storeFilterState());  // not initialised: the base's request needs a link
  for (int i = 0; i < 50; ++i) {
    Packet p(*o.device);
    fill(p.p, true);
    o.device->performFiltering(p.p);
    ASSERT_TRUE(ZtDataPacket_containsOrientationQuaternion(&p.p)) << i;
  }
  ASSERT_TRUE(filter->isInitialized());
  zelto::Zkf6State state;
  filter->getFullState(&state);
  state.gyrBias[0] = 0.0125;
  state.gyrBias[2] = -0.025;
  ASSERT_TRUE(filter->setFullStateChecked(&state));
  ASSERT_TRUE(o.device->storeFilterState());
  const zelto::Vector3 stored = o.device->record().gyroBiasEstimation();
  EXPECT_NEAR(stored[0], 0.0125, 1e-6);
  EXPECT_NEAR(stored[2], -0.025, 1e-6);

  zelto::SettingsFile file;
  state.writeToFile(file, "");
  // Filtering off: nothing happens.
  o.device->setSoftwareFilteringEnabled(false);
  o.device->resetSoftwareFilter(nullptr);
  EXPECT_TRUE(filter->isInitialized());
  o.device->setSoftwareFilteringEnabled(true);
  // Without settings: restarted, no state.
  o.device->resetSoftwareFilter(nullptr);
  EXPECT_FALSE(filter->isInitialized());
  // With the state: restored.
  o.device->resetSoftwareFilter(&file);
  ASSERT_TRUE(filter->isInitialized());
  EXPECT_NEAR(filter->state().gyrBias[2], -0.025, 1e-12);
  // A file that holds no state leaves the restarted filter as it is.
  zelto::SettingsFile empty;
  o.device->resetSoftwareFilter(&empty);
  EXPECT_FALSE(filter->isInitialized());
}

// ---- Requests ------------------------------------------------------------------------------------------------

TEST(KtigRequests, LeverArmGnssStatusAndUtcTimeAgainstTheEmulatedTracker) {
  EmulatedKtig t;
  TestKtig& d = *t.device;
  // The record's lever arm.
  ZtVector arm = d.leverArm();
  ASSERT_EQ(arm.size, 3u);
  for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(static_cast<float>(arm.data[i]), static_cast<float>(kKtigLeverArm[i]));
  ZtVector_destruct(&arm);

  // The heading offset is refused and nothing goes out.
  EXPECT_FALSE(d.setHeadingOffset(10.0));
  const double wanted[3] = {0.5, -0.125, 1.25};
  ZtVector v;
  ZtVector_construct(&v, 3, wanted);
  ASSERT_TRUE(d.setLeverArm(v));
  ASSERT_TRUE(d.requestGpsStatus());
  ASSERT_TRUE(d.requestUtcTime());
  ASSERT_TRUE(t.emu->waitForReceived(0x60, 1, 2000));
  std::vector<uint8_t> ids;
  for (const EmuFrame& f : t.framesSinceMark()) ids.push_back(f.messageId);
  EXPECT_EQ(ids, (std::vector<uint8_t>{0x68, 0xA6, 0x60}));
  const EmuFrame sent = t.framesSinceMark().front();
  ASSERT_EQ(sent.payload.size(), 12u);
  const std::vector<uint8_t> expected = {0x3F, 0x00, 0x00, 0x00, 0xBE, 0x00, 0x00, 0x00, 0x3F, 0xA0, 0x00, 0x00};
  EXPECT_EQ(sent.payload, expected);
  arm = d.leverArm();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(arm.data[i], wanted[i]);
  ZtVector_destruct(&arm);
  // The device keeps it too: its record reads it back.
  TestKtig fresh(nullptr);
  ASSERT_TRUE(fresh.loadRecord(t.model.recordImage()));
  arm = fresh.leverArm();
  EXPECT_EQ(arm.data[2], 1.25);
  ZtVector_destruct(&arm);
  // The 0xA7 answer reaches handleGpsStatus and changes nothing; the time is not kept.
  EXPECT_TRUE(d.waitForGpsStatus(1, std::chrono::milliseconds(2000)));
  EXPECT_EQ(d.gpsStatusSeen(), 1);
  const ZtUtcTime utc = d.utcTime();
  EXPECT_EQ(utc.year + utc.month + utc.day + utc.nano, 0u);

  // Unacknowledged: false and the record unchanged; a vector that is not three long is refused.
  t.emu->script(0x68, EmuAction::silence());
  const double other[3] = {9, 9, 9};
  ZtVector_destruct(&v);
  ZtVector_construct(&v, 3, other);
  EXPECT_FALSE(d.setLeverArm(v));
  ZtVector two;
  ZtVector_construct(&two, 2, other);
  EXPECT_FALSE(d.setLeverArm(two));
  ZtVector_destruct(&two);
  ZtVector_destruct(&v);
  arm = d.leverArm();
  EXPECT_EQ(arm.data[0], 0.5);
  ZtVector_destruct(&arm);

  // Without a link nothing is tried.
  OfflineKtig o;
  EXPECT_FALSE(o.device->requestGpsStatus());
  EXPECT_FALSE(o.device->requestUtcTime());
  ZtVector_construct(&v, 3, wanted);
  EXPECT_FALSE(o.device->setLeverArm(v));
  ZtVector_destruct(&v);
}

}  // namespace
}  // namespace zelto::test
