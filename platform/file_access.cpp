// The file and run-file errors and the trust-check texts shared by both platforms' file systems.

#include "platform/file_system.h"
#include "platform/process_runner.h"

namespace ebbmark {
namespace {

class FileErrorCategoryImpl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ebbmark.file"; }
  std::string message(int value) const override {
    switch (static_cast<FileError>(value)) {
      case FileError::NotRegular:
        return "Not a regular file";
      case FileError::TooLarge:
        return "File too large";
    }
    return "Unknown file error";
  }
};

class RunErrorCategoryImpl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ebbmark.run"; }
  std::string message(int value) const override {
    if (static_cast<RunError>(value) == RunError::NotExecutable) return "Not executable";
    return "Unknown run error";
  }
};

}  // namespace

const std::error_category& RunErrorCategory() {
  static const RunErrorCategoryImpl category;
  return category;
}

std::error_code make_error_code(RunError e) {
  return {static_cast<int>(e), RunErrorCategory()};
}

const std::error_category& FileErrorCategory() {
  static const FileErrorCategoryImpl category;
  return category;
}

std::error_code make_error_code(FileError e) {
  return {static_cast<int>(e), FileErrorCategory()};
}

std::string DescribeWriteAccess(const WriteAccess& access) {
  if (access.error) return access.path + " could not be checked: " + access.error.message();
  return access.path + " can be written by " + access.writers;
}

}  // namespace ebbmark
