#pragma once
// The simulator's command line. Parsing is pure: it never touches files or
// sockets, so every flag can be tested.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/relay-sim/relay_server.h"
#include "tools/relay-sim/scenario.h"

namespace ebbmark::sim {

struct Options {
  ServerConfig server;
  bool udp_any = false;
  std::string scenario_file;  // empty: no file
  // Scenario lines made from flags, each with the flag that gave it; they
  // come after the file's lines, so they override its values at second 0.
  std::vector<std::pair<std::string, std::string>> scenario_lines;
  bool help = false;
};

struct ParsedOptions {
  Options options;
  std::string error;  // empty on success
};

// `args` without the program name.
ParsedOptions ParseOptions(const std::vector<std::string>& args);

// Builds the scenario from the file's text (empty when there is no file) and
// the flags' lines. Returns an error text naming the file and line, or the
// flag, or empty.
[[nodiscard]] std::string BuildScenario(const Options& options, std::string_view file_text,
                                        Scenario& scenario);

std::string UsageText();

}  // namespace ebbmark::sim
