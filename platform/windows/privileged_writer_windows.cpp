// Ebbmark.exe runs elevated (its manifest asks for it): a file it cannot
// write is one an administrator cannot write either, and no helper can do
// better.

#include "platform/privileged_writer.h"

namespace ebbmark {
namespace {

class NoPrivilegedWriter final : public PrivilegedWriter {
 public:
  std::error_code Replace(ProtectedFile, const std::string&, const std::string&) override {
    return PrivilegedWriteError::NotAvailable;
  }
};

}  // namespace

PrivilegedWriter& SystemPrivilegedWriter() {
  static NoPrivilegedWriter writer;
  return writer;
}

}  // namespace ebbmark
