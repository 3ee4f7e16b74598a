// ebbmark-settings-writer: replaces a file of the settings folder that only
// an administrator may change, for the configuration program that runs as a
// desktop user. Started through pkexec (polkit asks for the password), with
// the kind of file as its one argument and the new contents on stdin.
//
//   ebbmark-settings-writer settings < Ebbmark.ini
//   ebbmark-settings-writer secret < password     (nothing: remove the file)
//
// Each secret file of the settings folder has a kind word of its own.
//
// It never takes a path from its caller: each kind names one file of the
// settings folder, with its own check and the mode a new file gets.
// Exit status: 0 written, 1 could not be written, 2 refused (bad usage or
// contents); the old file is unchanged on anything but 0.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "base/mail_sign_in.h"
#include "common/settings.h"
#include "tools/settings-writer/folder_file.h"
#include "tools/settings-writer/settings_check.h"

#ifndef EBBMARK_INSTALLED_SETTINGS_DIR
#define EBBMARK_INSTALLED_SETTINGS_DIR "/etc/ebbmark"
#endif

namespace {

constexpr int kWritten = 0;
constexpr int kFailed = 1;
constexpr int kRefused = 2;

struct FileKind {
  const char* kind;
  const char* file_name;
  mode_t new_file_mode;
  std::string (*check)(std::string_view old_text, std::string_view new_text);
  std::size_t max_bytes;
  ebbmark::FileAccess access;
  bool empty_removes;  // nothing on stdin removes the file
};

std::string CheckSecretText(std::string_view, std::string_view new_text) {
  const auto problem = ebbmark::CheckPassword(new_text);
  return problem == ebbmark::SignInProblem::None ? std::string()
                                                 : ebbmark::SignInProblemText(problem);
}

// The kind named by `word`: the settings file, or one of the table's secret
// files (each root's alone, whatever the old file's mode was).
std::optional<FileKind> KindFor(std::string_view word) {
  if (word == "settings") {
    return FileKind{"settings",
                    ebbmark::kSettingsFileName,
                    0644,
                    &ebbmark::CheckSettingsText,
                    ebbmark::kMaxSettingsFileBytes,
                    ebbmark::FileAccess::KeepOld,
                    false};
  }
  for (const ebbmark::SecretName& secret : ebbmark::kSecretFiles) {
    if (word != secret.kind) continue;
    return FileKind{secret.kind.data(),         secret.file_name.data(),    0600, &CheckSecretText,
                    ebbmark::kMaxPasswordBytes, ebbmark::FileAccess::Fixed, true};
  }
  return std::nullopt;
}

std::string KindWords() {
  std::string words = "settings";
  for (const ebbmark::SecretName& secret : ebbmark::kSecretFiles)
    words += "|" + std::string(secret.kind);
  return words;
}

// The folder it writes into. EBBMARK_HOME is honoured only for a caller who
// could write there anyway: pkexec never passes it on, and a run through
// pkexec (PKEXEC_UID set) always writes the installed folder.
std::string SettingsFolder() {
  const char* home = std::getenv("EBBMARK_HOME");
  if (home && *home && !std::getenv("PKEXEC_UID")) return home;
  return EBBMARK_INSTALLED_SETTINGS_DIR;
}

bool ReadInput(std::size_t limit, std::string& out) {
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
    // One byte over is enough to tell the check the input is too large.
    if (out.size() > limit) return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view program = "ebbmark-settings-writer";
  const std::optional<FileKind> kind = argc == 2 ? KindFor(argv[1]) : std::optional<FileKind>();
  if (!kind) {
    std::cerr << "usage: " << program << " " << KindWords() << " < new-file\n";
    return kRefused;
  }

  std::string contents;
  if (!ReadInput(kind->max_bytes, contents)) {
    std::cerr << program << ": could not read the new file\n";
    return kFailed;
  }

  const std::string folder = SettingsFolder();
  if (contents.empty() && kind->empty_removes) {
    if (const auto error = ebbmark::RemoveFolderFile(folder, kind->file_name)) {
      std::cerr << program << ": " << folder << "/" << kind->file_name << ": " << error.message()
                << "\n";
      return kFailed;
    }
    return kWritten;
  }
  const auto result = ebbmark::ReplaceFolderFile(
      folder, kind->file_name, contents, kind->new_file_mode,
      [&](std::string_view old_text) { return kind->check(old_text, contents); }, kind->access);
  if (!result.refused.empty()) {
    std::cerr << program << ": refused: " << result.refused << "\n";
    return kRefused;
  }
  if (result.error) {
    std::cerr << program << ": " << folder << "/" << kind->file_name << ": "
              << result.error.message() << "\n";
    return kFailed;
  }
  return kWritten;
}
