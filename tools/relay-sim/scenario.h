#pragma once
// A relay scenario: which devices the relay serves, how their values change
// over time, and which faults the relay shows when. Parsed from a small
// line-based text (see README.md); evaluation is pure, so a scenario can be
// checked at any second without running a server.

#include <string>
#include <string_view>
#include <vector>

#include "tools/relay-sim/status_lines.h"

namespace ebbmark::sim {

enum class Property { Mains, Current, Ac, Battery, Mode, Double, Soc, Temp };

enum class FaultKind { Silence, Close, Refuse, Garbage, Split, Bytewise, Flood, Double };

// Device id of a change that applies to every device of its kind.
inline constexpr int kAllDevices = -1;

// A value change from `start` on. An `at` line gives start == end and
// from == to; a ramp moves linearly from `from` at `start` to `to` at `end`
// and holds `to` afterwards.
struct Change {
  int start = 0;
  int end = 0;
  Property property = Property::Current;
  int device = kAllDevices;  // inverter address, FNDC letter, or kAllDevices
  double from = 0;
  double to = 0;
  std::string where;  // "file:line", for errors found after parsing
};

struct Fault {
  int at = 0;
  FaultKind kind = FaultKind::Close;
  int amount = 0;             // seconds, or bytes for garbage
  int address = kAllDevices;  // double: the inverter
  bool on = false;            // double: flag on or off
  std::string text;           // as written after "fault", for the event print
  std::string where;
};

// A scenario line that takes effect at a time, printed in verbose mode.
struct Note {
  int at = 0;
  std::string text;
};

// Seeded noise added to a value on every line; zero values stay zero.
struct Jitter {
  Property property = Property::Current;
  double amount = 0;
};

class Scenario {
 public:
  // Adds one line of scenario text. `where` names it in errors ("file:3").
  // Returns an empty text on success, else "where: what is wrong".
  [[nodiscard]] std::string ParseLine(std::string_view line, std::string_view where);

  // Adds every line of `text`; `source` names the text in errors. Stops at
  // the first bad line.
  [[nodiscard]] std::string ParseText(std::string_view text, std::string_view source);

  // Checks what can only be checked once all lines are in (changes and faults
  // naming devices that are not declared). Call once, after the last line.
  [[nodiscard]] std::string Finish();

  // Inverter port addresses, and battery monitor letters. Without an
  // `inverters` line the relay serves inverter 0; without an `fndc` line,
  // monitor a.
  const std::vector<int>& Inverters() const { return inverters_; }
  const std::vector<char>& Fndcs() const { return fndcs_; }

  // Values at scenario second t (before jitter).
  InverterReading InverterAt(int address, int t) const;
  FndcReading FndcAt(char letter, int t) const;

  // Faults and notes that fire at exactly second t, in the order written.
  std::vector<Fault> FaultsAt(int t) const;
  std::vector<std::string> NotesAt(int t) const;

  // Seconds in one cycle when the scenario loops: the `length` line, else 10 s
  // after the last change, ramp end or fault end.
  int Length() const;

  const std::vector<Jitter>& Jitters() const { return jitters_; }
  const std::vector<Change>& Changes() const { return changes_; }

 private:
  double ValueAt(Property p, int device, int t, double fallback) const;

  std::vector<int> inverters_{0};
  std::vector<char> fndcs_{'a'};
  std::vector<Change> changes_;
  std::vector<Fault> faults_;
  std::vector<Note> notes_;
  std::vector<Jitter> jitters_;
  int length_ = 0;  // 0: derived
};

// Linear interpolation of a change at second t, held before start and after end.
double Interpolate(const Change& c, int t);

}  // namespace ebbmark::sim
