// Fills arbitrary templates with arbitrary values: the body of every notice,
// with its placeholders replaced, must still go out as a well-formed message
// (CR LF only, no line over SMTP's limit), text without a "%" must come out
// unchanged, and a template over the cap must give the built-in body.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <string>

#include "base/mail_format.h"
#include "common/notices.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/memory_file_system.h"

namespace {

using namespace ebbmark;

void CheckWireLines(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    FUZZ_CHECK(end != std::string::npos);
    FUZZ_CHECK(end - start <= 998);
    FUZZ_CHECK(text.find_first_of("\r\n", start) == end);
    start = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto n = static_cast<Notice>(input.ConsumeIntegralInRange<int>(0, 4));
  NoticeValues v;
  v.computer_name = input.ConsumeRandomLengthString(64);
  v.execute_file = input.ConsumeRandomLengthString(300);
  v.last_duration = input.ConsumeRandomLengthString(32);
  v.tcp_host = input.ConsumeRandomLengthString(64);
  v.action_name = "shutdown";
  v.inverter = input.ConsumeIntegral<std::int32_t>();
  v.battery_soc = input.ConsumeIntegral<std::int32_t>();
  v.last_soc_drop = input.ConsumeIntegral<std::int32_t>();
  const bool oversized = input.ConsumeBool();
  std::string text = input.ConsumeRemainingBytesAsString();
  if (oversized) text.resize(kTemplateFileLimit + 1 + text.size() % 16, '%');

  if (text.find('%') == std::string::npos) FUZZ_CHECK(ApplyPlaceholders(n, text, v) == text);

  MemoryFileSystem fs;
  if (const char* name = NoticeTemplateName(n)) fs.files[JoinPath("/etc/ebbmark", name)] = text;
  const ComposedBody body = ComposeBody(fs, "/etc/ebbmark", n, v);
  if (oversized && NoticeTemplateName(n)) {
    FUZZ_CHECK(body.warning.has_value());
    FUZZ_CHECK(body.body == BuiltInBody(n, v));
  }
  // No value can make the body grow without bound: each placeholder is
  // replaced once, by a value of bounded length.
  FUZZ_CHECK(body.body.size() <= 64 * (text.size() + 1) + 4096);

  MailMessage m;
  m.host = "127.0.0.1";
  m.from = "ups@example.org";
  m.to = "admin@example.org";
  m.subject = NoticeSubject(n);
  m.body = body.body;
  CheckWireLines(FormatMailMessage(m, TimePoint{}, "<1.2@host>"));
  return 0;
}
