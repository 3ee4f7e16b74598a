#pragma once
// Replacing one file of a folder as root without being led astray: the
// folder is opened once and every step works relative to it, a link in the
// file's place is never followed, and the new file takes the old one's owner
// and mode before it is renamed over it.

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace ebbmark {

struct FolderFileUpdate {
  std::error_code error;  // the file could not be read or written
  std::string refused;    // the check refused the new text; nothing was written
  bool ok() const { return !error && refused.empty(); }
};

// Whose the new file is. KeepOld: an existing file's owner and mode carry
// over (an administrator may have chosen them); a new file gets
// `new_file_mode` and this process's owner. Fixed: always `new_file_mode`
// and this process's owner, for a file whose access must never be wider.
enum class FileAccess { KeepOld, Fixed };

// Replaces `folder`/`name` with `contents` when `check(old contents)` returns
// an empty reason. The old contents are empty when the file does not exist.
// Refuses, with an error, a `name` that is a link, or anything but a plain
// file. A reader sees the old file or the new one, never half of one; on any
// failure the old file stays as it was.
FolderFileUpdate ReplaceFolderFile(const std::string& folder, const std::string& name,
                                   const std::string& contents, mode_t new_file_mode,
                                   const std::function<std::string(std::string_view)>& check,
                                   FileAccess access = FileAccess::KeepOld);

// Removes `folder`/`name` (a link in its place is removed, never followed).
// A missing file is no failure.
std::error_code RemoveFolderFile(const std::string& folder, const std::string& name);

}  // namespace ebbmark
