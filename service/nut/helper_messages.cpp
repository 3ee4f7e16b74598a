#include "service/nut/helper_messages.h"

#include <charconv>

namespace ebbmark::nut {
namespace {

std::string Field(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7f || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  // An empty word must still be a word.
  return out.empty() ? "%" : out;
}

std::optional<std::string> Unfield(std::string_view s) {
  if (s == "%") return std::string();
  std::string out;
  out.reserve(s.size());
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int hi = hex(s[i + 1]);
    const int lo = hex(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::string Line(std::string_view kind, const std::vector<std::string>& words) {
  std::string out(kind);
  for (const auto& w : words) {
    out += ' ';
    out += Field(w);
  }
  out += '\n';
  return out;
}

std::optional<int> Number(std::string_view s) {
  int v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string ListenMessage(const ListenConfig& listen) {
  std::vector<std::string> words{std::to_string(listen.port)};
  words.insert(words.end(), listen.addresses.begin(), listen.addresses.end());
  return Line("listen", words);
}

std::string ConfigMessage(const ServerConfig& config) {
  return Line("config", {config.device_name, config.description, config.user, config.password});
}

std::string SnapshotMessage(const Snapshot& snapshot) {
  std::vector<std::string> words{snapshot.stale ? "1" : "0"};
  for (const auto& [name, value] : snapshot.vars) {
    words.push_back(name);
    words.push_back(value);
  }
  return Line("snapshot", words);
}

std::string LoginsMessage(const std::vector<std::string>& addresses) {
  return Line("logins", addresses);
}

std::string RecordMessage(EventType type, int id, std::string_view text) {
  return Line("record", {std::to_string(type), std::to_string(id), std::string(text)});
}

std::optional<HelperMessage> ParseHelperMessage(std::string_view line) {
  if (line.size() > kMaxHelperLine) return std::nullopt;
  std::vector<std::string> words;
  std::string_view kind;
  {
    std::size_t start = 0;
    bool first = true;
    while (start <= line.size()) {
      const auto blank = line.find(' ', start);
      const std::string_view word = line.substr(
          start, blank == std::string_view::npos ? std::string_view::npos : blank - start);
      if (first) {
        kind = word;
        first = false;
      } else {
        auto text = Unfield(word);
        if (!text || word.empty()) return std::nullopt;
        words.push_back(std::move(*text));
      }
      if (blank == std::string_view::npos) break;
      start = blank + 1;
    }
  }
  HelperMessage m{};
  if (kind == "listen") {
    if (words.empty()) return std::nullopt;
    const auto port = Number(words[0]);
    if (!port || *port < 0 || *port > 65535) return std::nullopt;
    m.kind = HelperMessage::Kind::Listen;
    m.listen.port = static_cast<std::uint16_t>(*port);
    m.listen.addresses.assign(words.begin() + 1, words.end());
    return m;
  }
  if (kind == "config") {
    if (words.size() != 4) return std::nullopt;
    m.kind = HelperMessage::Kind::Config;
    m.config.device_name = words[0];
    m.config.description = words[1];
    m.config.user = words[2];
    m.config.password = words[3];
    return m;
  }
  if (kind == "snapshot") {
    if (words.empty() || words.size() % 2 != 1 || (words[0] != "0" && words[0] != "1"))
      return std::nullopt;
    m.kind = HelperMessage::Kind::Snapshot;
    m.snapshot.stale = words[0] == "1";
    for (std::size_t i = 1; i + 1 < words.size(); i += 2)
      m.snapshot.vars.emplace_back(words[i], words[i + 1]);
    return m;
  }
  if (kind == "logins") {
    if (words.size() > kMaxLoginsListed) return std::nullopt;
    for (const auto& w : words)
      if (w.empty() || w.size() > 64) return std::nullopt;
    m.kind = HelperMessage::Kind::Logins;
    m.logins = std::move(words);
    return m;
  }
  if (kind == "record") {
    if (words.size() != 3) return std::nullopt;
    const auto type = Number(words[0]);
    const auto id = Number(words[1]);
    if (!type || !id) return std::nullopt;
    if (*type != kEventError && *type != kEventWarning && *type != kEventInformation)
      return std::nullopt;
    if (*id != 109 && *id != 110) return std::nullopt;
    if (words[2].size() > kMaxHelperRecordText) return std::nullopt;
    for (const char c : words[2])
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
    m.kind = HelperMessage::Kind::Record;
    m.record_type = static_cast<EventType>(*type);
    m.record_id = *id;
    m.record_text = std::move(words[2]);
    return m;
  }
  return std::nullopt;
}

}  // namespace ebbmark::nut
