// Throughput of the status stream: line splitting plus record parsing, fed the
// way a relay link feeds it, on a stream from ten inverters and a battery
// monitor.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/status_stream.h"

namespace ebbmark {
namespace {

// The parser asks for the time once per line of a known kind, so counting the
// calls counts the lines that reached it (the rest were dropped by the
// splitter's rules).
class CountingClock final : public Clock {
 public:
  Stamp Now() const override {
    ++calls;
    return {TimePoint{std::chrono::seconds{1'800'000'000}}, std::chrono::seconds{0}};
  }
  mutable std::int64_t calls = 0;
};

constexpr int kRounds = 1000;
constexpr int kLinesPerRound = 11;  // inverters 0..9, then the battery monitor
constexpr std::int64_t kLines = std::int64_t{kRounds} * kLinesPerRound;

std::string Digits(int value, int width) {
  std::string text = std::to_string(value);
  const auto w = static_cast<std::size_t>(width);
  return text.size() >= w ? text : std::string(w - text.size(), '0') + text;
}

std::string WithChecksum(const std::string& fields, int sum) {
  for (char c : fields) {
    if (c >= '0' && c <= '9') sum += c - '0';
  }
  return fields + "," + std::to_string(sum);
}

// Lines as an installation sends them: values drifting, now and then an
// inverter in an error mode.
std::vector<std::string> RealisticLines() {
  std::mt19937 rng(20240607);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::vector<std::string> lines;
  lines.reserve(kLines);
  for (int round = 0; round < kRounds; ++round) {
    for (int port = 0; port < 10; ++port) {
      const std::string mode = pick(0, 99) == 0 ? "90" : "02";
      lines.push_back(WithChecksum(std::to_string(port) + "," + Digits(pick(0, 30), 2) + ",00,00," +
                                       Digits(pick(0, 125), 3) + ",120,00," + mode + ",000,02," +
                                       Digits(pick(240, 280), 3) + "," + Digits(pick(0, 1), 3) +
                                       ",000",
                                   0));
    }
    lines.push_back(WithChecksum(
        "a,00,00,00,00,00,00," + Digits(pick(20, 100), 2) + ",00,00," + Digits(pick(30, 40), 2),
        'a' - '0'));
  }
  return lines;
}

const std::string& Stream() {
  static const std::string stream = [] {
    std::string text;
    for (const std::string& line : RealisticLines()) text += "\n" + line + "\r";
    return text;
  }();
  return stream;
}

// The stream cut into chunks of random sizes in [lo, hi].
std::vector<std::string_view> Chunks(std::size_t lo, std::size_t hi) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> size(lo, hi);
  std::string_view rest = Stream();
  std::vector<std::string_view> chunks;
  while (!rest.empty()) {
    const std::size_t n = std::min(size(rng), rest.size());
    chunks.push_back(rest.substr(0, n));
    rest.remove_prefix(n);
  }
  return chunks;
}

// Args: smallest and largest chunk.
void BM_StatusStreamAppend(benchmark::State& state) {
  const auto chunks =
      Chunks(static_cast<std::size_t>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  CountingClock clock;
  StatusStream stream(clock);
  std::int64_t lines_in = 0;
  for (auto _ : state) {
    for (std::string_view chunk : chunks) stream.Append(chunk);
    benchmark::DoNotOptimize(stream.Table);
    lines_in += kLines;
  }
  state.counters["lines_in/s"] =
      benchmark::Counter(static_cast<double>(lines_in), benchmark::Counter::kIsRate);
  state.counters["lines_parsed/s"] =
      benchmark::Counter(static_cast<double>(clock.calls), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(Stream().size()));
}
// A line or a round at a time, as a relay writes them and a prompt reader
// receives them: every line reaches the parser.
BENCHMARK(BM_StatusStreamAppend)->Args({40, 120})->Args({200, 1000});
// A backlog after a stall, in the full 512-byte reads the relay link makes.
BENCHMARK(BM_StatusStreamAppend)->Args({512, 512});
// One byte at a time.
BENCHMARK(BM_StatusStreamAppend)->Args({1, 1});

// The record parser alone.
void BM_ParseStatusLine(benchmark::State& state) {
  const auto lines = RealisticLines();
  CountingClock clock;
  StatusStream stream(clock);
  for (auto _ : state) {
    for (const std::string& line : lines) stream.ParseStatusLine(line);
    benchmark::DoNotOptimize(stream.Table);
  }
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kLines),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseStatusLine);

// A flood that starts a line and never ends it: the splitter must stay linear
// in what it receives, whatever the chunk size, up to the started-line cap.
void BM_StartedLineFlood(benchmark::State& state) {
  const std::string chunk(static_cast<std::size_t>(state.range(0)), '7');
  CountingClock clock;
  StatusStream stream(clock);
  for (auto _ : state) {
    stream.Append("\n");
    while (stream.LineStarted) stream.Append(chunk);  // until the cap drops it
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(StatusStream::kMaxStartedLine));
}
BENCHMARK(BM_StartedLineFlood)->Arg(16)->Arg(1000);

}  // namespace
}  // namespace ebbmark
