// The one place in common/ that asks which platform it was built for: the
// default folder of the settings file differs between Windows and Linux.

#include <cstdlib>

#include "common/settings.h"

namespace ebbmark {

std::string ChooseSettingsFolder(FileSystem& fs, const std::string& program_folder,
                                 const std::string& home, bool windows) {
  if (!home.empty()) return home;
  if (windows) return program_folder;
  // A Linux install keeps its settings under /etc unless the file sits beside
  // the program (a build tree or a self-contained copy).
  std::string beside = program_folder;
  if (!beside.empty() && beside.back() != '/') beside.push_back('/');
  beside += kSettingsFileName;
  if (fs.Stamp(beside)) return program_folder;
  return "/etc/ebbmark";
}

std::string SettingsFolder(FileSystem& fs, const std::string& program_folder) {
  const char* home = std::getenv("EBBMARK_HOME");
#ifdef _WIN32
  constexpr bool kWindows = true;
#else
  constexpr bool kWindows = false;
#endif
  return ChooseSettingsFolder(fs, program_folder, home ? home : "", kWindows);
}

}  // namespace ebbmark
