#pragma once
// Helpers for the tests of the POSIX adapters: a temporary folder, a scoped
// environment variable, and a stand-in `systemctl` placed first on PATH that
// records its arguments and answers as the test tells it.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace ebbmark::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "ebbmark-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Apply(value);
  }
  ~ScopedEnv() { Apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> old_;
};

// A shell script named systemctl, first on PATH while the object lives. Each
// call appends its arguments as one line to `calls`; for a subcommand X it
// prints the file out.X if present and exits with the code in exit.X (0
// when absent).
class StandInSystemctl {
 public:
  StandInSystemctl() : path_("PATH", folder_.path() + ":" + CurrentPath()) {
    const std::string& d = folder_.path();
    const std::string script =
        "#!/bin/sh\n"
        "printf '%s\\n' \"$*\" >> '" +
        d +
        "/calls'\n"
        "if [ -f '" +
        d + "/out.'\"$1\" ]; then cat '" + d +
        "/out.'\"$1\"; fi\n"
        "if [ -f '" +
        d + "/exit.'\"$1\" ]; then exit \"$(cat '" + d +
        "/exit.'\"$1\")\"; fi\n"
        "exit 0\n";
    WriteText(d + "/systemctl", script);
    ::chmod((d + "/systemctl").c_str(), 0755);
  }

  void SetOutput(const std::string& subcommand, const std::string& text) {
    WriteText(folder_ / ("out." + subcommand), text);
  }
  void SetExit(const std::string& subcommand, int code) {
    WriteText(folder_ / ("exit." + subcommand), std::to_string(code) + "\n");
  }
  // Answers `systemctl show` as systemd does for a unit in these states.
  void SetUnit(const std::string& load_state, const std::string& active_state) {
    SetOutput("show", "ActiveState=" + active_state + "\nLoadState=" + load_state + "\n");
  }

  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    std::ifstream in(folder_ / "calls");
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    return calls;
  }

 private:
  static std::string CurrentPath() {
    const char* path = std::getenv("PATH");
    return path ? path : "/usr/bin:/bin";
  }

  TempFolder folder_;
  ScopedEnv path_;
};

}  // namespace ebbmark::testing
