#pragma once
// An in-memory password store for unit tests: files by path, and the
// failures a test asks for.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/secret_store.h"

namespace ebbmark::testing {

class FakeSecretStore : public SecretStore {
 public:
  std::map<std::string, std::string> files;
  std::set<std::string> unreadable;            // Read gives Error
  std::map<std::string, std::string> exposed;  // Read gives Error: others can read it
  std::error_code write_error;                 // every Write and Remove fails with it
  std::vector<std::string> reads;              // the paths read, in order

  SecretRead Read(const std::string& path) override {
    reads.push_back(path);
    SecretRead r;
    if (const auto it = exposed.find(path); it != exposed.end()) {
      r.status = SecretRead::Status::Error;
      r.error = std::make_error_code(std::errc::permission_denied);
      r.readers = it->second;
      r.remedy = "chmod 600 " + path;
    } else if (unreadable.count(path) != 0) {
      r.status = SecretRead::Status::Error;
      r.error = std::make_error_code(std::errc::permission_denied);
    } else if (const auto it = files.find(path); it != files.end()) {
      r.status = SecretRead::Status::Ok;
      r.value = it->second;
    }
    return r;
  }
  std::error_code Write(const std::string& path, const std::string& value) override {
    if (write_error) return write_error;
    files[path] = value;
    return {};
  }
  std::error_code Remove(const std::string& path) override {
    if (write_error) return write_error;
    files.erase(path);
    return {};
  }
};

}  // namespace ebbmark::testing
