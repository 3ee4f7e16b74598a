// relay-sim: a Trellan relay simulator for the demo, the black-box tests and
// the benchmarks. See README.md for the flags and the scenario format.

#include <asio.hpp>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/relay-sim/relay_server.h"
#include "tools/relay-sim/sim_options.h"

namespace {

// Tests read the output while the program runs: every line goes out at once.
void PrintLine(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ebbmark::sim;
  std::vector<std::string> args(argv + 1, argv + argc);
  ParsedOptions parsed = ParseOptions(args);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "relay-sim: %s\n", parsed.error.c_str());
    return 2;
  }
  Options& options = parsed.options;
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }

  std::string file_text;
  if (!options.scenario_file.empty() && !ReadFile(options.scenario_file, file_text)) {
    std::fprintf(stderr, "relay-sim: cannot read scenario file %s\n",
                 options.scenario_file.c_str());
    return 2;
  }
  Scenario scenario;
  if (std::string error = BuildScenario(options, file_text, scenario); !error.empty()) {
    std::fprintf(stderr, "relay-sim: %s\n", error.c_str());
    return 2;
  }

  if (options.server.name.empty()) {
    std::error_code ec;
    options.server.name = asio::ip::host_name(ec);
    if (ec || options.server.name.empty()) options.server.name = "localhost";
  }

  asio::io_context io;
  RelayServer server(io, std::move(scenario), options.server, PrintLine);
  asio::signal_set signals(io, SIGINT, SIGTERM);
  server.OnStop([&signals] {
    std::error_code ec;
    signals.cancel(ec);
  });
  std::string what;
  if (server.Start(&what)) {
    std::fprintf(stderr, "relay-sim: %s\n", what.c_str());
    return 1;
  }
  signals.async_wait([&server](std::error_code ec, int signal) {
    if (ec) return;
    PrintLine("signal " + std::to_string(signal) + ", stopping");
    server.Stop();
  });
  io.run();
  return 0;
}
