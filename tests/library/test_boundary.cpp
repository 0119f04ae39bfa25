// The exported wrappers over real objects: a device read from a log file reached through the
// ZtControl_* and ZtDevice_* functions, exceptions stopped at the C boundary (a device and a
// control whose operations throw), and the battery scaling over its whole input range.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "control/ZtControl.h"
#include "device/ZtDevice.h"
#include "errors/ZtException.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "zeltodeviceapi/zeltodeviceapi.h"

#ifndef ZDA_UNDER_SANITIZER  // the sanitizers' allocator must stay in charge
// This program's operator new can be told to fail the next allocation of the calling thread. The
// standard operator delete releases what it returns (it calls free).
namespace {
thread_local bool tFailNextNew = false;
}
void* operator new(std::size_t size) {
  if (tFailNextNew) {
    tFailNextNew = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
#endif

namespace {

using zelto::test::TestDevice;

// A C handler that counts the onError events it receives, by result code.
struct ErrorCounter {
  ZtCallbackPlainC callbacks{};
  int errors = 0;
  ZtResultValue last = ZRV_OK;
  ErrorCounter() {
    callbacks.m_onError = [](ZtCallbackPlainC* cb, ZtDevice*, ZtResultValue error) {
      auto* self = reinterpret_cast<ErrorCounter*>(cb);
      ++self->errors;
      self->last = error;
    };
  }
};

// ---- A device read from a log file --------------------------------------------------------------

constexpr ZtDeviceId kFileDevice = 0x00095678;
// Every family has a built-in class, so the test device's id gets a type id of its own.
constexpr unsigned int kFileDeviceType = 999;

class FileDeviceControl : public ZtControl {
 public:
  unsigned int deviceToTypeId(const ZtDeviceId& id) const override {
    return id == kFileDevice ? kFileDeviceType : ZtControl::deviceToTypeId(id);
  }
};

std::shared_ptr<zelto::test::CallLog> gFileDeviceLog;
ZtDevice* makeFileDevice(DeviceFactory&, Communicator* communicator) {
  return new TestDevice(communicator, gFileDeviceLog);
}

class LogFileDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    gFileDeviceLog = std::make_shared<zelto::test::CallLog>();
    zelto::test::LogFileBuilder file;
    file.configuration(kFileDevice).data(0).data(1).data(2);
    ASSERT_TRUE(file.writeTo(m_dir.file("rec.zlog")));
    m_control = new FileDeviceControl();
    ASSERT_TRUE(m_control->registerMasterDeviceType(m_control->deviceToTypeId(kFileDevice), makeFileDevice));
  }
  void TearDown() override { ZtControl_destruct(m_control); }

  bool open() {
    ZtString name;
    ZtString_construct(&name, m_dir.file("rec.zlog").c_str());
    const int opened = ZtControl_openLogFile(m_control, &name);
    ZtString_destruct(&name);
    return opened == 1;
  }

  zelto::test::TempDir m_dir;
  ZtControl* m_control = nullptr;
};

TEST_F(LogFileDevice, IsListedCountedAndClosedThroughTheCInterface) {
  ASSERT_TRUE(open()) << ZtControl_lastResult(m_control);
  EXPECT_EQ(ZtControl_lastResult(m_control), ZRV_OK);
  EXPECT_EQ(ZtControl_mainDeviceCount(m_control), 1);
  EXPECT_EQ(ZtControl_deviceCount(m_control), 1);
  EXPECT_EQ(ZtControl_ktCount(m_control), 0);  // the test device is no motion tracker, and has no children

  ZtDeviceIdArray ids;
  ZtArray_construct(ZTARRAY(&ids), &g_ztUInt32ArrayDescriptor, 0, nullptr);
  ASSERT_EQ(ZtControl_mainDeviceIds(m_control, &ids), &ids);
  ASSERT_EQ(ids.size, 1u);
  EXPECT_EQ(ids.data[0], kFileDevice);
  ASSERT_EQ(ZtControl_deviceIds(m_control, &ids), &ids);
  ASSERT_EQ(ids.size, 1u);
  EXPECT_EQ(ids.data[0], kFileDevice);
  ZtArray_destruct(ZTARRAY(&ids));

  ZtDevice* device = ZtControl_device(m_control, kFileDevice);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(ZtControl_device(m_control, 0), device);  // id 0: the first master
  ZtDevicePtrArray masters;
  ZtDevicePtrArray_construct(&masters, 0, nullptr);
  ASSERT_EQ(ZtControl_mainDevices(m_control, &masters), &masters);
  ASSERT_EQ(masters.size, 1u);
  EXPECT_EQ(masters.data[0], device);
  ZtArray_destruct(ZTARRAY(&masters));

  ZtDeviceId id = 0;
  EXPECT_EQ(ZtDevice_deviceId(device, &id), &id);
  EXPECT_EQ(id, kFileDevice);
  EXPECT_EQ(ZtDevice_isMasterDevice(device), 1);
  EXPECT_EQ(ZtDevice_isReadingFromFile(device), 1);
  EXPECT_EQ(ZtDevice_busId(device), 255);
  EXPECT_EQ(ZtDevice_master(device), device);
  EXPECT_EQ(ZtDevice_connectivityState(device), device->connectivityState());

  // A log-file device has no port: its name is the empty text, in the caller's string.
  ZtString port;
  ZtString_construct(&port, "prefilled");
  EXPECT_EQ(ZtDevice_portName(device, &port), &port);
  EXPECT_TRUE(ZtString_empty(&port));
  ZtString_destruct(&port);

  ZtControl_closePort_1(m_control, kFileDevice);
  EXPECT_EQ(ZtControl_mainDeviceCount(m_control), 0);
  EXPECT_EQ(gFileDeviceLog->count("~device " + std::to_string(kFileDevice)), 1u);
  EXPECT_EQ(ZtControl_device(m_control, kFileDevice), nullptr);
  EXPECT_EQ(ZtControl_lastResult(m_control), ZRV_PORTCLOSED);
}

TEST_F(LogFileDevice, ConfigurationComesBackThroughTheCallersRecord) {
  ASSERT_TRUE(open());
  auto* device = dynamic_cast<TestDevice*>(ZtControl_device(m_control, kFileDevice));
  ASSERT_NE(device, nullptr);
  device->setConfiguredDevices({0x00125679, 0x0012567A});

  ZtDeviceConfiguration config;
  ZtDeviceConfiguration_construct(&config);
  ZtDeviceConfiguration_assign(&config, 5, nullptr);  // a larger record is replaced, not merged
  ASSERT_EQ(ZtDevice_deviceConfiguration(device, &config), &config);
  ASSERT_EQ(config.numberOfDevices, 2);
  EXPECT_EQ(config.deviceInfo[0].deviceId, 0x00125679u);
  EXPECT_EQ(config.deviceInfo[1].deviceId, 0x0012567Au);

  // The record written as the Configuration message and read back is the same configuration.
  ZtMessage message;
  ZtDeviceConfiguration_writeToMessage(&config, &message);
  ZtDeviceConfiguration back;
  ZtDeviceConfiguration_construct(&back);
  ZtDeviceConfiguration_readFromMessage(&back, &message);
  ASSERT_EQ(back.numberOfDevices, 2);
  EXPECT_EQ(back.masterDeviceId, config.masterDeviceId);
  EXPECT_EQ(back.deviceInfo[1].deviceId, 0x0012567Au);
  ZtMessage_destruct(&message);
  ZtDeviceConfiguration_destruct(&back);
  ZtDeviceConfiguration_destruct(&config);
}

TEST_F(LogFileDevice, PullsCopyIntoTheCallersPacket) {
  ASSERT_TRUE(open());
  ZtDevice* device = ZtControl_device(m_control, kFileDevice);
  ASSERT_NE(device, nullptr);
  // Nothing played yet: every pull empties the caller's packet and returns it.
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  ZtDataPacket_setPacketCounter(&packet, 7);
  ASSERT_FALSE(ZtDataPacket_empty(&packet));
  EXPECT_EQ(ZtDevice_queueLength(device), 0u);
  EXPECT_EQ(ZtDevice_nextAvailableDataPacket(device, &packet), &packet);
  EXPECT_TRUE(ZtDataPacket_empty(&packet));
  ZtDataPacket_setPacketCounter(&packet, 7);
  EXPECT_EQ(ZtDevice_dataPacketByIndex(device, &packet, 0), &packet);
  EXPECT_TRUE(ZtDataPacket_empty(&packet));
  ZtDataPacket_setPacketCounter(&packet, 7);
  EXPECT_EQ(ZtDevice_dataPacketById(device, &packet, 1), &packet);
  EXPECT_TRUE(ZtDataPacket_empty(&packet));
  EXPECT_EQ(ZtDevice_droppedPacketCount(device), 0u);
  ZtDataPacket_destruct(&packet);
}

// ---- Arrays across the boundary -------------------------------------------------------------------

// Takes sync settings and offers update rates; counts the calls.
class ArrayDevice : public ZtDevice {
 public:
  ArrayDevice() : ZtDevice(ZtDeviceId{0x00125678}) {}
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override {
    ++calls;
    taken = settings;
    return true;
  }
  std::vector<int> supportedUpdateRates(ZtDataIdentifier) const override { return {1, 2, 100, 400}; }
  bool setSyncBoxMode(bool enable) override {
    syncBox = enable;
    return true;
  }
  bool isInSyncBoxMode() const override { return syncBox; }
  bool syncBox = false;
  int calls = 0;
  std::vector<ZtSyncSetting> taken;
};

TEST(Flags, AnyNonZeroIntIsTrueAndTrueComesBackAsOne) {
  ArrayDevice device;
  for (int flag : {1, 2, -1, 0x100}) {
    EXPECT_EQ(ZtDevice_setSyncBoxMode(&device, flag), 1) << flag;
    EXPECT_EQ(ZtDevice_isInSyncBoxMode(&device), 1) << flag;
    EXPECT_EQ(ZtDevice_setSyncBoxMode(&device, 0), 1);
    EXPECT_EQ(ZtDevice_isInSyncBoxMode(&device), 0);
  }
}

TEST(Arrays, ItemsCrossOnlyIntoArraysOfTheirOwnItemSize) {
  ArrayDevice device;
  ZtSyncSetting settings[2] = {};
  settings[0].line = 1;
  settings[1].line = 9;
  ZtSyncSettingArray sync;
  ZtArray_construct(ZTARRAY(&sync), &g_ztSyncSettingArrayDescriptor, 2, settings);
  EXPECT_EQ(ZtDevice_setSyncSettings(&device, &sync), 1);
  ASSERT_EQ(device.taken.size(), 2u);
  EXPECT_EQ(device.taken[1].line, 9);
  ZtArray_assign(ZTARRAY(&sync), 0, nullptr);
  EXPECT_EQ(ZtDevice_setSyncSettings(&device, &sync), 1);  // none: the device's own answer
  EXPECT_TRUE(device.taken.empty());
  ZtArray_destruct(ZTARRAY(&sync));

  // Three 4-byte items are no sync settings: refused without calling the device.
  const uint32_t words[3] = {1, 2, 3};
  ZtUInt32Array wrong;
  ZtArray_construct(ZTARRAY(&wrong), &g_ztUInt32ArrayDescriptor, 3, words);
  EXPECT_EQ(ZtDevice_setSyncSettings(&device, reinterpret_cast<ZtSyncSettingArray*>(&wrong)), 0);
  EXPECT_EQ(device.calls, 2);
  ZtArray_destruct(ZTARRAY(&wrong));

  // Results: the matching array takes the items, an array of doubles stays empty.
  ZtInt32Array rates;
  ZtArray_construct(ZTARRAY(&rates), &g_ztInt32ArrayDescriptor, 0, nullptr);
  ASSERT_EQ(ZtDevice_supportedUpdateRates(&device, &rates, ZDI_Quaternion), &rates);
  ASSERT_EQ(rates.size, 4u);
  EXPECT_EQ(rates.data[3], 400);
  ZtArray_destruct(ZTARRAY(&rates));
  ZtDoubleArray doubles;
  const double one = 1.0;
  ZtArray_construct(ZTARRAY(&doubles), &g_ztDoubleArrayDescriptor, 1, &one);
  ZtDevice_supportedUpdateRates(&device, reinterpret_cast<ZtInt32Array*>(&doubles), ZDI_Quaternion);
  EXPECT_EQ(doubles.size, 0u);
  ZtArray_destruct(ZTARRAY(&doubles));
}

// ---- Exceptions stop at the boundary --------------------------------------------------------------

enum class Throw { kLibrary, kStd, kAlloc, kOther };

[[noreturn]] void throwAs(Throw what) {
  switch (what) {
    case Throw::kLibrary:
      throw ZtException(ZRV_INVALIDPARAM, "thrown by the test device");
    case Throw::kStd:
      throw std::runtime_error("thrown by the test device");
    case Throw::kAlloc:
      throw std::bad_alloc();
    case Throw::kOther:
      throw 42;
  }
  throw 0;
}

// Every operation the table below calls throws.
class ThrowingDevice : public ZtDevice {
 public:
  explicit ThrowingDevice(Throw what) : ZtDevice(ZtDeviceId{0x00125678}), m_what(what) {}
  bool isMotionTracker() const override { throwAs(m_what); }
  int updateRate() const override { throwAs(m_what); }
  double headingOffset() const override { throwAs(m_what); }
  ZtRejectReason rejectReason() const override { throwAs(m_what); }
  ZtResultValue createConfigFile(const ZtString&) override { throwAs(m_what); }
  ZtString portName() const override { throwAs(m_what); }
  ZtVector latLonAlt() const override { throwAs(m_what); }
  ZtMatrix objectAlignment() const override { throwAs(m_what); }
  std::vector<int> supportedUpdateRates(ZtDataIdentifier) const override { throwAs(m_what); }
  std::vector<ZtFilterProfile> availableZdaFilterProfiles() const override { throwAs(m_what); }
  std::vector<ZtDevice*> children() const override { throwAs(m_what); }
  ZtVersion hardwareVersion() const override { throwAs(m_what); }
  ZtQuaternion alignmentRotationQuaternion(ZtAlignmentFrame) const override { throwAs(m_what); }
  ZtFilterProfile zdaFilterProfile() const override { throwAs(m_what); }
  ZtOutputConfigurationArray outputConfiguration() const override { throwAs(m_what); }
  void clearCache() override { throwAs(m_what); }

 private:
  Throw m_what;
};

// Each row calls one wrapper and says whether the failure value came back.
struct Row {
  const char* name;
  bool (*check)(ZtDevice* device);
};

const double kThree[3] = {1, 2, 3};

const Row kRows[] = {
    {"isMotionTracker", [](ZtDevice* d) { return ZtDevice_isMotionTracker(d) == 0; }},
    {"updateRate", [](ZtDevice* d) { return ZtDevice_updateRate(d) == 0; }},
    {"headingOffset", [](ZtDevice* d) { return ZtDevice_headingOffset(d) == 0.0; }},
    {"rejectReason", [](ZtDevice* d) { return ZtDevice_rejectReason(d) == ZRR_Unknown; }},
    {"createConfigFile",
     [](ZtDevice* d) {
       ZtString name;
       ZtString_construct(&name, "x.zcf");
       const bool ok = ZtDevice_createConfigFile(d, &name) == ZRV_ERROR;
       ZtString_destruct(&name);
       return ok;
     }},
    {"portName",
     [](ZtDevice* d) {
       ZtString s;
       ZtString_construct(&s, "prefilled");
       const bool ok = ZtDevice_portName(d, &s) == &s && ZtString_empty(&s);
       ZtString_destruct(&s);
       return ok;
     }},
    {"latLonAlt",
     [](ZtDevice* d) {
       ZtVector v;
       ZtVector_construct(&v, 3, kThree);
       const bool ok = ZtDevice_latLonAlt(d, &v) == &v && v.size == 0;
       ZtVector_destruct(&v);
       return ok;
     }},
    {"objectAlignment",
     [](ZtDevice* d) {
       ZtMatrix m;
       ZtMatrix_construct(&m, 1, 3, 0, kThree);
       const bool ok = ZtDevice_objectAlignment(d, &m) == &m && m.rows == 0 && m.cols == 0;
       ZtMatrix_destruct(&m);
       return ok;
     }},
    {"supportedUpdateRates",
     [](ZtDevice* d) {
       ZtInt32Array a;
       const int32_t rates[2] = {100, 400};
       ZtArray_construct(ZTARRAY(&a), &g_ztInt32ArrayDescriptor, 2, rates);
       const bool ok = ZtDevice_supportedUpdateRates(d, &a, ZDI_Quaternion) == &a && a.size == 0;
       ZtArray_destruct(ZTARRAY(&a));
       return ok;
     }},
    {"availableZdaFilterProfiles",
     [](ZtDevice* d) {
       ZtFilterProfileArray a;
       ZtFilterProfileArray_construct(&a, 2, nullptr);
       const bool ok = ZtDevice_availableZdaFilterProfiles(d, &a) == &a && a.size == 0;
       ZtArray_destruct(ZTARRAY(&a));
       return ok;
     }},
    {"children",
     [](ZtDevice* d) {
       ZtDevicePtrArray a;
       ZtDevicePtrArray_construct(&a, 0, nullptr);
       ZtArray_append(ZTARRAY(&a), 1, &d);
       const bool ok = ZtDevice_children(d, &a) == &a && a.size == 0;
       ZtArray_destruct(ZTARRAY(&a));
       return ok;
     }},
    {"hardwareVersion",
     [](ZtDevice* d) {
       ZtVersion v;
       std::memset(&v, 0x5A, sizeof v);
       return ZtDevice_hardwareVersion(d, &v) == &v && v.major == 0 && v.text[0] == '\0';
     }},
    {"alignmentRotationQuaternion",
     [](ZtDevice* d) {
       ZtQuaternion q{1, 2, 3, 4};
       return ZtDevice_alignmentRotationQuaternion(d, &q, ZAF_Local) == &q && q.w == 0 && q.z == 0;
     }},
    {"zdaFilterProfile",
     [](ZtDevice* d) {
       const ZtFilterProfile p = ZtDevice_zdaFilterProfile(d);
       return ZtFilterProfile_empty(&p) != 0;
     }},
    {"outputConfiguration",
     [](ZtDevice* d) {
       const ZtArrayDescriptor plain{
           sizeof(ZtOutputConfiguration), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
       ZtOutputConfigurationArray a;
       const ZtOutputConfiguration one{ZDI_Quaternion, 100};
       ZtArray_construct(ZTARRAY(&a), &plain, 1, &one);
       const bool ok = ZtDevice_outputConfiguration(d, &a) == &a && a.size == 0;
       ZtArray_destruct(ZTARRAY(&a));
       return ok;
     }},
    {"clearCache",
     [](ZtDevice* d) {
       ZtDevice_clearCache(d);
       return true;
     }},
};

TEST(Boundary, ADeviceThatThrowsGivesTheFailureValueAndRaisesOnError) {
  for (Throw what : {Throw::kLibrary, Throw::kStd, Throw::kAlloc, Throw::kOther}) {
    ThrowingDevice device(what);
    ErrorCounter handler;
    ZtDevice_addCallbackHandler(&device, &handler.callbacks, 0);
    int expectedErrors = 0;
    for (const Row& row : kRows) {
      SCOPED_TRACE(std::string(row.name) + " throwing kind " + std::to_string(static_cast<int>(what)));
      EXPECT_TRUE(row.check(&device));
      EXPECT_EQ(handler.errors, ++expectedErrors);
      EXPECT_EQ(handler.last, ZRV_ERROR);
    }
    ZtDevice_removeCallbackHandler(&device, &handler.callbacks, 0);
  }
}

// The control's own virtual operations throwing.
class ThrowingControl : public ZtControl {
 public:
  bool isDeviceWireless(ZtDeviceId) override { throw std::runtime_error("thrown by the test control"); }
  bool isDeviceDocked(ZtDeviceId) override { throw std::bad_alloc(); }
};

TEST(Boundary, AControlThatThrowsGivesTheFailureValueWithLastResult256) {
  ThrowingControl control;
  control.setLastResult(ZRV_OK);
  EXPECT_EQ(ZtControl_isDeviceWireless(&control, 0x00125678), 0);
  EXPECT_EQ(ZtControl_lastResult(&control), ZRV_ERROR);

  control.setLastResult(ZRV_OK);
  EXPECT_EQ(ZtControl_isDeviceDocked(&control, 0x00125678), 0);
  EXPECT_EQ(ZtControl_lastResult(&control), ZRV_ERROR);

  EXPECT_EQ(ZtControl_mainDeviceCount(&control), 0);
}

TEST(Boundary, ConstructReturnsNullWhenTheControlCannotBeMade) {
#ifdef ZDA_UNDER_SANITIZER
  GTEST_SKIP() << "needs this program's own operator new";
#else
  tFailNextNew = true;
  ZtControl* control = ZtControl_construct();
  EXPECT_FALSE(tFailNextNew);  // the allocation was tried
  EXPECT_EQ(control, nullptr);
  ZtControl_destruct(control);
#endif
}

// ---- Battery scaling ------------------------------------------------------------------------------

TEST(BatteryLevel, ScalesRawReadingsWithoutOverflow) {
  struct Case {
    int raw;
    int level;
  };
  const Case cases[] = {
      {0, 0},
      {1, 0},
      {199, 99},
      {200, 100},
      {201, 100},
      {250, 100},
      {-10, -5},
      {-1, 0},
      {-199, -99},
      {21474836, 100},
      {21474837, 100},
      {INT_MAX, 100},
      {-21474837, -10737418},
      {INT_MIN, INT_MIN / 2},
  };
  for (const Case& c : cases) EXPECT_EQ(ztScaleBatteryLevel(c.raw), c.level) << c.raw;
}

}  // namespace
