#pragma once
// The classic sectioned profile file ("[Section]" headers, "Key=Value" lines),
// read and edited as text. Pure functions: the caller reads and writes the file.
//
// Reading rules: section and key names match without regard to ASCII case,
// with blanks around them ignored; lines whose first non-blank character is
// ';' are comments; a UTF-8 byte-order mark before the first line is skipped.
// A value loses the blanks around it and one pair of enclosing quotes (" or ')
// and is cut to kProfileValueMax bytes. When a key appears twice in a section
// (or in two sections of the same name) the first one wins.
//
// Editing keeps every byte of every line it does not change, line ends
// included. Lines it adds take the file's own line end (that of its first
// line), or CR LF in a file that has none.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ebbmark {

inline constexpr std::size_t kProfileValueMax = 254;

// The value of `key` in `section`, or nothing when the section or key is absent.
std::optional<std::string> FindProfileString(std::string_view text, std::string_view section,
                                             std::string_view key);

// The value of `key` in `section`, or `default_value` when either is absent.
// The default is cut to kProfileValueMax bytes as a value would be.
std::string GetProfileString(std::string_view text, std::string_view section, std::string_view key,
                             std::string_view default_value);

// The text with `key` in `section` set to `value`: the value of the line that
// a read would find is replaced in place (the text up to and including its
// "=" is kept); otherwise a line "key=value" is added after the section's
// last key line (or right after its header), and a missing section is added
// at the end of the text. The value is written as it stands, except that it
// ends before its first CR or LF: a line break would end the line and let
// the rest pose as further keys.
std::string WriteProfileString(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view value);

// The text without any line of `key` in any section named `section`.
std::string DeleteProfileKey(std::string_view text, std::string_view section, std::string_view key);

}  // namespace ebbmark
