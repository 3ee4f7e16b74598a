#include "common/numeric_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace ebbmark {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Blanks that may stand anywhere inside a number without ending it.
bool IsNumberBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

void SkipBlanks(std::string_view text, std::size_t& i) {
  while (i < text.size() && IsNumberBlank(text[i])) ++i;
}

// Digits after "&H" or "&O". The value only grows, so it saturates to
// infinity instead of overflowing.
double RadixDigits(std::string_view text, std::size_t i, int radix) {
  double value = 0;
  for (;; ++i) {
    SkipBlanks(text, i);
    if (i >= text.size()) break;
    const char c = text[i];
    int digit;
    if (IsDigit(c)) {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (digit >= radix) break;
    value = value > 1e300 ? kInfinity : value * radix + digit;
  }
  return value;
}

}  // namespace

double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  SkipBlanks(text, i);
  if (i >= text.size()) return 0;

  if (text[i] == '&') {
    if (i + 1 >= text.size()) return 0;
    const char kind = text[i + 1];
    if (kind == 'H' || kind == 'h') return RadixDigits(text, i + 2, 16);
    if (kind == 'O' || kind == 'o') return RadixDigits(text, i + 2, 8);
    return 0;
  }

  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }

  // The mantissa's digits and point with the blanks dropped.
  std::string mantissa;
  bool point = false;
  bool any_digit = false;
  for (;; ++i) {
    SkipBlanks(text, i);
    if (i >= text.size()) break;
    const char c = text[i];
    if (IsDigit(c)) {
      mantissa.push_back(c);
      any_digit = true;
    } else if (c == '.' && !point) {
      point = true;
      mantissa.push_back('.');
    } else {
      break;
    }
  }
  if (!any_digit) return 0;

  // An exponent counts only when at least one digit follows its letter.
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
    std::size_t j = i + 1;
    SkipBlanks(text, j);
    bool exp_negative = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
      exp_negative = text[j] == '-';
      ++j;
    }
    bool exp_digit = false;
    for (;; ++j) {
      SkipBlanks(text, j);
      if (j >= text.size() || !IsDigit(text[j])) break;
      exp_digit = true;
      // Saturate far beyond any double's range; the value is then 0 or infinite.
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[j] - '0');
    }
    if (exp_digit && exp_negative) exponent = -exponent;
  }

  // from_chars wants a digit before the point, and no sign but "-".
  std::string clean = negative ? "-" : "";
  if (mantissa.front() == '.') clean.push_back('0');
  clean.append(mantissa);
  if (clean.back() == '.') clean.pop_back();
  if (exponent != 0) {
    clean.push_back('e');
    clean.append(std::to_string(exponent));
  }

  double value = 0;
  const auto [end, ec] =
      std::from_chars(clean.data(), clean.data() + clean.size(), value, std::chars_format::general);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: tell which by the decimal position
    // of the first significant digit.
    long long magnitude = 0;
    const std::size_t first = mantissa.find_first_of("123456789");
    const std::size_t dot = mantissa.find('.');
    const std::size_t int_end = dot == std::string::npos ? mantissa.size() : dot;
    if (first == std::string::npos) return 0;
    magnitude = first < int_end ? static_cast<long long>(int_end - first)
                                : -static_cast<long long>(first - int_end - 1);
    magnitude += exponent;
    if (magnitude <= 0) return 0;
    return negative ? -kInfinity : kInfinity;
  }
  if (ec != std::errc{}) return 0;
  return value;
}

double RoundHalfEven(double value) {
  if (!std::isfinite(value)) return value;
  const double floor = std::floor(value);
  const double fraction = value - floor;  // exact: no bits are lost
  if (fraction < 0.5) return floor;
  if (fraction > 0.5) return floor + 1;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

std::optional<std::int64_t> RoundToRange(double value, std::int64_t lo, std::int64_t hi) {
  const double rounded = RoundHalfEven(value);
  // Written so that NaN fails; the magnitude guard keeps the conversion defined.
  if (!(std::fabs(rounded) < 9.0e18)) return std::nullopt;
  if (!(rounded >= static_cast<double>(lo) && rounded <= static_cast<double>(hi))) {
    return std::nullopt;
  }
  const auto whole = static_cast<std::int64_t>(rounded);
  if (whole < lo || whole > hi) return std::nullopt;
  return whole;
}

std::optional<std::int32_t> TextToInt32(std::string_view text) {
  const auto v = RoundToRange(LeadingNumber(text), std::numeric_limits<std::int32_t>::min(),
                              std::numeric_limits<std::int32_t>::max());
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

std::optional<std::int16_t> TextToInt16(std::string_view text) {
  // Rounding once to a whole number and checking the 16-bit range is the same
  // as rounding to 32 bits and then narrowing.
  const auto v = RoundToRange(LeadingNumber(text), std::numeric_limits<std::int16_t>::min(),
                              std::numeric_limits<std::int16_t>::max());
  if (!v) return std::nullopt;
  return static_cast<std::int16_t>(*v);
}

std::optional<std::uint8_t> TextToUInt8(std::string_view text) {
  const auto v = RoundToRange(LeadingNumber(text), 0, 255);
  if (!v) return std::nullopt;
  return static_cast<std::uint8_t>(*v);
}

bool TextToTruth(std::string_view text) {
  return LeadingNumber(text) != 0;
}

}  // namespace ebbmark
