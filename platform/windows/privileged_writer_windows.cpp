// Ebbmark.exe runs elevated (its manifest asks for it): a file it cannot
// write is one an administrator cannot write either, and no helper can do
// better.

#include "platform/privileged_writer.h"

#include <asio/post.hpp>

namespace ebbmark {
namespace {

class NoPrivilegedWriter final : public PrivilegedWriter {
 public:
  explicit NoPrivilegedWriter(asio::io_context& io) : io_(io) {}
  void Replace(ProtectedFile, const std::string&, const std::string&, Done done) override {
    asio::post(io_, [done = std::move(done)] { done(PrivilegedWriteError::NotAvailable); });
  }

 private:
  asio::io_context& io_;
};

}  // namespace

std::unique_ptr<PrivilegedWriter> MakeSystemPrivilegedWriter(asio::io_context& io) {
  return std::make_unique<NoPrivilegedWriter>(io);
}

}  // namespace ebbmark
