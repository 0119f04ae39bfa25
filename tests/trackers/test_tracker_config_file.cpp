// A tracker's configuration file: saved from one emulated tracker, applied to a second that
// holds other values, the two emulators' settings tables end up equal for the six requests.
#include <gtest/gtest.h>

#include <string>

#include "support/EmulatedTracker.h"
#include "support/TempDir.h"

namespace zelto::test {
namespace {

ZtResultValue withName(const std::string& file, ZtResultValue (ZtDevice::*op)(const ZtString&), ZtDevice& d) {
  ZtString name;
  ZtString_construct(&name, file.c_str());
  const ZtResultValue r = (d.*op)(name);
  ZtString_destruct(&name);
  return r;
}

TEST(TrackerConfigFile, SavedOnOneTrackerAndAppliedToAnotherEqualisesTheirSettings) {
  const uint8_t requests[] = {0xD0, 0xD2, 0x18, 0x04, 0xD4, 0x84};
  EmulatedTracker source;
  EmulatedTracker target([](TrackerModel& model) {
    model.setRow(0xD0, {0x00, 0x06});
    model.setRow(0xD2, {0x00, 0x00, 0x00, 0x05});
    model.setRow(0x04, {0x04, 0x80});
    model.setRow(0xD4, {0x00, 0x09});
    model.setRow(0x84, {0x12, 0x34});
  });
  int differing = 0;
  for (uint8_t id : requests) differing += source.model.row(id) != target.model.row(id);
  ASSERT_GE(differing, 4);

  TempDir dir;
  const std::string file = dir.file("tracker.zsa");
  ASSERT_EQ(withName(file, &ZtDevice::createConfigFile, *source.tracker), 0);
  ASSERT_EQ(withName(file, &ZtDevice::applyConfigFile, *target.tracker), 0);
  for (uint8_t id : requests)
    EXPECT_EQ(source.model.row(id), target.model.row(id)) << "request 0x" << std::hex << int(id);
}

}  // namespace
}  // namespace zelto::test
