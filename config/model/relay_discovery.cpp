#include "config/model/relay_discovery.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "common/numeric_text.h"

namespace ebbmark {
namespace {

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

}  // namespace

double AnswerNumber(std::string_view field) {
  // The relay writes counts and ports as plain decimal digits: a sign, a
  // fraction, an exponent or a radix prefix is not part of the number.
  std::size_t first = 0;
  while (first < field.size() && (field[first] == ' ' || field[first] == '\t')) ++first;
  std::size_t end = first;
  while (end < field.size() && field[end] >= '0' && field[end] <= '9') ++end;
  if (end == first) return 0;
  double value = 0;
  const auto [stop, ec] = std::from_chars(field.data() + first, field.data() + end, value);
  (void)stop;
  if (ec == std::errc::result_out_of_range) return std::numeric_limits<double>::infinity();
  return ec == std::errc() ? value : 0;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | (b >> 6)));
      text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return text;
}

std::string PlainNumber(double value) {
  if (value == 0) return "0";  // also -0
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char buffer[400];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) return "0";
  return std::string(buffer, end);
}

std::optional<RelayAnswer> ParseRelayAnswer(std::string_view datagram, const std::string& sender) {
  if (datagram.size() <= 3 || datagram.substr(0, 4) != "\nTCP" || datagram.back() != '\r') {
    return std::nullopt;
  }
  const auto fields = SplitFields(datagram.substr(1, datagram.size() - 2));
  if (fields.size() < 6) return std::nullopt;

  const double inverters = AnswerNumber(fields[3]);
  const auto port = RoundToRange(AnswerNumber(fields[2]), std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max());
  if (!std::isfinite(inverters) || !port) return std::nullopt;

  RelayAnswer answer;
  answer.entry_text = sender + '\t' + PlainNumber(inverters) + " Inverter";
  if (!(inverters > 0 && inverters <= 1)) answer.entry_text += 's';
  answer.entry_text += ", ";
  answer.entry_text += Latin1ToUtf8(fields[5]);
  answer.entry_text += " FNDC";
  answer.host_name = Latin1ToUtf8(fields[1]);
  answer.address = sender;
  answer.port = static_cast<std::int32_t>(*port);
  return answer;
}

}  // namespace ebbmark
