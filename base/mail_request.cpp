#include "base/mail_request.h"

#include <charconv>

namespace ebbmark {
namespace {

constexpr std::string_view kFirstLine = "EBBMARK-MAIL 1";

bool SafeValue(std::string_view v) {
  return v.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<long long> Number(std::string_view v) {
  long long n = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || end != v.data() + v.size()) return std::nullopt;
  return n;
}

// Cuts the next LF-ended line off `text`; nothing when there is none.
std::optional<std::string_view> NextLine(std::string_view& text) {
  const auto lf = text.find('\n');
  if (lf == std::string_view::npos) return std::nullopt;
  const std::string_view line = text.substr(0, lf);
  text.remove_prefix(lf + 1);
  return line;
}

}  // namespace

std::string EncodeMailRequest(const MailRequest& r) {
  std::string out(kFirstLine);
  out += '\n';
  auto put = [&out](std::string_view key, std::string_view value) {
    if (!SafeValue(value)) return;  // refused earlier; never let it split the head
    out.append(key).append(" ").append(value).append("\n");
  };
  put("url", r.url);
  put("from", r.from);
  for (const auto& to : r.recipients) put("to", to);
  put("connect-timeout-ms", std::to_string(r.connect_timeout.count()));
  // Written only when used, so a request without them is the same as before.
  if (r.security != 0) put("security", std::to_string(r.security));
  if (!r.user.empty()) {
    put("user", r.user);
    put("password", r.password);
  }
  if (!r.ca_file.empty()) put("ca-file", r.ca_file);
  out += '\n';
  out += r.text;
  return out;
}

std::optional<MailRequest> DecodeMailRequest(std::string_view text) {
  if (text.size() > kMaxMailRequest) return std::nullopt;
  auto first = NextLine(text);
  if (!first || *first != kFirstLine) return std::nullopt;
  MailRequest r;
  bool have_url = false;
  for (;;) {
    auto line = NextLine(text);
    if (!line) return std::nullopt;  // the head must end in an empty line
    if (line->empty()) break;
    const auto blank = line->find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    const std::string_view key = line->substr(0, blank);
    const std::string_view value = line->substr(blank + 1);
    if (!SafeValue(value)) return std::nullopt;
    if (key == "url") {
      r.url = value;
      have_url = true;
    } else if (key == "from") {
      r.from = value;
    } else if (key == "to") {
      r.recipients.emplace_back(value);
    } else if (key == "connect-timeout-ms") {
      const auto n = Number(value);
      if (!n || *n <= 0 || *n > 3'600'000) return std::nullopt;
      r.connect_timeout = std::chrono::milliseconds{*n};
    } else if (key == "security") {
      const auto n = Number(value);
      if (!n || *n < 0 || *n > 2) return std::nullopt;
      r.security = static_cast<int>(*n);
    } else if (key == "user") {
      r.user = value;
    } else if (key == "password") {
      r.password = value;
    } else if (key == "ca-file") {
      r.ca_file = value;
    } else {
      return std::nullopt;
    }
  }
  if (!have_url || r.recipients.empty()) return std::nullopt;
  r.text = text;
  return r;
}

std::string EncodeMailAnswer(const MailResult& result) {
  auto one_line = [](std::string_view v) {
    std::string out;
    for (const char c : v) out += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
    return out;
  };
  std::string out;
  for (const auto& r : result.refused) {
    // An address holds no blank (ReadAddressList), so the first blank ends it.
    if (r.address.empty() || r.address.find_first_of(" \r\n") != std::string::npos) continue;
    out += "refused " + r.address + ' ' + one_line(r.reply) + '\n';
  }
  if (result.sent) return out + "0 sent\n";
  const int number = result.error_number != 0 ? result.error_number : 1;
  return out + std::to_string(number) + ' ' + one_line(result.error_text) + '\n';
}

MailResult DecodeMailAnswer(std::string_view output) {
  MailResult r;
  r.error_number = 1;
  auto rest = output;
  std::vector<RecipientRefusal> refused;
  auto line = NextLine(rest);
  constexpr std::string_view kRefused = "refused ";
  while (line && line->substr(0, kRefused.size()) == kRefused) {
    const std::string_view entry = line->substr(kRefused.size());
    const auto gap = entry.find(' ');
    if (gap == 0 || gap == std::string_view::npos)
      line.reset();
    else {
      refused.push_back({std::string(entry.substr(0, gap)), std::string(entry.substr(gap + 1))});
      line = NextLine(rest);
    }
  }
  const auto blank = line ? line->find(' ') : std::string_view::npos;
  const auto number =
      blank == std::string_view::npos ? std::nullopt : Number(line->substr(0, blank));
  if (!line || !rest.empty() || !number || *number < 0 || *number > 1'000'000) {
    r.error_text = "the mail helper gave an answer that could not be read";
    return r;
  }
  r.refused = std::move(refused);
  if (*number == 0) {
    r.sent = true;
    r.error_number = 0;
    return r;
  }
  r.error_number = static_cast<int>(*number);
  r.error_text = line->substr(blank + 1);
  if (r.error_text.empty()) r.error_text = "the mail helper gave no reason";
  return r;
}

}  // namespace ebbmark
