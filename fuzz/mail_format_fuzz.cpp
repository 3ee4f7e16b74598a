// Formats messages from arbitrary senders, recipients, subjects and bodies.
// Whatever passes the address check must give a message whose headers stay
// the fixed set (nothing smuggled in through an address or the subject),
// with CR LF line ends only and no line longer than SMTP allows, and an
// envelope that holds bare addresses only.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <set>
#include <string>

#include "base/mail_format.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace ebbmark;

bool EnvelopeSafe(const std::string& a) {
  if (a.empty()) return false;
  for (const char ch : a) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7f || c == '<' || c == '>') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  MailMessage m;
  m.host = "127.0.0.1";
  m.from = input.ConsumeRandomLengthString(400);
  m.to = input.ConsumeRandomLengthString(2000);
  m.subject = input.ConsumeRandomLengthString(400);
  m.body = input.ConsumeRemainingBytesAsString();

  if (CheckMailMessage(m) != MailProblem::None) return 0;

  FUZZ_CHECK(EnvelopeSafe(EnvelopeAddress(m.from)));
  const auto recipients = SplitRecipients(m.to);
  FUZZ_CHECK(!recipients.empty());
  for (const auto& r : recipients) FUZZ_CHECK(EnvelopeSafe(r));

  const std::string text = FormatMailMessage(m, TimePoint{}, "<1.2@host>");
  FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);

  // Every line ends in CR LF, holds no lone CR or LF, and fits 998 octets.
  std::size_t start = 0;
  bool in_headers = true;
  std::set<std::string> headers;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    FUZZ_CHECK(end != std::string::npos);
    const std::string line = text.substr(start, end - start);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(line.size() <= 998);
    if (in_headers) {
      if (line.empty()) {
        in_headers = false;
      } else if (line[0] != ' ' && line[0] != '\t') {
        const auto colon = line.find(':');
        FUZZ_CHECK(colon != std::string::npos);
        FUZZ_CHECK(headers.insert(line.substr(0, colon)).second);  // each header once
      }
    }
    start = end + 2;
  }
  FUZZ_CHECK(!in_headers);
  const std::set<std::string> expected = {
      "Date",       "From",         "To",           "Subject",
      "Message-ID", "MIME-Version", "Content-Type", "Content-Transfer-Encoding"};
  FUZZ_CHECK(headers == expected);
  return 0;
}
