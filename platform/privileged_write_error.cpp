#include "platform/privileged_writer.h"

namespace ebbmark {
namespace {

class PrivilegedWriteCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ebbmark.privileged_write"; }
  std::string message(int value) const override {
    switch (static_cast<PrivilegedWriteError>(value)) {
      case PrivilegedWriteError::NotAvailable:
        return "permission denied, and no administrator's helper saves this file";
      case PrivilegedWriteError::NotAuthorized:
        return "an administrator's password is needed, and none was given";
      case PrivilegedWriteError::Refused:
        return "the administrator's helper refused the new settings";
      case PrivilegedWriteError::Failed:
        return "the administrator's helper could not write the file";
    }
    return "unknown error";
  }
};

}  // namespace

const std::error_category& privileged_write_category() {
  static const PrivilegedWriteCategory category;
  return category;
}

std::error_code make_error_code(PrivilegedWriteError e) {
  return {static_cast<int>(e), privileged_write_category()};
}

}  // namespace ebbmark
