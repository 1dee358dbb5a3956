#include "platform/device_number.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceNumberArgument, OneRuleForEveryProgram) {
  const struct {
    const char* text;
    std::optional<int> expected;
  } cases[] = {
      {"1", 1},   {"999", 999},        {"007", 7},     {"0", {}},  {"1000", {}},
      {"-3", {}}, {"+7", {}},          {" 5", {}},     {"5 ", {}}, {"7x", {}},
      {"", {}},   {"99999999999", {}}, {"0000001", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseDeviceNumberArgument(c.text), c.expected)
        << "'" << c.text << "'";
}

TEST(DeviceNumberArgument, TheErrorNamesTheArgumentAndTheRange) {
  EXPECT_EQ(DeviceNumberError("x"), "\"x\" is no device number (1 to 999)");
  EXPECT_EQ(DeviceNumberError("1\x1b[2J"),
            "\"1\\x1B[2J\" is no device number (1 to 999)");
}

}  // namespace
