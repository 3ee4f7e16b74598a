// Feeds arbitrary lines to one NUT session, as a network client could send
// them (quotes, escapes, NULs, long and partial lines), and checks that
// every answer is well formed, that only LOGOUT or the last allowed failed
// sign-in closes the connection, that no guess signs in, and that the word
// reader and the quoting read back what they wrote.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/nut_protocol.h"
#include "fuzz/fuzz_check.h"

namespace {

using ebbmark::nut::QuoteValue;
using ebbmark::nut::Session;
using ebbmark::nut::SplitWords;

// An answer is nothing, or whole lines: no CR, no LF but the one ending each
// line, and the first word one the protocol answers with.
void CheckAnswer(const std::string& text) {
  FUZZ_CHECK(text.size() < 4096);  // the longest is LIST VAR of the fixed snapshot
  if (text.empty()) return;
  FUZZ_CHECK(text.back() == '\n');
  FUZZ_CHECK(text.find('\r') == std::string::npos);
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(line.size() + 1);
    FUZZ_CHECK(!line.empty());
    const std::string_view first = line.substr(0, line.find(' '));
    static const std::vector<std::string_view> kFirst = {
        "OK",  "ERR",       "BEGIN",  "END", "VAR", "TYPE",    "DESC",     "UPSDESC",
        "UPS", "NUMLOGINS", "CLIENT", "1.3", "OFF", "Ebbmark", "Commands:"};
    bool known = false;
    for (std::string_view k : kFirst) known = known || first == k;
    FUZZ_CHECK(known);
  }
}

ebbmark::nut::Snapshot FixedSnapshot(bool stale) {
  return {
      stale,
      {{"battery.charge", "87"}, {"device.model", R"(a "quoted" \ model)"}, {"ups.status", "OB"}}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  ebbmark::nut::ServerConfig config;
  config.user = "monuser";
  config.password = "s3cret-Pass";
  const bool stale = input.ConsumeBool();
  const ebbmark::nut::Snapshot snapshot = FixedSnapshot(stale);
  const std::vector<std::string> clients = {"192.168.1.20", "::1"};
  Session session("10.0.0.5");

  for (int n = 0; n < 64 && input.remaining_bytes() > 0; ++n) {
    // Lines as the transport hands them on: without their LF, up to its limit
    // and a little beyond, since the table must not rely on that limit.
    const std::string line = input.ConsumeRandomLengthString(700);
    const int tries_before = session.failed_tries();
    const Session::Reply r = session.Handle(line, snapshot, config, clients);
    CheckAnswer(r.text);
    FUZZ_CHECK(!session.logged_in());  // no guess knows the password
    FUZZ_CHECK(!r.login_changed);
    FUZZ_CHECK(session.failed_tries() == tries_before + (r.auth_failure ? 1 : 0));
    if (r.close) {
      const bool goodbye = r.text == "OK Goodbye\n";
      FUZZ_CHECK(goodbye || (r.auth_failure && session.failed_tries() >= Session::kMaxFailedTries));
    }

    // Whatever reads as words reads back the same once each word is quoted.
    if (const auto words = SplitWords(line)) {
      std::string requoted;
      for (const std::string& w : *words) requoted += QuoteValue(w) + " ";
      const auto again = SplitWords(requoted);
      FUZZ_CHECK(again && *again == *words);
    }
    const auto one = SplitWords("X " + QuoteValue(line));
    FUZZ_CHECK(one && one->size() == 2 && (*one)[1] == line);
  }
  return 0;
}
