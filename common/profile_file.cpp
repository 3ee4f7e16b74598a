#include "common/profile_file.h"

#include <vector>

namespace ebbmark {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// One line of the text, as offsets into it.
struct Line {
  std::size_t begin = 0;  // first byte (after the byte-order mark on the first line)
  std::size_t end = 0;    // end of the content: before "\n" or "\r\n"
  std::size_t next = 0;   // start of the following line; the text's size for the last one
};

enum class Kind { Other, Section, Key };

struct Classified {
  Kind kind = Kind::Other;
  std::string_view name;        // section or key name, trimmed
  std::size_t value_begin = 0;  // Key: offset of the byte after "="
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
  while (pos < text.size()) {
    const std::size_t nl = text.find('\n', pos);
    Line line;
    line.begin = pos;
    line.end = nl == std::string_view::npos ? text.size() : nl;
    line.next = nl == std::string_view::npos ? text.size() : nl + 1;
    if (nl != std::string_view::npos && line.end > line.begin && text[line.end - 1] == '\r') {
      --line.end;
    }
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

Classified Classify(std::string_view text, const Line& line) {
  Classified c;
  std::string_view s = text.substr(line.begin, line.end - line.begin);
  std::size_t lead = 0;
  while (lead < s.size() && (s[lead] == ' ' || s[lead] == '\t')) ++lead;
  s.remove_prefix(lead);
  if (s.empty() || s.front() == ';') return c;
  if (s.front() == '[') {
    const std::size_t close = s.find(']');
    c.kind = Kind::Section;
    c.name =
        Trim(s.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return c;
  }
  const std::size_t eq = s.find('=');
  if (eq == std::string_view::npos) return c;
  c.kind = Kind::Key;
  c.name = Trim(s.substr(0, eq));
  c.value_begin = line.begin + lead + eq + 1;
  return c;
}

// Where a section and key stand in the text.
struct Location {
  const Line* key_line = nullptr;      // the line a read finds
  std::size_t value_begin = 0;         // on key_line
  const Line* insert_after = nullptr;  // first section of that name: its last key line or header
};

Location Locate(std::string_view text, const std::vector<Line>& lines, std::string_view section,
                std::string_view key) {
  Location loc;
  bool in_section = false;
  bool in_first_section = false;
  for (const Line& line : lines) {
    const Classified c = Classify(text, line);
    if (c.kind == Kind::Section) {
      in_section = SameName(c.name, section);
      in_first_section = in_section && loc.insert_after == nullptr;
      if (in_first_section) loc.insert_after = &line;
      continue;
    }
    if (c.kind != Kind::Key || !in_section) continue;
    if (in_first_section) loc.insert_after = &line;
    if (loc.key_line == nullptr && SameName(c.name, key)) {
      loc.key_line = &line;
      loc.value_begin = c.value_begin;
    }
  }
  return loc;
}

std::string_view LineEndOf(std::string_view text) {
  const std::size_t nl = text.find('\n');
  if (nl != std::string_view::npos && (nl == 0 || text[nl - 1] != '\r')) return "\n";
  return "\r\n";
}

// What must be added after the text's last byte before a new line can follow.
std::string_view MissingLineEnd(std::string_view text, std::string_view eol) {
  if (text.empty() || text == kUtf8Bom || text.back() == '\n') return {};
  if (text.back() == '\r' && eol == "\r\n") return "\n";
  return eol;
}

std::string CutValue(std::string_view value) {
  return std::string(value.substr(0, kProfileValueMax));
}

}  // namespace

std::optional<std::string> FindProfileString(std::string_view text, std::string_view section,
                                             std::string_view key) {
  const std::vector<Line> lines = SplitLines(text);
  const Location loc = Locate(text, lines, section, key);
  if (loc.key_line == nullptr) return std::nullopt;
  std::string_view value = Trim(text.substr(loc.value_begin, loc.key_line->end - loc.value_begin));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return CutValue(value);
}

std::string GetProfileString(std::string_view text, std::string_view section, std::string_view key,
                             std::string_view default_value) {
  auto found = FindProfileString(text, section, key);
  return found ? std::move(*found) : CutValue(default_value);
}

std::string WriteProfileString(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view value) {
  value = value.substr(0, value.find_first_of("\r\n"));
  // A value that is itself in matching quotes would lose them on the next
  // read: one more pair keeps it as written.
  std::string quoted;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    quoted.append(1, '"').append(value).append(1, '"');
    value = quoted;
  }
  const std::vector<Line> lines = SplitLines(text);
  const Location loc = Locate(text, lines, section, key);
  std::string out;
  out.reserve(text.size() + section.size() + key.size() + value.size() + 8);

  if (loc.key_line != nullptr) {
    out.append(text.substr(0, loc.value_begin));
    out.append(value);
    out.append(text.substr(loc.key_line->end));
    return out;
  }

  const std::string_view eol = LineEndOf(text);
  if (loc.insert_after != nullptr) {
    const std::size_t at = loc.insert_after->next;
    out.append(text.substr(0, at));
    out.append(MissingLineEnd(out, eol));
    out.append(key).append("=").append(value).append(eol);
    out.append(text.substr(at));
    return out;
  }

  out.append(text);
  out.append(MissingLineEnd(text, eol));
  out.append("[").append(section).append("]").append(eol);
  out.append(key).append("=").append(value).append(eol);
  return out;
}

std::string DeleteProfileKey(std::string_view text, std::string_view section,
                             std::string_view key) {
  const std::vector<Line> lines = SplitLines(text);
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  bool in_section = false;
  for (const Line& line : lines) {
    const Classified c = Classify(text, line);
    if (c.kind == Kind::Section) {
      in_section = SameName(c.name, section);
    } else if (c.kind == Kind::Key && in_section && SameName(c.name, key)) {
      out.append(text.substr(copied, line.begin - copied));
      copied = line.next;
    }
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace ebbmark
