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

// Replaces `folder`/`name` with `contents` when `check(old contents)` returns
// an empty reason. The old contents are empty when the file does not exist;
// a new file is created with `new_file_mode` and this process's owner.
// Refuses, with an error, a `name` that is a link, or anything but a plain
// file. A reader sees the old file or the new one, never half of one; on any
// failure the old file stays as it was.
FolderFileUpdate ReplaceFolderFile(const std::string& folder, const std::string& name,
                                   const std::string& contents, mode_t new_file_mode,
                                   const std::function<std::string(std::string_view)>& check);

}  // namespace ebbmark
