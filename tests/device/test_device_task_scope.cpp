// The per-thread mark of a running device task: nesting, and other threads not seeing it.
#include <gtest/gtest.h>

#include <thread>

#include "device/DeviceTaskScope.h"

namespace {

TEST(DeviceTaskScope, NestsAndStaysOnItsThread) {
  auto* a = reinterpret_cast<const ZtDevice*>(0x1000);
  auto* b = reinterpret_cast<const ZtDevice*>(0x2000);
  EXPECT_FALSE(DeviceTaskScope::isRunningTaskOf(a));
  {
    DeviceTaskScope outer(a);
    EXPECT_TRUE(DeviceTaskScope::isRunningTaskOf(a));
    EXPECT_FALSE(DeviceTaskScope::isRunningTaskOf(b));
    {
      DeviceTaskScope inner(b);
      EXPECT_TRUE(DeviceTaskScope::isRunningTaskOf(a));
      EXPECT_TRUE(DeviceTaskScope::isRunningTaskOf(b));
    }
    EXPECT_FALSE(DeviceTaskScope::isRunningTaskOf(b));
    bool seenElsewhere = true;
    std::thread([&] { seenElsewhere = DeviceTaskScope::isRunningTaskOf(a); }).join();
    EXPECT_FALSE(seenElsewhere);
  }
  EXPECT_FALSE(DeviceTaskScope::isRunningTaskOf(a));
}

}  // namespace
