// Parses arbitrary datagrams as relay discovery answers, as any host on the
// network may send them: an answer is taken only when framed, names its
// sender first, and stays within a bound of what came in.

#include <cstdint>
#include <string>

#include "config/model/relay_discovery.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string datagram(reinterpret_cast<const char*>(data), size);
  const std::string sender = "192.168.1.20";
  const auto answer = ebbmark::ParseRelayAnswer(datagram, sender);
  if (!answer) return 0;
  FUZZ_CHECK(datagram.size() >= 5 && datagram.compare(0, 4, "\nTCP") == 0);
  FUZZ_CHECK(datagram.back() == '\r');
  FUZZ_CHECK(answer->address == sender);
  FUZZ_CHECK(answer->entry_text.compare(0, sender.size() + 1, sender + '\t') == 0);
  FUZZ_CHECK(answer->host_name.find(',') == std::string::npos);
  // Latin-1 bytes above 0x7F take two bytes each once shown as UTF-8.
  FUZZ_CHECK(answer->entry_text.size() <= sender.size() + 2 * datagram.size() + 420);
  // The same datagram always reads the same.
  const auto again = ebbmark::ParseRelayAnswer(datagram, sender);
  FUZZ_CHECK(again && again->entry_text == answer->entry_text && again->port == answer->port);
  return 0;
}
