#pragma once
// What the privileged settings writer accepts as a new settings file: the
// file it replaces, with only the program's own section changed, and in that
// section only known keys with short, printable values.

#include <cstddef>
#include <string>
#include <string_view>

namespace ebbmark {

// Larger than any settings file the program writes, small enough to read at once.
inline constexpr std::size_t kMaxSettingsFileBytes = 64 * 1024;

// Whether the settings section may hold `key`: one of the table of settings
// names, in any case.
bool IsSettingsKey(std::string_view key);

// Empty when `new_text` may replace `old_text` (empty when there is no file
// yet); otherwise why it may not, as a short phrase for the user. Rules:
// - exactly one [EbbmarkSvc] section (more only when the old file had more);
// - every line outside it as the old file had it, in the same order;
// - inside it, key lines of known keys whose values are at most 254 bytes
//   without control characters; any other line (an unknown key, a comment,
//   a second copy of a key) only when the old file's section had it as it
//   stands;
// - at most kMaxSettingsFileBytes, no NUL.
std::string CheckSettingsText(std::string_view old_text, std::string_view new_text);

}  // namespace ebbmark
