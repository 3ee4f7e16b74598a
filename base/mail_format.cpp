#include "base/mail_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

namespace ebbmark {
namespace {

constexpr std::size_t kMaxLineOctets = 998;  // SMTP's limit without the CR LF
constexpr std::size_t kQpLineChars = 76;

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

bool HasControl(std::string_view s) {
  for (const char c : s)
    if (IsControl(static_cast<unsigned char>(c))) return true;
  return false;
}

// The address proper: what goes between the brackets of MAIL FROM or RCPT TO.
bool BareAddressOk(std::string_view a) {
  if (a.empty()) return false;
  for (const char ch : a) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsControl(c) || c == ' ' || c == '<' || c == '>') return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool HostCharOk(unsigned char c) {
  // Anything that would change the meaning of the smtp:// address it goes
  // into (a path, a user part, a query, blanks, control characters) is out.
  if (c <= 0x20 || c == 0x7f) return false;
  switch (c) {
    case '/':
    case '\\':
    case '?':
    case '#':
    case '@':
    case '%':
    case '"':
    case '<':
    case '>':
      return false;
    default:
      return true;
  }
}

// Replaces line breaks and other control characters by blanks, so a subject
// stays one header however it was written.
std::string FlattenSubject(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool last_was_break = false;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    const bool is_break = c == '\r' || c == '\n';
    if (is_break) {
      if (!last_was_break) out += ' ';
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      out += ' ';
    } else {
      out += ch;
    }
    last_was_break = is_break;
  }
  return out;
}

bool IsAscii(std::string_view s) {
  for (const char ch : s)
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  return true;
}

std::string Base64(std::string_view in) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (const std::size_t rest = in.size() - i; rest > 0) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// "Subject: text" folded before blanks so lines stay near 78 characters.
std::string AsciiHeader(std::string_view name, std::string_view value) {
  std::string out(name);
  out += ": ";
  std::size_t line_len = out.size();
  std::size_t pos = 0;
  while (pos < value.size()) {
    // The next word, with the blank that precedes it.
    std::size_t end = value.find(' ', pos + 1);
    if (end == std::string_view::npos) end = value.size();
    const std::string_view word = value.substr(pos, end - pos);
    if (line_len + word.size() > 78 && line_len > name.size() + 2 && word.size() > 1 &&
        word.front() == ' ') {
      out += "\r\n";
      line_len = 0;
    }
    out += word;
    line_len += word.size();
    pos = end;
  }
  return out;
}

// "Subject: =?UTF-8?B?...?=" in encoded words of at most 75 characters, each
// holding whole UTF-8 characters.
std::string EncodedHeader(std::string_view name, std::string_view value) {
  constexpr std::size_t kRawPerWord = 45;  // 60 base64 characters
  std::string out(name);
  out += ':';
  std::size_t pos = 0;
  while (pos < value.size()) {
    std::size_t end = std::min(pos + kRawPerWord, value.size());
    // Never split a multi-byte character: step back over continuation bytes.
    while (end > pos + 1 && end < value.size() &&
           (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80)
      --end;
    if (pos > 0) out += "\r\n";
    out += " =?UTF-8?B?";
    out += Base64(value.substr(pos, end - pos));
    out += "?=";
    pos = end;
  }
  return out;
}

bool HasLongLine(std::string_view crlf_text) {
  std::size_t start = 0;
  while (start <= crlf_text.size()) {
    auto end = crlf_text.find("\r\n", start);
    if (end == std::string_view::npos) end = crlf_text.size();
    if (end - start > kMaxLineOctets) return true;
    start = end + 2;
  }
  return false;
}

}  // namespace

MailProblem CheckMailMessage(const MailMessage& m) {
  if (m.host.empty()) return MailProblem::NoHost;
  std::string_view host = m.host;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  for (const char c : host)
    if (!HostCharOk(static_cast<unsigned char>(c)) || c == '[' || c == ']')
      return MailProblem::BadHost;
  if (m.port < 1 || m.port > 65535) return MailProblem::BadPort;
  if (!AddressesUsable(m.from, false)) return MailProblem::BadSender;
  if (ReadAddressList(m.to).usable.empty()) return MailProblem::BadRecipient;
  return MailProblem::None;
}

namespace {

// Longer than any real address with its display name (a path holds at most
// 256 octets), and short enough that a header line with it stays in SMTP's limit.
constexpr std::size_t kMaxEntry = 320;

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// local@domain: what goes between the brackets of MAIL FROM or RCPT TO.
bool MailboxOk(std::string_view a) {
  if (!BareAddressOk(a) || !ValidUtf8(a)) return false;
  const auto at = a.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == a.size()) return false;
  const std::string_view local = a.substr(0, at);
  const std::string_view domain = a.substr(at + 1);
  if (local.find_first_of(",;()[]\\") != std::string_view::npos) return false;
  if (domain.find_first_of("@,;()[]\\\"") != std::string_view::npos) return false;
  return domain.front() != '.' && domain.back() != '.';
}

// Splits an entry into display name and address; nothing when it is no
// usable "Name <addr>" or bare addr. Quotes may hide brackets in the name.
std::optional<AddressEntry> ReadEntry(std::string_view entry) {
  entry = Trim(entry);
  if (entry.empty() || entry.size() > kMaxEntry || HasControl(entry) || !ValidUtf8(entry))
    return std::nullopt;
  bool quoted = false;
  std::size_t open = std::string_view::npos;
  std::size_t close = std::string_view::npos;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    const char c = entry[i];
    if (c == '\\' && quoted) {
      ++i;  // a quoted pair
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '<') {
      if (open != std::string_view::npos) return std::nullopt;
      open = i;
    } else if (!quoted && c == '>') {
      if (open == std::string_view::npos || close != std::string_view::npos) return std::nullopt;
      close = i;
    }
  }
  if (quoted) return std::nullopt;
  AddressEntry out;
  out.written = entry;
  if (open == std::string_view::npos) {
    if (!MailboxOk(entry)) return std::nullopt;
    out.address = entry;
    return out;
  }
  // Text after the bracket would reach no one, or worse, the envelope.
  if (close == std::string_view::npos || close + 1 != entry.size()) return std::nullopt;
  const std::string_view address = Trim(entry.substr(open + 1, close - open - 1));
  if (!MailboxOk(address)) return std::nullopt;
  out.address = address;
  // The name: quotes are taken away and quoted pairs undone.
  const std::string_view name = Trim(entry.substr(0, open));
  quoted = false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && quoted && i + 1 < name.size()) {
      out.name += name[++i];
    } else {
      out.name += c;
    }
  }
  out.name = std::string(Trim(out.name));
  return out;
}

// Calls `part` with each piece between "," and ";" outside quotes and brackets.
template <typename Part>
void ForEachPart(std::string_view text, Part part) {
  bool quoted = false;
  bool angled = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && quoted) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '<') {
      angled = true;
    } else if (!quoted && c == '>') {
      angled = false;
    } else if (!quoted && !angled && (c == ',' || c == ';')) {
      part(text.substr(start, i - start), false);
      start = i + 1;
    }
  }
  part(text.substr(std::min(start, text.size())), true);
}

}  // namespace

AddressList ReadAddressList(std::string_view text) {
  AddressList list;
  const bool at_limit = text.size() == kAddressListLimit;
  ForEachPart(text, [&](std::string_view part, bool last) {
    const std::string_view entry = Trim(part);
    if (entry.empty()) return;
    if (HasControl(part)) {
      list.unusable.emplace_back(entry);
      return;
    }
    if (last && at_limit && entry.back() != '>') {
      list.cut = entry;
      return;
    }
    if (auto e = ReadEntry(entry)) {
      list.usable.push_back(std::move(*e));
    } else {
      list.unusable.emplace_back(entry);
    }
  });
  return list;
}

std::string QuotableReply(std::string_view line) {
  std::string out;
  for (const char c : line) {
    if (IsControl(static_cast<unsigned char>(c))) continue;
    out += c;
  }
  const auto first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  out.erase(0, first);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() > kReplyLimit) {
    out.resize(kReplyLimit);
    // Never end inside a UTF-8 sequence: find where the last one starts and
    // drop it when the cut left it short.
    std::size_t start = out.size();
    while (start > 0 && out.size() - start < 4 &&
           (static_cast<unsigned char>(out[start - 1]) & 0xC0) == 0x80)
      --start;
    if (start > 0) {
      const auto lead = static_cast<unsigned char>(out[start - 1]);
      const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (start - 1 + length > out.size()) out.resize(start - 1);
    }
  }
  return out;
}

bool AddressesUsable(std::string_view text, bool list) {
  if (!list) return !HasControl(text) && ReadEntry(text).has_value();
  const AddressList read = ReadAddressList(text);
  return !read.usable.empty() && read.unusable.empty() && read.cut.empty();
}

const char* MailProblemText(MailProblem problem) {
  switch (problem) {
    case MailProblem::None:
      return "";
    case MailProblem::NoHost:
      return "No SMTP server is set";
    case MailProblem::BadHost:
      return "The SMTP server name is not valid";
    case MailProblem::BadPort:
      return "The SMTP port is not in 1..65535";
    case MailProblem::BadSender:
      return "The sender address is empty or not a usable address";
    case MailProblem::BadRecipient:
      return "No recipient address is usable";
  }
  return "";
}

std::string EnvelopeAddress(std::string_view address) {
  if (auto e = ReadEntry(address)) return e->address;
  const auto open = address.rfind('<');
  if (open != std::string_view::npos) {
    const auto close = address.find('>', open);
    if (close != std::string_view::npos)
      return std::string(Trim(address.substr(open + 1, close - open - 1)));
  }
  return std::string(Trim(address));
}

std::vector<std::string> SplitRecipients(std::string_view to) {
  std::vector<std::string> out;
  for (auto& e : ReadAddressList(to).usable) out.push_back(std::move(e.address));
  return out;
}

bool NeedsSmtpUtf8(const MailMessage& m) {
  if (!IsAscii(EnvelopeAddress(m.from))) return true;
  for (const auto& r : SplitRecipients(m.to))
    if (!IsAscii(r)) return true;
  return false;
}

std::string HeaderDisplayName(std::string_view name) {
  if (!IsAscii(name)) {
    // Encoded words of at most 75 characters, each holding whole characters.
    constexpr std::size_t kRawPerWord = 45;  // 60 base64 characters
    std::string out;
    std::size_t pos = 0;
    while (pos < name.size()) {
      std::size_t end = std::min(pos + kRawPerWord, name.size());
      while (end > pos + 1 && end < name.size() &&
             (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
      if (!out.empty()) out += ' ';
      out += "=?UTF-8?B?" + Base64(name.substr(pos, end - pos)) + "?=";
      pos = end;
    }
    return out;
  }
  // Words of atoms need no quotes; anything RFC 5322 calls special does.
  if (name.find_first_of("()<>[]:;@\\,.\"") == std::string_view::npos &&
      name.find("  ") == std::string_view::npos)
    return std::string(name);
  std::string out = "\"";
  for (const char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string FoldHeader(std::string_view name, std::string_view value) {
  std::string out(name);
  out += ':';
  std::size_t line_len = out.size();
  std::size_t pos = 0;
  while (pos < value.size()) {
    while (pos < value.size() && value[pos] == ' ') ++pos;
    if (pos >= value.size()) break;
    std::size_t end = value.find(' ', pos);
    if (end == std::string_view::npos) end = value.size();
    const std::string_view word = value.substr(pos, end - pos);
    // A word that does not fit starts a new line, unless the line has none yet.
    if (line_len + 1 + word.size() > 78 && line_len > name.size() + 1) {
      out += "\r\n";
      line_len = 0;
    }
    out += ' ';
    out += word;
    line_len += 1 + word.size();
    pos = end;
  }
  return out;
}

bool UsableGreetingName(std::string_view name) {
  if (name.empty() || name.size() > 253 || name.find('.') == std::string_view::npos) return false;
  std::size_t label = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      if (label == 0 || label > 63) return false;
      if (name[i - 1] == '-' || name[i - label] == '-') return false;
      label = 0;
      continue;
    }
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
    ++label;
  }
  return true;
}

std::string AddressLiteral(std::string_view ip) {
  // A zone ("%eth0") has no place in a literal.
  ip = ip.substr(0, ip.find('%'));
  if (ip.find(':') != std::string_view::npos) return "[IPv6:" + std::string(ip) + "]";
  return "[" + std::string(ip) + "]";
}

std::string TextAsUtf8(std::string_view text) {
  if (ValidUtf8(text)) return std::string(text);
  // 0x80..0x9F of Windows-1252; the five it leaves unassigned keep their
  // code points, as Windows itself maps them.
  static constexpr std::uint16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const std::uint32_t cp = c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string DropControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') continue;
    out += ch;
  }
  return out;
}

std::string NormalizeLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string DotStuff(std::string_view crlf_text) {
  std::string out;
  out.reserve(crlf_text.size() + 8);
  bool line_start = true;
  for (std::size_t i = 0; i < crlf_text.size(); ++i) {
    const char c = crlf_text[i];
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = c == '\n' && i > 0 && crlf_text[i - 1] == '\r';
  }
  return out;
}

std::string FormatMailDate(TimePoint t) {
  using namespace std::chrono;
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const weekday wd{day};
  const hh_mm_ss hms{t - day};
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02d:%02d:%02d +0000", kDays[wd.c_encoding()],
                static_cast<unsigned>(ymd.day()), kMonths[static_cast<unsigned>(ymd.month()) - 1],
                static_cast<int>(ymd.year()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
  return buf;
}

std::string MakeMessageId(TimePoint t, std::uint64_t random, std::string_view host) {
  std::string domain;
  for (const char c : host) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.')
      domain += c;
  }
  while (!domain.empty() && domain.front() == '.') domain.erase(domain.begin());
  while (!domain.empty() && domain.back() == '.') domain.pop_back();
  if (domain.empty()) domain = "localhost";
  char buf[64];
  std::snprintf(buf, sizeof buf, "<%lld.%016llx@",
                static_cast<long long>(t.time_since_epoch().count()),
                static_cast<unsigned long long>(random));
  return buf + domain + ">";
}

std::string QuotedPrintable(std::string_view crlf_text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(crlf_text.size() + crlf_text.size() / 8);
  std::size_t start = 0;
  while (start <= crlf_text.size()) {
    auto end = crlf_text.find("\r\n", start);
    const bool last = end == std::string_view::npos;
    if (last) end = crlf_text.size();
    const std::string_view line = crlf_text.substr(start, end - start);
    std::size_t col = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      const bool at_end = i + 1 == line.size();
      const bool literal =
          (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !at_end);
      const std::size_t width = literal ? 1 : 3;
      // Leave room for the "=" of a soft break, unless this ends the line.
      if (col + width > (at_end ? kQpLineChars : kQpLineChars - 1)) {
        out += "=\r\n";
        col = 0;
      }
      if (literal) {
        out += static_cast<char>(c);
      } else {
        out += '=';
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
      col += width;
    }
    if (last) break;
    out += "\r\n";
    start = end + 2;
  }
  return out;
}

std::string FormatMailMessage(const MailMessage& m, TimePoint date, std::string_view message_id) {
  std::string body = NormalizeLineEnds(DropControlCharacters(m.body));
  if (!body.empty() && !body.ends_with("\r\n")) body += "\r\n";
  const bool long_lines = HasLongLine(body);

  // Each mailbox as "name <address>", the name encoded when it needs to be;
  // a long list is folded at its blanks, so no header line outgrows what
  // SMTP carries however many recipients there are.
  const auto mailbox = [](const AddressEntry& e) {
    if (e.name.empty()) return e.address;
    return HeaderDisplayName(e.name) + " <" + e.address + ">";
  };
  std::string to;
  for (const auto& e : ReadAddressList(m.to).usable) {
    if (!to.empty()) to += ", ";
    to += mailbox(e);
  }
  const auto sender = ReadEntry(m.from);
  const std::string from = sender ? mailbox(*sender) : std::string(Trim(m.from));

  const std::string subject = FlattenSubject(m.subject);

  std::string out;
  out.reserve(body.size() + 512);
  out += "Date: " + FormatMailDate(date) + "\r\n";
  out += FoldHeader("From", from) + "\r\n";
  out += FoldHeader("To", to) + "\r\n";
  out += (IsAscii(subject) ? AsciiHeader("Subject", subject) : EncodedHeader("Subject", subject));
  out += "\r\n";
  out += "Message-ID: " + std::string(message_id) + "\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Content-Type: text/plain; charset=UTF-8\r\n";
  out += long_lines ? "Content-Transfer-Encoding: quoted-printable\r\n"
                    : "Content-Transfer-Encoding: 8bit\r\n";
  out += "\r\n";
  out += long_lines ? QuotedPrintable(body) : body;
  return out;
}

}  // namespace ebbmark
