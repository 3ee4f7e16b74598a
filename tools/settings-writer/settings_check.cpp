#include "tools/settings-writer/settings_check.h"

#include <algorithm>
#include <set>
#include <vector>

#include "common/profile_file.h"
#include "common/settings.h"

namespace ebbmark {
namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), LowerAscii);
  return out;
}

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsControl(char c) {
  const auto uc = static_cast<unsigned char>(c);
  return uc < 0x20 || uc == 0x7f;
}

// A file split the way the profile reader sees it: the lines of the
// program's section(s), and every other line, each without its line end.
struct Split {
  std::vector<std::string_view> own;
  std::vector<std::string_view> other;
  int own_headers = 0;
};

Split SplitFile(std::string_view text) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  Split split;
  const std::string own_name = Lower(kSettingsSection);
  bool in_own = false;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view content = Trim(line);
    if (!content.empty() && content.front() == '[') {
      const auto close = content.find(']');
      in_own =
          Lower(Trim(content.substr(1, close == std::string_view::npos ? close : close - 1))) ==
          own_name;
      if (in_own) {
        ++split.own_headers;
        continue;
      }
    }
    (in_own ? split.own : split.other).push_back(line);
  }
  return split;
}

}  // namespace

bool IsSettingsKey(std::string_view key) {
  // The profile reader finds keys whatever their case, so the check does too.
  const std::string lower = Lower(key);
  return std::any_of(std::begin(kSettingNames), std::end(kSettingNames),
                     [&](const SettingName& s) { return Lower(s.key) == lower; });
}

std::string CheckSettingsText(std::string_view old_text, std::string_view new_text) {
  if (new_text.size() > kMaxSettingsFileBytes) {
    return "the file is larger than " + std::to_string(kMaxSettingsFileBytes) + " bytes";
  }
  if (new_text.find('\0') != std::string_view::npos) return "the file holds a NUL byte";

  const Split before = SplitFile(old_text);
  const Split after = SplitFile(new_text);
  if (after.own_headers == 0) {
    return std::string("the file has no [") + kSettingsSection + "] section";
  }
  if (after.own_headers > std::max(1, before.own_headers)) {
    return std::string("the file has more than one [") + kSettingsSection + "] section";
  }
  if (after.other != before.other) {
    return std::string("lines outside the [") + kSettingsSection + "] section were changed";
  }

  const std::set<std::string_view> kept(before.own.begin(), before.own.end());
  std::set<std::string> seen;
  for (const std::string_view line : after.own) {
    // The line as the file already has it: left alone, whatever it holds.
    const bool unchanged = kept.count(line) > 0;
    const std::string_view content = Trim(line);
    if (content.empty()) continue;
    const auto eq = content.find('=');
    if (content.front() == ';' || eq == std::string_view::npos) {
      if (unchanged) continue;
      return "a line that is not a setting was added: \"" + std::string(content.substr(0, 40)) +
             "\"";
    }
    const std::string_view key = Trim(content.substr(0, eq));
    const std::string lower = Lower(key);
    const bool known = IsSettingsKey(key);
    const bool first = seen.insert(lower).second;
    if (unchanged) continue;
    if (!known) return "unknown key \"" + std::string(key.substr(0, 40)) + "\"";
    if (!first) return "the key \"" + std::string(key) + "\" appears twice";
    const std::string_view value = line.substr(line.find('=') + 1);
    if (std::any_of(value.begin(), value.end(), IsControl)) {
      return "the value of \"" + std::string(key) + "\" holds a control character";
    }
    if (Trim(value).size() > kProfileValueMax) {
      return "the value of \"" + std::string(key) + "\" is longer than " +
             std::to_string(kProfileValueMax) + " characters";
    }
  }
  return {};
}

}  // namespace ebbmark
