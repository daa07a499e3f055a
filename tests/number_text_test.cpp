#include "common/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace grouptrace {
namespace {

constexpr auto kOk = NumberStatus::ok;
constexpr auto kBad = NumberStatus::malformed;
constexpr auto kOut = NumberStatus::outOfRange;
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

TEST(NumberText, IntegersByFormAndBounds) {
  using F = IntegerForm;
  struct Case {
    const char* text;
    IntegerForm form;
    std::int64_t low, high;
    NumberStatus status;
    std::int64_t value;
  };
  const Case cases[] = {
      // The writers' form: one text per value.
      {"0", F::canonical, kMin64, kMax64, kOk, 0},
      {"-17", F::canonical, kMin64, kMax64, kOk, -17},
      {"9223372036854775807", F::canonical, kMin64, kMax64, kOk, kMax64},
      {"-9223372036854775808", F::canonical, kMin64, kMax64, kOk, kMin64},
      {"9223372036854775808", F::canonical, kMin64, kMax64, kOut, 0},
      {"-9223372036854775809", F::canonical, kMin64, kMax64, kOut, 0},
      {"99999999999999999999999", F::canonical, kMin64, kMax64, kOut, 0},
      {"-0", F::canonical, kMin64, kMax64, kBad, 0},
      {"007", F::canonical, kMin64, kMax64, kBad, 0},
      {"+7", F::canonical, kMin64, kMax64, kBad, 0},
      {"", F::canonical, kMin64, kMax64, kBad, 0},
      {"-", F::canonical, kMin64, kMax64, kBad, 0},
      {"7 ", F::canonical, kMin64, kMax64, kBad, 0},
      {"1e3", F::canonical, kMin64, kMax64, kBad, 0},
      // JSON's integer differs only in "-0".
      {"-0", F::json, kMin64, kMax64, kOk, 0},
      {"01", F::json, kMin64, kMax64, kBad, 0},
      // Digits alone: leading zeros, no sign.
      {"0960", F::digits, 1, 10000, kOk, 960},
      {"000000000000000000000000960", F::digits, 1, 10000, kOk, 960},
      {"-5", F::digits, kMin64, kMax64, kBad, 0},
      {"+5", F::digits, kMin64, kMax64, kBad, 0},
      {"960px", F::digits, 1, 10000, kBad, 0},
      {"0", F::digits, 1, 10000, kOut, 0},
      {"10001", F::digits, 1, 10000, kOut, 0},
      // A sign, then digits: the seed option.
      {"+2147483647", F::signedDigits, kInt32Min, kInt32Max, kOk, kInt32Max},
      {"-2147483648", F::signedDigits, kInt32Min, kInt32Max, kOk, kInt32Min},
      {"2147483648", F::signedDigits, kInt32Min, kInt32Max, kOut, 0},
      {"-2147483649", F::signedDigits, kInt32Min, kInt32Max, kOut, 0},
      {"-00000000000000000000000001", F::signedDigits, kInt32Min, kInt32Max, kOk, -1},
      {"+-1", F::signedDigits, kInt32Min, kInt32Max, kBad, 0},
      {" 1", F::signedDigits, kInt32Min, kInt32Max, kBad, 0},
      // atoi's reading of the seed argument, which stored scripts rely on.
      {" \t\n-12abc", F::leading, kInt32Min, kInt32Max, kOk, -12},
      {"\v\f\r7", F::leading, kInt32Min, kInt32Max, kOk, 7},
      {"+3 4", F::leading, kInt32Min, kInt32Max, kOk, 3},
      {"abc", F::leading, kInt32Min, kInt32Max, kOk, 0},
      {"", F::leading, kInt32Min, kInt32Max, kOk, 0},
      {"2147483648x", F::leading, kInt32Min, kInt32Max, kOut, 0},
      {"-99999999999999999999999", F::leading, kInt32Min, kInt32Max, kOut, 0},
  };
  for (const Case& c : cases) {
    const auto n = readInteger(c.text, c.form, c.low, c.high);
    EXPECT_EQ(n.status, c.status) << '"' << c.text << "\" form " << static_cast<int>(c.form);
    if (c.status == kOk) {
      EXPECT_EQ(n.value, c.value) << c.text;
      EXPECT_EQ(parseInteger(c.text, c.form, c.low, c.high), c.value) << c.text;
    } else {
      EXPECT_FALSE(parseInteger(c.text, c.form, c.low, c.high)) << c.text;
    }
  }
}

TEST(NumberText, RealsTellTooLargeFromTooSmall) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string text;
    NumberStatus status;
    double value;  // for outOfRange, the infinity or zero it stands for
    bool parsed;   // whether parseReal gives a value
  };
  const Case cases[] = {
      {"2.5", kOk, 2.5, true},
      {"-1e-3", kOk, -1e-3, true},
      {"inf", kOk, inf, true},
      {"1e400", kOut, inf, true},
      {"-1e400", kOut, -inf, true},
      {"1" + std::string(400, '0'), kOut, inf, true},
      {"1" + std::string(400, '0') + "e-50", kOut, inf, true},
      {"1e-400", kOut, 0.0, false},
      {"-1e-400", kOut, -0.0, false},
      {"0." + std::string(400, '0') + "1", kOut, 0.0, false},
      {"0.001e-330", kOut, 0.0, false},
      {"", kBad, 0, false},
      {"1,5", kBad, 0, false},
      {"1e", kBad, 0, false},
      {" 1", kBad, 0, false},
  };
  for (const Case& c : cases) {
    const auto n = readReal(c.text);
    EXPECT_EQ(n.status, c.status) << c.text;
    if (c.status != kBad) {
      EXPECT_EQ(n.value, c.value) << c.text;
      EXPECT_EQ(std::signbit(n.value), std::signbit(c.value)) << c.text;
    }
    EXPECT_EQ(parseReal(c.text).has_value(), c.parsed) << c.text;
  }
}

}  // namespace
}  // namespace grouptrace
