// Host filter profiles of the tracker base: the scenarios read from a settings file, the choice
// of the current host and onboard profiles, and the switch to another host profile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "errors/ZtDeviceConfigurationException.h"
#include "foundation/SettingsFile.h"
#include "support/NullZkfFilter.h"
#include "support/TestTracker.h"
#include "support/emulator/TrackerModel.h"
#include "transport/link/Communicator.h"

namespace zelto::test {
namespace {

// A portless tracker (owned by the fixture) with a configuration entry for itself.
struct PortlessTracker {
  PortlessTracker() {
    tracker = new TestTracker(new Communicator());
    tracker->addRef();
    EXPECT_TRUE(tracker->loadRecord(model.recordImage()));
    tracker->setConfiguredDevices({model.deviceId});
  }
  ~PortlessTracker() { tracker->removeRef(); }
  PortlessTracker(const PortlessTracker&) = delete;
  PortlessTracker& operator=(const PortlessTracker&) = delete;
  ZtDeviceConfigurationDevice& entry() { return tracker->deviceConfiguration().deviceInfo[0]; }

  TrackerModel model;
  TestTracker* tracker = nullptr;
};

// One scenario entry in ZSA lines; an empty value leaves the key out.
std::string scenario(const std::string& label, const std::string& name, const std::string& type,
                     const std::string& filterVersion = "1.2.0", const std::string& filter = "ZKF-3",
                     const std::string& version = "1") {
  std::string out;
  auto line = [&](const char* key, const std::string& value) {
    if (!value.empty()) out += label + "." + key + "=" + value + "\n";
  };
  line("gp.scenario", name.empty() ? "" : "S:" + name);
  line("gp.type", type.empty() ? "" : "I:" + type);
  line("gp.version", version.empty() ? "" : "I:" + version);
  line("gp.filterVersion", filterVersion.empty() ? "" : "S:" + filterVersion);
  line("gp.filter", filter.empty() ? "" : "S:" + filter);
  return out;
}

std::vector<int> types(const std::vector<ZtFilterProfile>& profiles) {
  std::vector<int> out;
  for (const ZtFilterProfile& p : profiles) out.push_back(p.type);
  return out;
}

TEST(TrackerHostProfiles, ScenarioTablesSkipBadEntriesAndSortByType) {
  const std::string good = scenario("L.b", "beta", "7") + scenario("L.a", "alpha", "2");
  struct Case {
    const char* name;
    std::string zsa;
    std::string prefix;
    std::vector<int> types;
  } cases[] = {
      {"no list", good, "ZKF", {}},
      {"sorted by type", "ZKF.scenarios=U:2:L.b L.a\n" + good, "ZKF", {2, 7}},
      {"missing label", "ZKF.scenarios=U:3:L.b L.x L.a\n" + good + scenario("L.x", "", "4"), "ZKF", {2, 7}},
      {"missing type", "ZKF.scenarios=U:3:L.b L.x L.a\n" + good + scenario("L.x", "x", ""), "ZKF", {2, 7}},
      {"missing version", "ZKF.scenarios=U:3:L.b L.x L.a\n" + good + scenario("L.x", "x", "4", "1.0.0", "ZKF-3", ""),
       "ZKF", {2, 7}},
      {"missing filter version", "ZKF.scenarios=U:3:L.b L.x L.a\n" + good + scenario("L.x", "x", "4", ""), "ZKF",
       {2, 7}},
      {"unparsable filter version", "ZKF.scenarios=U:3:L.b L.x L.a\n" + good + scenario("L.x", "x", "4", "new"),
       "ZKF", {2, 7}},
      {"missing filter", "ZKF.scenarios=U:3:L.b L.x L.a\n" + good + scenario("L.x", "x", "4", "1.0.0", ""), "ZKF",
       {2, 7}},
      {"rejected by the class", "ZKF.scenarios=U:3:L.b L.x L.a\n" + good + scenario("L.x", "x", "4") +
                                    "L.x.test.reject=I:1\n",
       "ZKF", {2, 7}},
      {"listed twice", "ZKF.scenarios=U:3:L.b L.a L.b\n" + good, "ZKF", {2, 7, 7}},
      {"own prefix", "ZKF.scenarios=U:1:L.b\nOWN.scenarios=U:1:L.a\n" + good, "OWN", {2}},
      {"only the low 8 bits of the type", "ZKF.scenarios=U:1:L.x\n" + scenario("L.x", "x", "261"), "ZKF", {5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortlessTracker t;
    EXPECT_EQ(t.tracker->getScenariosPrefix(), "ZKF");
    t.tracker->setScenariosPrefix(c.prefix);
    SettingsFile settings;
    settings.readZsaString(c.zsa.c_str());
    t.tracker->loadFilterProfiles(settings);
    EXPECT_EQ(types(t.tracker->availableZdaFilterProfiles()), c.types);
    // Every scenario kept has its filter parameters.
    for (const ExtendedScenario* s : t.tracker->hostScenarios()) EXPECT_NE(s->parameters(), nullptr);
  }
}

TEST(TrackerHostProfiles, ProfileFieldsAndReloading) {
  PortlessTracker t;
  SettingsFile settings;
  settings.readZsaString(("ZKF.scenarios=U:1:L.a\n" +
                          scenario("L.a", "\"a very long label of 34 characters\"", "3", "2.7.1", "zkf-3w", "260"))
                             .c_str());
  settings.setSetting("L.a.gp.scenario", Variant("ABCDEFGHIJKLMNOPQRSTUVWXYZ"));
  ASSERT_TRUE(t.tracker->loadFilterProfiles(settings));
  std::vector<ZtFilterProfile> host = t.tracker->availableZdaFilterProfiles();
  ASSERT_EQ(host.size(), 1u);
  EXPECT_STREQ(host[0].label, "ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(host[0].version, 4);
  EXPECT_EQ(host[0].filterType, 'W');
  EXPECT_EQ(host[0].filterMajor, 2);
  EXPECT_EQ(host[0].filterMinor, 7);
  settings.setSetting("L.a.gp.scenario", Variant("general purpose"));
  ASSERT_TRUE(t.tracker->loadFilterProfiles(settings));
  host = t.tracker->availableZdaFilterProfiles();
  ASSERT_EQ(host.size(), 1u);
  EXPECT_STREQ(host[0].label, "general");
  // A table without the list empties what was held.
  SettingsFile empty;
  EXPECT_FALSE(t.tracker->loadFilterProfiles(empty));
  EXPECT_TRUE(t.tracker->availableZdaFilterProfiles().empty());
}

class TypedFilter : public NullZkfFilter {
 public:
  explicit TypedFilter(char type) : m_type(type) {}
  char type() const override { return m_type; }

 private:
  char m_type;
};

TEST(TrackerHostProfiles, UpdateScenariosChoosesOnboardThenHostProfiles) {
  // Host scenarios of types 2 (Zkf3), 4 and 6 (Zkf3w).
  const std::string zsa = "ZKF.scenarios=U:3:L.six L.two L.four\n" + scenario("L.two", "two", "2") +
                          scenario("L.four", "four", "4", "1.0.0", "ZKF-3W") +
                          scenario("L.six", "six", "6", "1.0.0", "ZKF-3W");
  struct Case {
    const char* name;
    uint16_t entryScenario;  // 0: the record's
    char filter;             // 0: no filter
    bool filtering;
    int expectedOnboard;
    int expectedHost;
    int filterInitializations;
  } cases[] = {
      {"onboard type from the configuration", 0x0206, 0, true, 6, 6, 1},
      {"onboard type from the record", 0, 0, false, 3, 2, 0},
      {"first of the filter's type", 0x0105, 'W', true, 5, 4, 0},
      {"first without a filter", 0x0105, 0, true, 5, 2, 0},
      {"first when none has the filter's type", 0x0105, 'I', true, 5, 2, 1},
      {"first when none has the filter's type, no filtering", 0x0105, 'I', false, 5, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortlessTracker t;  // the record's scenario: type 3, version 1
    t.entry().currentScenario = c.entryScenario;
    t.entry().filterType = 'W';
    t.entry().filterMajor = 3;
    t.entry().filterMinor = 4;
    t.tracker->setOnboardList({ZtFilterProfile{5, 1, "five", 'W', 3, 4}, ZtFilterProfile{6, 2, "six", 'W', 3, 4}});
    if (c.filter) t.tracker->setZkfFilter(NonIntrusiveSharedPointer<ZtZkfFilter>(new TypedFilter(c.filter)));
    t.tracker->setSoftwareFilteringEnabled(c.filtering);
    SettingsFile settings;
    settings.readZsaString(zsa.c_str());
    t.tracker->loadFilterProfiles(settings);
    EXPECT_TRUE(t.tracker->updateScenarios());
    const ZtFilterProfile onboard = t.tracker->onboardFilterProfile();
    EXPECT_EQ(onboard.type, c.expectedOnboard);
    EXPECT_EQ(onboard.filterType, 'W');
    EXPECT_EQ(onboard.filterMajor, 3);
    EXPECT_STREQ(onboard.label, c.expectedOnboard == 5 ? "five" : c.expectedOnboard == 6 ? "six" : "");
    EXPECT_EQ(t.tracker->zdaFilterProfile().type, c.expectedHost);
    EXPECT_EQ(t.tracker->filterInitializations(), c.filterInitializations);
    // A chosen host profile stays; the onboard one follows the configuration.
    t.entry().currentScenario = 0x0105;
    EXPECT_TRUE(t.tracker->updateScenarios());
    EXPECT_EQ(t.tracker->zdaFilterProfile().type, c.expectedHost);
    EXPECT_EQ(t.tracker->onboardFilterProfile().type, 5);
  }
  {
    SCOPED_TRACE("no host scenarios");
    PortlessTracker t;
    EXPECT_TRUE(t.tracker->updateScenarios());
    EXPECT_EQ(t.tracker->zdaFilterProfile().type, 0);
  }
  {
    SCOPED_TRACE("no configuration entry");
    PortlessTracker t;
    t.tracker->setConfiguredDevices({});
    EXPECT_THROW(t.tracker->updateScenarios(), ZtDeviceConfigurationException);
  }
}

TEST(TrackerHostProfiles, SwitchingTheHostProfileDropsTheInitialState) {
  PortlessTracker t;
  SettingsFile settings;
  settings.readZsaString(("ZKF.scenarios=U:2:L.a L.b\n" + scenario("L.a", "a", "2") + scenario("L.b", "b", "3")).c_str());
  t.tracker->loadFilterProfiles(settings);
  t.tracker->setSoftwareFilteringEnabled(true);
  SettingsFile state;
  state.setSetting("state.a", Variant(1.0));
  ASSERT_TRUE(t.tracker->setZdaFilterProfile(2));
  t.tracker->setInitialState(state);
  ASSERT_NE(t.tracker->initialState(), nullptr);
  const int initializations = t.tracker->filterInitializations();
  // The current type again: nothing changes.
  EXPECT_TRUE(t.tracker->setZdaFilterProfile(2));
  EXPECT_NE(t.tracker->initialState(), nullptr);
  EXPECT_EQ(t.tracker->filterInitializations(), initializations);
  // A type without scenario: false, nothing changes.
  EXPECT_FALSE(t.tracker->setZdaFilterProfile(9));
  EXPECT_EQ(t.tracker->zdaFilterProfile().type, 2);
  EXPECT_NE(t.tracker->initialState(), nullptr);
  // Another type: the state goes, the filter is made anew.
  EXPECT_TRUE(t.tracker->setZdaFilterProfile(3));
  EXPECT_EQ(t.tracker->zdaFilterProfile().type, 3);
  EXPECT_STREQ(t.tracker->zdaFilterProfile().label, "b");
  EXPECT_EQ(t.tracker->initialState(), nullptr);
  EXPECT_EQ(t.tracker->filterInitializations(), initializations + 1);
  // Without software filtering the choice is made without a new filter.
  t.tracker->setSoftwareFilteringEnabled(false);
  EXPECT_TRUE(t.tracker->setZdaFilterProfile(2));
  EXPECT_EQ(t.tracker->filterInitializations(), initializations + 1);
}

}  // namespace
}  // namespace zelto::test
