#include "common/nut_protocol.h"

namespace ebbmark::nut {

Session::Session(std::string peer_address) : peer_address_(std::move(peer_address)) {}

Session::Reply Session::Handle(std::string_view, const Snapshot&, const ServerConfig&,
                               std::span<const std::string>) {
  return {"ERR UNKNOWN-COMMAND\n"};
}

bool Session::logged_in() const {
  return logged_in_;
}

const std::string& Session::peer_address() const {
  return peer_address_;
}

int Session::failed_tries() const {
  return failed_tries_;
}

std::optional<std::vector<std::string>> SplitWords(std::string_view) {
  return std::nullopt;
}

std::string QuoteValue(std::string_view value) {
  return "\"" + std::string(value) + "\"";
}

Snapshot BuildSnapshot(const SnapshotInputs&) {
  return {};
}

bool LinkInError(const OptTime&, const Stamp&) {
  return true;
}

std::string_view DescribeVariable(std::string_view) {
  return "Description unavailable";
}

}  // namespace ebbmark::nut
