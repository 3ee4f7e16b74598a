#include "tools/relay-sim/sim_options.h"

#include <charconv>

namespace ebbmark::sim {
namespace {

bool ReadInt(const std::string& text, long long min, long long max, long long& out) {
  long long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc{} || end != text.data() + text.size() || v < min || v > max) return false;
  out = v;
  return true;
}

}  // namespace

std::string UsageText() {
  return R"(usage: relay-sim [options]
Simulates a Trellan relay: greets each TCP client, streams status lines once a
second per device, plays a scenario with faults, answers discovery queries.

  --host ADDR          TCP address to listen on (default 127.0.0.1)
  --port N             TCP port (default 8467; 0 picks a free port)
  --udp-port N         discovery UDP port (default 8466; 0 picks a free port)
  --udp-any            listen for discovery on 0.0.0.0 instead of --host
  --no-udp             no discovery answers
  --name NAME          host name in discovery answers (default: this computer's)
  --no-greeting        send no greeting line to new clients
  --scenario FILE      scenario file (see README.md)
  --seed N             seed for jitter, junk bytes and split points (default 1)
  --loop               repeat the scenario
  --duration N         stop after N seconds (exit code 0)
  --verbose            print every line sent, every event, every client
Scenario values from flags (applied at second 0, after the file's lines):
  --inverters LIST     inverter port addresses, e.g. 0,1 (or none)
  --fndc LIST          battery monitor letters, e.g. a (or none)
  --mains on|off  --current A  --ac V  --battery VOLTS  --mode NN  --double on|off
                       values for every inverter
  --soc PERCENT  --temp C
                       values for every battery monitor
  -e, --event LINE     any scenario line, e.g. "at 10 fault close"; repeatable
  -h, --help           this text
)";
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions result;
  Options& o = result.options;
  auto fail = [&](std::string text) {
    result.error = std::move(text);
    return result;
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string flag = args[i];
    std::string value;
    bool has_value = false;
    if (flag.rfind("--", 0) == 0) {
      if (auto eq = flag.find('='); eq != std::string::npos) {
        value = flag.substr(eq + 1);
        flag = flag.substr(0, eq);
        has_value = true;
      }
    }
    auto take = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };
    auto no_value = [&]() { return !has_value; };
    auto port = [&](std::uint16_t& out) -> std::string {
      long long v = 0;
      if (!take()) return flag + " needs a port number";
      if (!ReadInt(value, 0, 65535, v))
        return flag + " needs a port from 0 to 65535, got '" + value + "'";
      out = static_cast<std::uint16_t>(v);
      return {};
    };
    auto scenario_line = [&](const std::string& line) {
      o.scenario_lines.emplace_back(flag, line);
    };

    if (flag == "-h" || flag == "--help") {
      o.help = true;
    } else if (flag == "--host") {
      if (!take() || value.empty()) return fail("--host needs an address");
      o.server.host = value;
    } else if (flag == "--port") {
      if (auto e = port(o.server.port); !e.empty()) return fail(e);
    } else if (flag == "--udp-port") {
      if (auto e = port(o.server.udp_port); !e.empty()) return fail(e);
    } else if (flag == "--udp-any" && no_value()) {
      o.udp_any = true;
    } else if (flag == "--no-udp" && no_value()) {
      o.server.udp = false;
    } else if (flag == "--no-greeting" && no_value()) {
      o.server.greeting = false;
    } else if (flag == "--name") {
      if (!take() || value.empty()) return fail("--name needs a host name");
      o.server.name = value;
    } else if (flag == "--scenario") {
      if (!take() || value.empty()) return fail("--scenario needs a file name");
      o.scenario_file = value;
    } else if (flag == "--seed") {
      long long v = 0;
      if (!take() || !ReadInt(value, 0, 4294967295LL, v)) {
        return fail("--seed needs a whole number from 0 to 4294967295");
      }
      o.server.seed = static_cast<std::uint32_t>(v);
    } else if (flag == "--loop" && no_value()) {
      o.server.loop = true;
    } else if (flag == "--duration") {
      long long v = 0;
      if (!take() || !ReadInt(value, 1, 10'000'000, v)) {
        return fail("--duration needs a whole number of seconds from 1");
      }
      o.server.duration = static_cast<int>(v);
    } else if (flag == "--verbose" && no_value()) {
      o.server.verbose = true;
    } else if (flag == "--inverters" || flag == "--fndc") {
      if (!take()) return fail(flag + " needs a list");
      scenario_line(flag.substr(2) + " " + value);
    } else if (flag == "--mains" || flag == "--current" || flag == "--ac" || flag == "--battery" ||
               flag == "--mode" || flag == "--double") {
      if (!take()) return fail(flag + " needs a value");
      scenario_line("at 0 inverter all " + flag.substr(2) + " " + value);
    } else if (flag == "--soc" || flag == "--temp") {
      if (!take()) return fail(flag + " needs a value");
      scenario_line("at 0 fndc " + flag.substr(2) + " " + value);
    } else if (flag == "-e" || flag == "--event") {
      if (!take()) return fail(flag + " needs a scenario line");
      scenario_line(value);
    } else {
      return fail("unknown option '" + args[i] + "' (--help lists them)");
    }
  }
  if (o.udp_any) o.server.udp_host = "0.0.0.0";
  return result;
}

std::string BuildScenario(const Options& options, std::string_view file_text, Scenario& scenario) {
  if (!options.scenario_file.empty()) {
    if (std::string e = scenario.ParseText(file_text, options.scenario_file); !e.empty()) return e;
  }
  for (const auto& [flag, line] : options.scenario_lines) {
    if (std::string e = scenario.ParseLine(line, flag); !e.empty()) return e;
  }
  return scenario.Finish();
}

}  // namespace ebbmark::sim
