#pragma once
// Saving a file only an administrator may change, for the configuration
// program when it runs without that right. On Linux a small helper started
// through pkexec does the write (polkit asks for an administrator's
// password); on Windows the program itself runs elevated, so there is
// nothing further to ask for.

#include <string>
#include <system_error>

namespace ebbmark {

// The files the helper may write, each with its own check of the contents.
// Settings: the whole Ebbmark.ini. Secret: the mail password alone, the
// file's whole contents; an empty one removes the file.
enum class ProtectedFile { Settings, Secret };

// Why an elevated save did not happen; message() says it for the user.
enum class PrivilegedWriteError {
  NotAvailable = 1,  // no helper for this path (another folder, not installed)
  NotAuthorized,     // the password was refused or the request dismissed
  Refused,           // the helper found the contents unfit; nothing written
  Failed,            // the helper could not write the file
};
const std::error_category& privileged_write_category();
std::error_code make_error_code(PrivilegedWriteError e);

class PrivilegedWriter {
 public:
  virtual ~PrivilegedWriter() = default;
  // Replaces `path`, the file of kind `file`, with `contents` as an
  // administrator would. Waits until it is done or refused; the error says
  // which. Call from the program's thread; the window does not redraw while
  // the password is asked for.
  virtual std::error_code Replace(ProtectedFile file, const std::string& path,
                                  const std::string& contents) = 0;
};

// This platform's writer: the installed helper through pkexec on Linux, none
// (every request NotAvailable) on Windows.
PrivilegedWriter& SystemPrivilegedWriter();

}  // namespace ebbmark

template <>
struct std::is_error_code_enum<ebbmark::PrivilegedWriteError> : std::true_type {};
