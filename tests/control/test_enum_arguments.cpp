// Enumeration arguments at the C interface: every export that takes an enumeration, called with
// the lowest and highest value it names and with values just outside, far outside and negative,
// as a C caller may pass them. Out-of-range values give the interface's answers for unknown values
// and never reach an operation that cannot take them (the sanitizer build runs this table too).
// Two guards keep the fault class away: every public enumeration has a fixed underlying type in
// C++ (holding any 32-bit value is defined), and every export whose arguments include a public
// enumeration must appear in the table.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "support/TestDevice.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/zeltodeviceapi.h"

namespace {

using zelto::test::TestDevice;

// A fixed underlying type allows list-initialisation from it; an enumeration without one does not.
template <typename E>
concept FixedUnderlying = std::is_enum_v<E> && requires { E{std::underlying_type_t<E>{}}; };

static_assert(FixedUnderlying<ZtOption> && FixedUnderlying<ZtQueueMode> && FixedUnderlying<ZtResetMethod> &&
              FixedUnderlying<ZtAlignmentFrame> && FixedUnderlying<ZtProtocolType> && FixedUnderlying<ZtDeviceState> &&
              FixedUnderlying<ZtConnectivityState> && FixedUnderlying<ZtRejectReason> && FixedUnderlying<ZtInfoRequest>);
static_assert(sizeof(ZtOption) == 4 && std::is_same_v<std::underlying_type_t<ZtQueueMode>, int>);

// The value as a C caller's 32-bit argument.
template <typename E>
E arg(int32_t value) {
  return static_cast<E>(value);
}

struct Row {
  const char* name;
  int32_t lowest, highest;  // the values the export names
  // Calls the export with the value and checks the result; valid: lowest <= value <= highest.
  std::function<void(int32_t value, bool valid)> check;
};

class EnumArguments : public ::testing::Test {
 protected:
  void SetUp() override {
    control = ZtControl_construct();
    ASSERT_NE(control, nullptr);
    device = new TestDevice(new Communicator());
    device->addRef();
  }
  void TearDown() override {
    device->removeRef();
    ZtControl_destruct(control);
  }

  std::vector<Row> rows() {
    ZtControl* c = control;
    TestDevice* d = device;
    ZtDevice* z = device;
    return {
        {"ZtControl_setOptionEnabled", 0, 1,
         [c](int32_t v, bool valid) {
           ZtControl_setOptionEnabled(c, ZO_SoftwareCalibration, 1);
           ZtControl_setOptionEnabled(c, ZO_SoftwareFiltering, 1);
           ZtControl_setOptionEnabled(c, arg<ZtOption>(v), 0);
           EXPECT_EQ(ZtControl_isOptionEnabled(c, ZO_SoftwareCalibration), valid && v == 0 ? 0 : 1);
           EXPECT_EQ(ZtControl_isOptionEnabled(c, ZO_SoftwareFiltering), valid && v == 1 ? 0 : 1);
         }},
        {"ZtControl_isOptionEnabled", 0, 1,
         [c](int32_t v, bool valid) {
           ZtControl_setOptionEnabled(c, ZO_SoftwareCalibration, 1);
           ZtControl_setOptionEnabled(c, ZO_SoftwareFiltering, 0);
           EXPECT_EQ(ZtControl_isOptionEnabled(c, arg<ZtOption>(v)), valid && v == 0 ? 1 : 0);
           ZtControl_setOptionEnabled(c, ZO_SoftwareFiltering, 1);
           EXPECT_EQ(ZtControl_isOptionEnabled(c, arg<ZtOption>(v)), valid ? 1 : 0);
         }},
        // Any mode is stored and read back as it was given.
        {"ZtControl_setQueueMode", 0, 2,
         [c](int32_t v, bool) {
           ZtControl_setQueueMode(c, arg<ZtQueueMode>(v));
           EXPECT_EQ(static_cast<int32_t>(ZtControl_queueMode(c)), v);
           ZtControl_setQueueMode(c, ZQM_CallbacksOnly);
         }},
        {"ZtDevice_setOptionEnabled", 0, 1,
         [d, z](int32_t v, bool valid) {
           d->log().clear();
           EXPECT_EQ(ZtDevice_setOptionEnabled(z, arg<ZtOption>(v), 1), valid ? 1 : 0);
           const std::vector<std::string> expected =
               !valid ? std::vector<std::string>{}
               : v == 0 ? std::vector<std::string>{"setSoftwareCalibrationEnabled on 0"}
                        : std::vector<std::string>{"setSoftwareFilteringEnabled on 0"};
           EXPECT_EQ(d->log().lines(), expected);
         }},
        {"ZtDevice_isOptionEnabled", 0, 1,
         [d, z](int32_t v, bool valid) {
           d->setSoftwareCalibrationEnabled(true);
           d->setSoftwareFilteringEnabled(true);
           EXPECT_EQ(ZtDevice_isOptionEnabled(z, arg<ZtOption>(v)), valid ? 1 : 0);
         }},
        // Every method reaches the device unchanged.
        {"ZtDevice_resetOrientation", 0, 8,
         [d, z](int32_t v, bool) {
           d->log().clear();
           EXPECT_EQ(ZtDevice_resetOrientation(z, arg<ZtResetMethod>(v)), 1);
           EXPECT_EQ(d->log().lines(),
                     std::vector<std::string>{"scheduleOrientationReset " + std::to_string(v) + " 0"});
         }},
        {"ZtDevice_enableProtocol", 0, 3,
         [z](int32_t v, bool valid) {
           const int enabled = ZtDevice_enableProtocol(z, arg<ZtProtocolType>(v));
           if (!valid) {
             EXPECT_EQ(enabled, 0);
             return;
           }
           if (v == ZPT_Zbus) {
             EXPECT_EQ(enabled, 1);
           }
           EXPECT_EQ(ZtDevice_isProtocolEnabled(z, arg<ZtProtocolType>(v)), enabled);
         }},
        {"ZtDevice_disableProtocol", 0, 3,
         [z](int32_t v, bool valid) {
           EXPECT_EQ(ZtDevice_disableProtocol(z, arg<ZtProtocolType>(v)), valid ? 1 : 0);
           if (valid) {
             EXPECT_EQ(ZtDevice_isProtocolEnabled(z, arg<ZtProtocolType>(v)), 0);
           }
           ZtDevice_enableProtocol(z, ZPT_Zbus);
         }},
        {"ZtDevice_isProtocolEnabled", 0, 3,
         [z](int32_t v, bool valid) {
           ASSERT_EQ(ZtDevice_enableProtocol(z, ZPT_Zbus), 1);
           for (int32_t t = ZPT_Nmea; t <= int32_t{ZPT_ImarIFog}; ++t) ASSERT_EQ(ZtDevice_disableProtocol(z, arg<ZtProtocolType>(t)), 1);
           EXPECT_EQ(ZtDevice_isProtocolEnabled(z, arg<ZtProtocolType>(v)), valid && v == ZPT_Zbus ? 1 : 0);
         }},
        {"ZtDevice_setQueueMode", 0, 2,
         [z](int32_t v, bool) {
           EXPECT_EQ(ZtDevice_setQueueMode(z, arg<ZtQueueMode>(v)), 1);
           EXPECT_EQ(static_cast<int32_t>(ZtDevice_queueMode(z)), v);
           ZtDevice_setQueueMode(z, ZQM_CallbacksOnly);
         }},
        // The device model's defaults, for known and unknown frames alike.
        {"ZtDevice_setAlignmentRotationMatrix", 0, 1,
         [z](int32_t v, bool) {
           const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
           ZtMatrix m;
           ZtMatrix_construct(&m, 3, 3, 0, identity);
           EXPECT_EQ(ZtDevice_setAlignmentRotationMatrix(z, arg<ZtAlignmentFrame>(v), &m), 0);
           ZtMatrix_destruct(&m);
         }},
        {"ZtDevice_alignmentRotationMatrix", 0, 1,
         [z](int32_t v, bool) {
           const double ones[4] = {1, 1, 1, 1};
           ZtMatrix m;
           ZtMatrix_construct(&m, 2, 2, 0, ones);
           EXPECT_EQ(ZtDevice_alignmentRotationMatrix(z, &m, arg<ZtAlignmentFrame>(v)), &m);
           EXPECT_EQ(m.rows, 0u);
           EXPECT_EQ(m.cols, 0u);
           ZtMatrix_destruct(&m);
         }},
        {"ZtDevice_setAlignmentRotationQuaternion", 0, 1,
         [z](int32_t v, bool) {
           const ZtQuaternion q{1, 0, 0, 0};
           EXPECT_EQ(ZtDevice_setAlignmentRotationQuaternion(z, arg<ZtAlignmentFrame>(v), &q), 0);
         }},
        {"ZtDevice_alignmentRotationQuaternion", 0, 1,
         [z](int32_t v, bool) {
           ZtQuaternion q{1, 2, 3, 4};
           EXPECT_EQ(ZtDevice_alignmentRotationQuaternion(z, &q, arg<ZtAlignmentFrame>(v)), &q);
           EXPECT_EQ(q.w, 0.0);
           EXPECT_EQ(q.x, 0.0);
           EXPECT_EQ(q.y, 0.0);
           EXPECT_EQ(q.z, 0.0);
         }},
        {"ZtDeviceState_toString", 0, 7,
         [](int32_t v, bool valid) {
           const std::string text = ZtDeviceState_toString(arg<ZtDeviceState>(v));
           EXPECT_EQ(text, !valid ? "ZDS Unknown(" + std::to_string(v) + ")" : v == 0 ? "ZDS_Initial" : "ZDS_Destructing");
         }},
        {"ZtRejectReason_toString", 0, 4,
         [](int32_t v, bool valid) {
           EXPECT_STREQ(ZtRejectReason_toString(arg<ZtRejectReason>(v)),
                        !valid ? "UnknownReason" : v == 0 ? "ZRR_Unknown" : "ZRR_SystemIsOperational");
         }},
        {"ZtConnectivityState_toString", 0, 5,
         [](int32_t v, bool valid) {
           EXPECT_STREQ(ZtConnectivityState_toString(arg<ZtConnectivityState>(v)),
                        !valid ? "UnknownState" : v == 0 ? "ZCS_Disconnected" : "ZCS_Unknown");
         }},
    };
  }

  ZtControl* control = nullptr;
  TestDevice* device = nullptr;
};

TEST_F(EnumArguments, EveryExportAnswersValuesInsideAndOutsideItsRange) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    const int32_t values[] = {row.lowest, row.highest, row.highest + 1, row.lowest - 1, 1000, INT32_MAX, -1, INT32_MIN};
    for (int32_t v : values) {
      SCOPED_TRACE(v);
      row.check(v, v >= row.lowest && v <= row.highest);
    }
  }
  // No call failed at the boundary.
  EXPECT_EQ(ZtControl_lastResult(control), ZRV_OK);
}

// The public headers: every enumeration declared with the fixed base, and every export that
// takes one of them is a row of the table above.
TEST_F(EnumArguments, EveryExportTakingAnEnumerationIsInTheTable) {
  const std::string dir = std::string(ZDA_SOURCE_DIR) + "/include/zeltodeviceapi";
  std::string all;
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() < 3 || name.substr(name.size() - 2) != ".h") continue;
    std::ifstream in(dir + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    all += text.str() + "\n";
  }
  closedir(d);

  const auto isWordChar = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'; };
  const auto word = [&](const std::string& text, size_t at) {
    size_t end = at;
    while (end < text.size() && isWordChar(text[end])) ++end;
    return text.substr(at, end - at);
  };
  const auto skipSpace = [&](size_t at) {
    while (at < all.size() && std::isspace(static_cast<unsigned char>(all[at]))) ++at;
    return at;
  };
  const auto containsWord = [&](const std::string& text, const std::string& w) {
    for (size_t at = text.find(w); at != std::string::npos; at = text.find(w, at + 1))
      if ((at == 0 || !isWordChar(text[at - 1])) && (at + w.size() == text.size() || !isWordChar(text[at + w.size()])))
        return true;
    return false;
  };

  std::set<std::string> enums;
  const std::string typedefEnum = "typedef enum ";
  for (size_t at = all.find(typedefEnum); at != std::string::npos; at = all.find(typedefEnum, at + 1)) {
    const size_t nameAt = skipSpace(at + typedefEnum.size());
    const std::string name = word(all, nameAt);
    const std::string base = word(all, skipSpace(nameAt + name.size()));
    EXPECT_EQ(base, "ZDA_ENUM_BASE") << name << " is declared without the fixed base";
    enums.insert(name);
  }
  EXPECT_GE(enums.size(), 9u);

  std::set<std::string> inTable;
  for (const Row& row : rows()) inTable.insert(row.name);
  size_t exports = 0;
  std::set<std::string> found;
  for (size_t at = all.find("ZDA_API "); at != std::string::npos; at = all.find("ZDA_API ", at + 1)) {
    const size_t end = all.find(';', at);
    const std::string declaration = all.substr(at, end - at);
    const size_t open = declaration.find('(');
    const size_t close = declaration.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;  // exported data
    size_t nameEnd = open;
    while (nameEnd > 0 && std::isspace(static_cast<unsigned char>(declaration[nameEnd - 1]))) --nameEnd;
    size_t nameAt = nameEnd;
    while (nameAt > 0 && isWordChar(declaration[nameAt - 1])) --nameAt;
    const std::string name = declaration.substr(nameAt, nameEnd - nameAt);
    const std::string arguments = declaration.substr(open + 1, close - open - 1);
    ++exports;
    bool takesOne = false;
    for (const std::string& e : enums) {
      if (!containsWord(arguments, e)) continue;
      EXPECT_TRUE(inTable.count(name)) << name << " takes a " << e << " and is not in the table";
      takesOne = true;
    }
    if (takesOne) found.insert(name);
  }
  EXPECT_GT(exports, 200u);  // the scan found the interface
  EXPECT_EQ(found, inTable);  // and the table holds no other row
}

}  // namespace
