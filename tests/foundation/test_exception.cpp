// The library exception's composed text and re-throw.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "errors/ZtDeviceConfigurationException.h"
#include "errors/ZtException.h"

namespace {

std::string resultText(int code) { return ZtResultValue_toString(code); }

TEST(ZtException, ComposedText) {
  struct Case {
    int code;
    const char* text;
    bool compose;
    std::string expected;
  };
  const Case cases[] = {
      {256, "Could not start thread", true, "256: " + resultText(256) + "\tInfo: Could not start thread"},
      {256, "", true, "256: " + resultText(256)},
      {256, nullptr, true, "256: " + resultText(256)},
      {256, "as given", false, "as given"},
      {0, "as given", true, "as given"},
      {123456, "x", true, "123456: " + resultText(123456) + "\tInfo: x"},
  };
  for (const Case& c : cases) {
    ZtException e(c.code, c.text, c.compose);
    EXPECT_EQ(e.result(), c.code);
    EXPECT_EQ(std::string(e.what()), c.expected) << c.code << " " << (c.text ? c.text : "(null)");
  }
}

TEST(ZtException, EmptyTextGivesEmptyWhat) {
  ZtException e(0, "", false);
  ASSERT_NE(e.what(), nullptr);
  EXPECT_STREQ(e.what(), "");
  ZtString empty{};
  ZtException fromEmptyZtString(5, empty, false);
  EXPECT_STREQ(fromEmptyZtString.what(), "");
}

TEST(ZtException, RaiseThrowsTheBaseTypeWithCodeAndText) {
  ZtDeviceConfigurationException config;
  EXPECT_EQ(config.result(), 256);
  EXPECT_STREQ(config.what(), "Invalid device configuration");
  try {
    config.raise();
    FAIL() << "raise returned";
  } catch (const ZtException& e) {
    EXPECT_EQ(typeid(e), typeid(ZtException));
    EXPECT_EQ(e.result(), 256);
    EXPECT_STREQ(e.what(), "Invalid device configuration");
  }
}

}  // namespace
