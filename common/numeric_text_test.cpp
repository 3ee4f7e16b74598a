#include "common/numeric_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace ebbmark {
namespace {

struct LeadingCase {
  const char* text;
  double expected;
};

TEST(NumericTextTest, LeadingNumberReadsLikeVal) {
  const LeadingCase cases[] = {
      {"", 0},        {"abc", 0},     {"8467", 8467}, {"8467xyz", 8467},
      {"  42  ", 42}, {"-5", -5},     {"+7", 7},      {"1 2 3", 123},
      {"- 1 2", -12}, {"12.5", 12.5}, {".5", 0.5},    {"-.25", -0.25},
      {"5.", 5},      {"1.2.3", 1.2}, {"0.5", 0.5},   {"1e3", 1000},
      {"1E+2", 100},  {"25e-1", 2.5}, {"1d2", 100},   {"1D 2", 100},
      {"1e", 1},      {"1e+", 1},     {"2ex", 2},     {"&H19", 25},
      {"&h19", 25},   {"&HfF", 255},  {"&H1 0", 16},  {"&O17", 15},
      {"&o17", 15},   {"&O18", 1},  // 8 is no octal digit
      {"&H", 0},      {"&X12", 0},    {"&", 0},       {"-&H10", 0},
      {".", 0},       {"-", 0},       {"+.e5", 0},    {"0x1A", 0},
      {"1,000", 1},   {"\t9", 9},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(NumericTextTest, ExtremeNumbersNeverTrap) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(LeadingNumber("1e30"), 1e30);
  EXPECT_EQ(LeadingNumber("1e400"), inf);
  EXPECT_EQ(LeadingNumber("-1e400"), -inf);
  EXPECT_EQ(LeadingNumber("1e-400"), 0);
  EXPECT_EQ(LeadingNumber("0.0000001e-400"), 0);
  EXPECT_EQ(LeadingNumber("1e99999999999999999999999"), inf);
  EXPECT_EQ(LeadingNumber("1e-99999999999999999999999"), 0);
  EXPECT_EQ(LeadingNumber("&H" + std::string(400, 'F')), inf);
  EXPECT_EQ(LeadingNumber(std::string(100'000, '9')), inf);
  EXPECT_EQ(LeadingNumber("0." + std::string(100'000, '0') + "1"), 0);
  EXPECT_EQ(LeadingNumber(std::string(100'000, '0') + "7"), 7);
  for (const char* text : {"1e400", "NaN", "inf", "-Infinity"}) {
    EXPECT_FALSE(std::isnan(LeadingNumber(text))) << text;
  }
}

TEST(NumericTextTest, RoundsHalfToEven) {
  const LeadingCase cases[] = {
      {"0.5", 0},   {"1.5", 2},   {"2.5", 2},   {"3.5", 4},       {"-0.5", 0},     {"-1.5", -2},
      {"-2.5", -2}, {"48.6", 49}, {"48.4", 48}, {"2.5000001", 3}, {"-2.4999", -2}, {"7", 7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RoundHalfEven(LeadingNumber(c.text)), c.expected) << c.text;
  }
  EXPECT_TRUE(std::isnan(RoundHalfEven(std::nan(""))));
}

TEST(NumericTextTest, NarrowsOnlyWhatFits) {
  EXPECT_EQ(TextToInt32("2147483647"), 2147483647);
  EXPECT_EQ(TextToInt32("-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(TextToInt32("2147483647.4"), 2147483647);
  EXPECT_EQ(TextToInt32("2147483647.5"), std::nullopt);  // rounds to 2^31
  EXPECT_EQ(TextToInt32("2147483648"), std::nullopt);
  EXPECT_EQ(TextToInt32("1e30"), std::nullopt);
  EXPECT_EQ(TextToInt32("1e400"), std::nullopt);
  EXPECT_EQ(TextToInt32(std::string(1'000'000, '9')), std::nullopt);
  EXPECT_EQ(TextToInt32("abc"), 0);

  EXPECT_EQ(TextToInt16("32767"), 32767);
  EXPECT_EQ(TextToInt16("32767.5"), std::nullopt);
  EXPECT_EQ(TextToInt16("-32768"), -32768);
  EXPECT_EQ(TextToInt16("-32769"), std::nullopt);
  EXPECT_EQ(TextToInt16("65536"), std::nullopt);  // no wrap to 0

  EXPECT_EQ(TextToUInt8("255"), 255);
  EXPECT_EQ(TextToUInt8("256"), std::nullopt);
  EXPECT_EQ(TextToUInt8("-1"), std::nullopt);
  EXPECT_EQ(TextToUInt8("-0.4"), 0);

  EXPECT_EQ(RoundToRange(std::nan(""), -10, 10), std::nullopt);
  EXPECT_EQ(RoundToRange(std::numeric_limits<double>::infinity(), -10, 10), std::nullopt);
  EXPECT_EQ(RoundToRange(9.5e18, std::numeric_limits<std::int64_t>::min(),
                         std::numeric_limits<std::int64_t>::max()),
            std::nullopt);
}

TEST(NumericTextTest, TruthIsAnyNonZeroNumberUnrounded) {
  EXPECT_TRUE(TextToTruth("1"));
  EXPECT_TRUE(TextToTruth("-1"));
  EXPECT_TRUE(TextToTruth("0.5"));
  EXPECT_TRUE(TextToTruth("1e400"));
  EXPECT_FALSE(TextToTruth("0"));
  EXPECT_FALSE(TextToTruth(""));
  EXPECT_FALSE(TextToTruth("yes"));
  EXPECT_FALSE(TextToTruth("1e-400"));
}

}  // namespace
}  // namespace ebbmark
