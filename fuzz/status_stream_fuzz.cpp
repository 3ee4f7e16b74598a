// Feeds arbitrary chunks to the status stream splitter and parser, and checks
// that the buffer stays bounded, the table stays in range, and that Append,
// appending by hand plus ProcessRecvBuffer, and a plain erase-per-line model
// of the line rules all end in the same state after every chunk.

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/status_stream.h"

namespace {

using ebbmark::StatusStream;

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// The line rules written the obvious way: erase each line off the front.
// Slow on big buffers, but plainly right.
class ModelSplitter {
 public:
  explicit ModelSplitter(StatusStream& parser) : parser_(parser) {}

  void Append(const std::string& chunk) {
    buffer_ += chunk;
    while (!buffer_.empty()) {
      if (!started_ && (buffer_.find('\n') == std::string::npos ||
                        buffer_.size() >= StatusStream::kMaxUnstartedBuffer)) {
        buffer_.clear();
        break;
      }
      if (!started_) {
        buffer_.erase(0, buffer_.find('\n'));
        started_ = true;
      }
      const auto cr = buffer_.find('\r');
      if (cr == std::string::npos) break;
      const std::string line = buffer_.substr(1, cr - 1);
      if (!line.empty()) parser_.ParseStatusLine(line);
      buffer_.erase(0, cr + 1);
      started_ = false;
    }
    if (started_ && buffer_.size() > StatusStream::kMaxStartedLine) {
      buffer_.clear();
      started_ = false;
    }
  }

  const std::string& Buffer() const { return buffer_; }
  bool Started() const { return started_; }

 private:
  StatusStream& parser_;
  std::string buffer_;
  bool started_ = false;
};

void CheckInvariants(const StatusStream& s) {
  FUZZ_CHECK(s.RecvBuffer.size() <= StatusStream::kMaxStartedLine);
  if (s.LineStarted) {
    FUZZ_CHECK(!s.RecvBuffer.empty() && s.RecvBuffer.front() == '\n');
    FUZZ_CHECK(s.RecvBuffer.find('\r') == std::string::npos);
  } else {
    FUZZ_CHECK(s.RecvBuffer.empty());
  }
  const auto& t = s.Table;
  FUZZ_CHECK(t.MonitoredAddress >= -1 && t.MonitoredAddress <= 9);
  for (int i = 0; i < ebbmark::kStatusSlots; ++i) {
    FUZZ_CHECK(t.AcInput[i] >= 0 && t.InverterCurrent[i] >= 0 && t.BatteryVoltage[i] >= 0);
  }
  FUZZ_CHECK(!t.InverterLastSeen[10]);  // no record can address slot 10
  FUZZ_CHECK(t.BatterySoc >= 0);
  FUZZ_CHECK(t.BatteryTemp >= -10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  ebbmark::ManualClock clock;
  StatusStream appended(clock);
  StatusStream by_hand(clock);
  StatusStream modelled(clock);
  ModelSplitter model(modelled);

  // A few long runs per input are enough to reach every cap; more only
  // multiply the memory each input takes (and the sanitizer keeps freed
  // memory for a while), which a long run pays for in peak size.
  int long_runs = 0;
  while (input.remaining_bytes() > 0) {
    std::string chunk;
    if (input.ConsumeIntegral<std::uint8_t>() < 8 && long_runs++ < 4) {
      // A long run of one character: reaches the started-line cap cheaply.
      const char c = input.ConsumeIntegral<char>();
      chunk.assign(input.ConsumeIntegralInRange<std::size_t>(1000, 70000), c);
    } else {
      chunk = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(0, 2048));
    }
    clock.Advance(std::chrono::seconds{1});  // so a lost or extra line shows in the stamps

    appended.Append(chunk);
    by_hand.RecvBuffer += chunk;
    by_hand.ProcessRecvBuffer();
    model.Append(chunk);

    CheckInvariants(appended);
    CheckInvariants(by_hand);
    for (const StatusStream* s : {&appended, &by_hand}) {
      FUZZ_CHECK(s->Table == modelled.Table);
      FUZZ_CHECK(s->LastDataStamp == modelled.LastDataStamp);
      FUZZ_CHECK(s->LineStarted == model.Started());
      FUZZ_CHECK(s->RecvBuffer == model.Buffer());
    }
  }
  return 0;
}
