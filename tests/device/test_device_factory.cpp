// The device factory: classification of ids, the two tables, construction with references,
// and the undo paths of a refused or throwing construction.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/DeviceFactory.h"
#include "support/TestDevice.h"
#include "transport/link/Communicator.h"

using zelto::test::CallLog;
using zelto::test::TestDevice;

namespace {

std::shared_ptr<CallLog> g_log;

// A type id without a built-in class, and ids the scripted factory classifies as it.
constexpr unsigned kScriptedType = 77;
constexpr ZtDeviceId kScriptedId = 0x00C01234;
constexpr ZtDeviceId kScriptedId2 = 0x00C05678;

class ScriptedFactory : public DeviceFactory {
 public:
  bool accept = true;
  mutable std::vector<std::string> calls;

  unsigned int deviceToTypeId(const ZtDeviceId& id) const override {
    return (id >> 16) == 0xC0 ? kScriptedType : DeviceFactory::deviceToTypeId(id);
  }

  void removeExistingDevice(const ZtDeviceId& id) override { calls.push_back("remove " + std::to_string(id)); }
  bool initializeDevice(ZtDevice* device) const override {
    calls.push_back(device ? "initialize" : "initialize null");
    return device != nullptr && accept;
  }
  using DeviceFactory::initializeDevice;
};

ZtDevice* makeMaster(DeviceFactory&, Communicator* c) { return new TestDevice(c, g_log); }
ZtDevice* makeChild(ZtDevice& master, const ZtDeviceId& id) {
  return new TestDevice(static_cast<TestDevice*>(&master), id, g_log);
}
ZtDevice* throwingMaster(DeviceFactory&, Communicator*) {
  struct Throwing : TestDevice {
    explicit Throwing(Communicator* c) : TestDevice(c, g_log) { throw std::runtime_error("constructor failed"); }
  };
  return new Throwing(nullptr);
}

constexpr ZtDeviceId kMk4Id = 0x00101234;  // fourth generation, series 10: no child constructor

class DeviceFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { g_log = std::make_shared<CallLog>(); }
  void TearDown() override { g_log.reset(); }
};

TEST_F(DeviceFactoryTest, ClassifiesIdsInOrder) {
  ScriptedFactory f;
  struct Case {
    ZtDeviceId id;
    unsigned typeId;
  } cases[] = {
      {0x00011111, 1},   {0x00021111, 2},   {0x00041111, 3},   {0x00051111, 4},   {0x00061111, 11},
      {0x00071111, 10},  {0x00081111, 12},  {0x00091111, 30},  {0x00101111, 20},  {0x00201111, 20},
      {0x00301111, 20},  {0x00431111, 21},  {0x00541111, 21},  {0x00601111, 21},  {0x00741111, 22},
      {0x00F01111, 101}, {0x00F11111, 100}, {0x00031111, 0},   {0x00001111, 0},   {0x00801111, 0},
      {0x00F21111, 0},   {0xFFF01111, 101}, {0x80000000, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(f.deviceToTypeId(c.id), c.typeId) << std::hex << c.id;
}

TEST_F(DeviceFactoryTest, FirstRegistrationStaysAndUnknownTypesMakeNothing) {
  ScriptedFactory f;
  // The built-in classes are registered first: type 10 keeps its own constructors.
  EXPECT_FALSE(f.registerMasterDeviceType(10, makeMaster));
  EXPECT_FALSE(f.registerChildDeviceType(10, makeChild));
  EXPECT_TRUE(f.registerMasterDeviceType(kScriptedType, makeMaster));
  EXPECT_FALSE(f.registerMasterDeviceType(kScriptedType, throwingMaster));
  EXPECT_TRUE(f.registerChildDeviceType(kScriptedType, makeChild));
  EXPECT_FALSE(f.registerChildDeviceType(kScriptedType, nullptr));
  auto* link = new Communicator();
  EXPECT_EQ(f.constructDevice(0u, link), nullptr);
  EXPECT_EQ(f.constructDevice(99u, link), nullptr);  // no class has type 99
  ZtDevice* d = f.constructDevice(kScriptedType, link);  // the kept constructor, not the throwing one
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->refCounter(), 1);
  d->removeRef();  // deletes the device and its link
  EXPECT_EQ(g_log->count("~device 0"), 1u);
}

TEST_F(DeviceFactoryTest, MasterCreationAndItsUndoPaths) {
  ScriptedFactory f;
  f.registerMasterDeviceType(kScriptedType, makeMaster);
  // Type 0 without initialisation: null, the link stays the caller's.
  auto* link = new Communicator();
  link->setMasterDeviceId(0x00031111);
  EXPECT_EQ(f.createMasterDevice(link, false), nullptr);
  EXPECT_TRUE(f.calls.empty());
  // With initialisation the hook sees null and refuses: the factory deletes the link (ASan
  // reports a leak otherwise).
  EXPECT_EQ(f.createMasterDevice(link, true), nullptr);
  EXPECT_EQ(f.calls.back(), "initialize null");
  EXPECT_EQ(f.createMasterDevice(nullptr, true), nullptr);

  // A refused device is released with its link.
  link = new Communicator();
  link->setMasterDeviceId(kScriptedId);
  f.accept = false;
  EXPECT_EQ(f.createMasterDevice(link, true), nullptr);
  EXPECT_EQ(g_log->count("~device " + std::to_string(kScriptedId)), 1u);

  // An accepted device carries the factory's reference.
  link = new Communicator();
  link->setMasterDeviceId(kScriptedId);
  f.accept = true;
  ZtDevice* d = f.createMasterDevice(link, true);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->refCounter(), 1);
  d->removeRef();
}

TEST_F(DeviceFactoryTest, ChildCreationRemovesTheOldDeviceFirstAndUndoesARefusal) {
  ScriptedFactory f;
  f.registerChildDeviceType(kScriptedType, makeChild);
  auto* link = new Communicator();
  link->setMasterDeviceId(0x00011111);
  TestDevice* master = new TestDevice(link, g_log);
  master->addRef();

  EXPECT_EQ(f.createChildDevice(kMk4Id, *master, true), nullptr);  // no child constructor
  EXPECT_EQ(f.calls.front(), "remove " + std::to_string(kMk4Id));

  f.calls.clear();
  ZtDevice* child = f.createChildDevice(kScriptedId, *master, true);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(f.calls, (std::vector<std::string>{"remove " + std::to_string(kScriptedId), "initialize"}));
  EXPECT_EQ(master->findDevice(kScriptedId), child);
  EXPECT_EQ(master->children().size(), 1u);

  f.accept = false;
  EXPECT_EQ(f.createChildDevice(kScriptedId2, *master, true), nullptr);
  EXPECT_EQ(master->findDevice(kScriptedId2), nullptr);
  EXPECT_EQ(master->children().size(), 1u);

  // initializeDevice(ZtDevice&) asks the hook only for a device not yet initialised.
  f.calls.clear();
  auto* t = static_cast<TestDevice*>(child);
  t->setInitialized(true);
  EXPECT_TRUE(f.initializeDevice(*child));
  EXPECT_TRUE(f.calls.empty());
  t->setInitialized(false);
  f.accept = true;
  EXPECT_TRUE(f.initializeDevice(*child));
  EXPECT_EQ(f.calls.size(), 1u);

  master->removeRef();
}

TEST_F(DeviceFactoryTest, AThrowingConstructorFreesItsMemoryAndTheExceptionGoesOn) {
  ScriptedFactory f;
  ASSERT_TRUE(f.registerMasterDeviceType(kScriptedType, throwingMaster));
  auto* link = new Communicator();
  link->setMasterDeviceId(0x00C01111);
  EXPECT_THROW(f.createMasterDevice(link, true), std::runtime_error);
  delete link;  // still the caller's: nothing took it over
}

TEST_F(DeviceFactoryTest, TheBuiltInTablesHoldOnlyClassesThatExist) {
  size_t masters = 99, children = 99;
  const DeviceFactory::DeviceTypeRow* m = DeviceFactory::knownMasterTypes(masters);
  const DeviceFactory::DeviceTypeRow* c = DeviceFactory::knownChildTypes(children);
  for (size_t i = 0; i < masters; ++i) EXPECT_NE(m[i].master, nullptr);
  for (size_t i = 0; i < children; ++i) EXPECT_NE(c[i].child, nullptr);
  // An id whose class is not built gives null and a journal line, never a crash: the first
  // family of the list without a master row (the last names no family at all).
  ScriptedFactory f;
  ZtDeviceId unbuilt = 0;
  for (ZtDeviceId id : {0x00021111u, 0x00041111u, 0x00051111u, 0x00081111u, 0x00091111u, 0x00741111u, 0x00EE1111u}) {
    bool built = false;
    for (size_t i = 0; i < masters; ++i) built = built || m[i].typeId == f.deviceToTypeId(id);
    if (!built) {
      unbuilt = id;
      break;
    }
  }
  ASSERT_NE(unbuilt, 0u);
  auto* link = new Communicator();
  link->setMasterDeviceId(unbuilt);
  EXPECT_EQ(f.createMasterDevice(link, false), nullptr);
  delete link;
}

}  // namespace
