// The tracker's setters when the device stays silent: false after the setter's time-out
// (200 ms, 3000 ms for the self-test), nothing cached, no filter restart, the emulator's table
// unchanged. Each case waits its real time-out once.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/EmulatedMaster.h"
#include "support/TrackerSetterCases.h"

namespace zelto::test {
namespace {

// The wait itself is the setter's time-out; on a loaded machine the write and the wake-up after
// it may add to it, never take from it.
constexpr long kSlackMs = EmulatedMaster::kLateMs > 150 ? EmulatedMaster::kLateMs : 150;

void runSilent(const SetterCase& c) {
  SCOPED_TRACE(c.name);
  SetterFixture f(c);
  const std::vector<uint8_t> rowBefore = f.t.model.row(c.requestId);
  f.t.emu->script(c.requestId, EmuAction::silence());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.call(*f.t.tracker));
  const long elapsed = msSince(start);
  EXPECT_GE(elapsed, c.timeoutMs - 1);
  EXPECT_LE(elapsed, c.timeoutMs + kSlackMs);
  EXPECT_EQ(f.requests(c.requestId).size(), 1u);
  if (c.cached) {
    EXPECT_FALSE(c.cached(*f.t.tracker));
  }
  EXPECT_EQ(f.restarts->load(), 0);
  EXPECT_EQ(f.t.model.row(c.requestId), rowBefore);
}

TEST(TrackerSettersSilent, FailAfterTheirTimeOutAndCacheNothing) {
  // The long self-test wait runs beside the others.
  std::vector<SetterCase> cases = setterCases();
  std::vector<std::thread> longWaits;
  for (const SetterCase& c : cases)
    if (c.timeoutMs > 1000) longWaits.emplace_back([&c] { runSilent(c); });
  for (const SetterCase& c : cases)
    if (c.timeoutMs <= 1000) runSilent(c);
  for (auto& th : longWaits) th.join();
}

}  // namespace
}  // namespace zelto::test
