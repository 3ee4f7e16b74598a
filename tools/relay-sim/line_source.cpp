#include "tools/relay-sim/line_source.h"

#include <algorithm>
#include <cmath>

namespace ebbmark::sim {

int LineSource::ScenarioTime(int elapsed) const {
  if (!loop_) return elapsed;
  return elapsed % scenario_.Length();
}

int LineSource::Uniform(int lo, int hi) {
  if (hi <= lo) return lo;
  const std::uint64_t span = static_cast<std::uint64_t>(hi - lo) + 1;
  return lo + static_cast<int>(static_cast<std::uint64_t>(rng_()) % span);
}

int LineSource::Jittered(Property p, int value, double amount_in_units) {
  const int amount = static_cast<int>(std::lround(amount_in_units));
  if (amount <= 0) return value;
  int v = value + Uniform(-amount, amount);
  switch (p) {
    case Property::Current:
    case Property::Ac:
    case Property::Battery:
      // Zero means "none" here (no inverting, no mains): noise must never
      // make it appear or vanish.
      if (value == 0) return 0;
      return std::max(v, 1);
    case Property::Soc:
      return std::clamp(v, 0, 100);
    case Property::Temp:
      return std::clamp(v, -10, 89);
    default:
      return value;
  }
}

std::vector<std::string> LineSource::Lines(int t) {
  std::vector<std::string> lines;
  for (int address : scenario_.Inverters()) {
    InverterReading r = scenario_.InverterAt(address, t);
    for (const Jitter& j : scenario_.Jitters()) {
      switch (j.property) {
        case Property::Current:
          r.current = Jittered(j.property, r.current, j.amount);
          break;
        case Property::Ac:
          r.ac_input = Jittered(j.property, r.ac_input, j.amount);
          break;
        case Property::Battery:
          r.battery_tenths = Jittered(j.property, r.battery_tenths, j.amount * 10);
          break;
        default:
          break;
      }
    }
    lines.push_back(FormatInverterLine(r));
  }
  for (char letter : scenario_.Fndcs()) {
    FndcReading r = scenario_.FndcAt(letter, t);
    for (const Jitter& j : scenario_.Jitters()) {
      if (j.property == Property::Soc) r.soc = Jittered(j.property, r.soc, j.amount);
      if (j.property == Property::Temp) r.temp_c = Jittered(j.property, r.temp_c, j.amount);
    }
    lines.push_back(FormatFndcLine(r));
  }
  return lines;
}

std::string LineSource::Garbage(int bytes) {
  std::string junk;
  if (bytes <= 0) return junk;
  junk.reserve(static_cast<std::size_t>(bytes));
  for (int i = 0; i < bytes; ++i) junk += static_cast<char>(Uniform(0, 255));
  junk[static_cast<std::size_t>(Uniform(0, bytes - 1))] = '\0';
  return junk;
}

std::vector<std::size_t> LineSource::SplitPoints(std::size_t length) {
  std::vector<std::size_t> cuts;
  if (length < 2) return cuts;
  const int max_cuts = length >= 3 ? 2 : 1;
  const int count = Uniform(1, max_cuts);
  while (static_cast<int>(cuts.size()) < count) {
    auto cut = static_cast<std::size_t>(Uniform(1, static_cast<int>(length) - 1));
    if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end()) cuts.push_back(cut);
  }
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

}  // namespace ebbmark::sim
