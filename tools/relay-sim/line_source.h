#pragma once
// Turns a scenario into the stream of status lines, one batch per second, and
// draws every random choice (jitter, junk bytes, split points) from one seeded
// generator, so the same seed gives the same stream.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/relay-sim/scenario.h"

namespace ebbmark::sim {

class LineSource {
 public:
  LineSource(const Scenario& scenario, std::uint32_t seed, bool loop)
      : scenario_(scenario), rng_(seed), loop_(loop) {}

  // Scenario second for a second since start: the same one, or its place in
  // the cycle when the scenario loops.
  int ScenarioTime(int elapsed) const;

  // One line per device (inverters in declared order, then battery
  // monitors), without framing, for scenario second t, jitter applied.
  std::vector<std::string> Lines(int t);

  // `bytes` of junk: any byte value, at least one NUL among them.
  std::string Garbage(int bytes);

  // Where to cut a line of `length` characters into 2 or 3 pieces (ascending
  // cut positions strictly inside the line).
  std::vector<std::size_t> SplitPoints(std::size_t length);

  // A whole number in [lo, hi] from the generator.
  int Uniform(int lo, int hi);

 private:
  int Jittered(Property p, int value, double amount_in_units);

  const Scenario& scenario_;
  // mt19937's output is fixed by the standard, and Uniform maps it by hand,
  // so the stream is the same with every compiler and library.
  std::mt19937 rng_;
  bool loop_;
};

}  // namespace ebbmark::sim
