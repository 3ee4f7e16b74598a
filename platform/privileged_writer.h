#pragma once
// Saving a file only an administrator may change, for the configuration
// program when it runs without that right. On Linux a small helper started
// through pkexec does the write (polkit asks for an administrator's
// password); on Windows the program itself runs elevated, so there is
// nothing further to ask for.

#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include <asio/io_context.hpp>

namespace ebbmark {

// The files the helper may write, each with its own check of the contents.
// Settings: the whole Ebbmark.ini. Secret: one of the settings folder's
// secret files (kSecretFiles, told apart by the path's file name), its whole
// contents; an empty one removes the file.
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
  using Done = std::function<void(std::error_code)>;
  // Starts replacing `path`, the file of kind `file`, with `contents` as an
  // administrator would, and returns at once: polkit may wait for a password
  // as long as the user likes while the loop goes on. `done` runs once, on
  // the loop and never from inside this call, with the outcome (empty when
  // written). Call from the loop's thread. A writer destroyed first drops
  // the answer, not the write.
  virtual void Replace(ProtectedFile file, const std::string& path, const std::string& contents,
                       Done done) = 0;
};

// This platform's writer on `io`: the installed helper through pkexec on
// Linux, none (every request NotAvailable) on Windows.
std::unique_ptr<PrivilegedWriter> MakeSystemPrivilegedWriter(asio::io_context& io);

}  // namespace ebbmark

template <>
struct std::is_error_code_enum<ebbmark::PrivilegedWriteError> : std::true_type {};
