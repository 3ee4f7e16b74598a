#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/program_path.h"

namespace ebbmark {

std::string ProgramPath() {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      break;
    }
    if (buf.size() >= 65536) return {};
    buf.resize(buf.size() * 2);
  }
  // The kernel marks an executable that was replaced or removed while it
  // runs; the path without the mark is where its successor lives.
  static const std::string kDeleted = " (deleted)";
  struct stat st {};
  if (buf.size() > kDeleted.size() && buf.ends_with(kDeleted) && ::stat(buf.c_str(), &st) != 0) {
    buf.resize(buf.size() - kDeleted.size());
  }
  return buf;
}

std::string ProgramFolder() {
  const std::string path = ProgramPath();
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace ebbmark
