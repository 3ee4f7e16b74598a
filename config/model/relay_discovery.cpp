#include "config/model/relay_discovery.h"

#include <charconv>
#include <cmath>
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

  const double inverters = LeadingNumber(fields[3]);
  const auto port = TextToInt32(fields[2]);
  if (!std::isfinite(inverters) || !port) return std::nullopt;

  RelayAnswer answer;
  answer.entry_text = sender + '\t' + PlainNumber(inverters) + " Inverter";
  if (!(inverters > 0 && inverters <= 1)) answer.entry_text += 's';
  answer.entry_text += ", ";
  answer.entry_text += fields[5];
  answer.entry_text += " FNDC";
  answer.host_name = std::string(fields[1]);
  answer.address = sender;
  answer.port = *port;
  return answer;
}

}  // namespace ebbmark
