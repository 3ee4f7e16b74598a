#pragma once
// Status lines as the relay forwards them from the inverter controller, and
// the relay's discovery answer. Pure text functions, so the simulator's output
// can be checked without a network.

#include <cstdint>
#include <string>
#include <string_view>

namespace ebbmark::sim {

// One inverter's physical values; the formatter applies the wire encoding.
struct InverterReading {
  int address = 0;           // port address 0..9
  int current = 0;           // inverter current, amperes
  int ac_input = 120;        // AC input, volts
  int mode = 2;              // operating mode code; 90 and 92 are error modes
  int battery_tenths = 264;  // battery voltage in tenths of a volt
  bool double_flag = false;  // wire carries AC halved and current doubled
};

struct FndcReading {
  char letter = 'a';  // a..j
  int soc = 85;       // state of charge, percent
  int temp_c = 25;    // battery temperature, degrees Celsius
};

// The inverter line without its LF and CR, e.g.
// "0,01,00,00,120,120,00,02,000,02,264,000,000,23". Values that do not fit
// their field are clamped, so the line always carries digits only and a
// correct checksum.
std::string FormatInverterLine(const InverterReading& r);

// The battery monitor line without its LF and CR, e.g.
// "a,00,00,00,00,00,00,85,00,00,35,70".
std::string FormatFndcLine(const FndcReading& r);

// A line framed for the wire: LF, line, CR.
std::string FrameLine(std::string_view line);

// Sum of the decimal digits in `text` (other characters count nothing).
int DigitSum(std::string_view text);

// The answer to a discovery query: LF "TCP," name "," port "," inverters
// ",0," monitors CR. Commas, CR and LF in the name would shift the fields the
// finder reads, so they are replaced by '-'.
std::string FormatDiscoveryAnswer(std::string_view name, std::uint16_t tcp_port, int inverters,
                                  int monitors);

// The query datagram a finder sends.
inline constexpr std::string_view kDiscoveryQuery = "Quorral";

// The relay's serial number as the greeting shows it: exactly ten characters.
inline constexpr std::string_view kRelaySerial = "0123456789";

// The greeting every new client receives as its own first chunk, e.g.
// "Trellan relay v1.0 (0123456789)" CR LF.
std::string FormatGreeting(std::string_view serial = kRelaySerial);

}  // namespace ebbmark::sim
