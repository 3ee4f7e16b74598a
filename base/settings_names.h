#pragma once
// Where the settings live: the file's name in the settings folder, and its
// one section. The store reads and writes them; the privileged writer may
// replace that file and no other.

namespace ebbmark {

inline constexpr const char* kSettingsFileName = "Ebbmark.ini";
inline constexpr const char* kSettingsSection = "EbbmarkSvc";

}  // namespace ebbmark
