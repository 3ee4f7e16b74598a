#include "tools/relay-sim/status_lines.h"

#include <algorithm>
#include <cstdio>

namespace ebbmark::sim {
namespace {

// Zero-padded decimal of at least `width` digits, clamped to [0, max].
std::string Digits(int value, int width, int max) {
  value = std::clamp(value, 0, max);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

}  // namespace

int DigitSum(std::string_view text) {
  int sum = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') sum += c - '0';
  }
  return sum;
}

std::string FormatInverterLine(const InverterReading& r) {
  int current = r.current;
  int ac = r.ac_input;
  if (r.double_flag) {
    current *= 2;
    ac = (ac + 1) / 2;
  }
  // Fields 5 (AC output), 8, 9 and 12 carry the values a healthy controller
  // shows; the receiver uses them only for the checksum.
  std::string line;
  line += Digits(r.address, 1, 9);
  line += ',' + Digits(current, 2, 99);
  line += ",00,00";
  line += ',' + Digits(ac, 3, 999);
  line += ",120,00";
  line += ',' + Digits(r.mode, 2, 99);
  line += ",000,02";
  line += ',' + Digits(r.battery_tenths, 3, 999);
  line += ',' + Digits(r.double_flag ? 1 : 0, 3, 999);
  line += ",000";
  line += ',' + Digits(DigitSum(line), 2, 999);
  return line;
}

std::string FormatFndcLine(const FndcReading& r) {
  char letter = (r.letter >= 'a' && r.letter <= 'j') ? r.letter : 'a';
  std::string fields = ",00,00,00,00,00,00";
  fields += ',' + Digits(r.soc, 2, 100);
  fields += ",00,00";
  fields += ',' + Digits(r.temp_c + 10, 2, 99);
  int sum = (letter - 48) + DigitSum(fields);
  return std::string(1, letter) + fields + ',' + Digits(sum, 2, 999);
}

std::string FrameLine(std::string_view line) {
  std::string framed;
  framed.reserve(line.size() + 2);
  framed += '\n';
  framed += line;
  framed += '\r';
  return framed;
}

std::string FormatDiscoveryAnswer(std::string_view name, std::uint16_t tcp_port, int inverters,
                                  int monitors) {
  std::string clean(name);
  std::replace_if(
      clean.begin(), clean.end(), [](char c) { return c == ',' || c == '\r' || c == '\n'; }, '-');
  return "\nTCP," + clean + ',' + std::to_string(tcp_port) + ',' + std::to_string(inverters) +
         ",0," + std::to_string(monitors) + '\r';
}

std::string FormatGreeting(std::string_view serial) {
  return "Trellan relay v1.0 (" + std::string(serial) + ")\r\n";
}

}  // namespace ebbmark::sim
