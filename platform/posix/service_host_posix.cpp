// The service host on Linux: a systemd unit "ebbmark.service" (Type=notify,
// the same text the package ships) written and enabled by "install", disabled and removed by
// "uninstall"; READY=1 and STOPPING=1 through sd_notify, SIGTERM as the stop request.

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/posix/systemctl_posix.h"
#include "platform/posix/systemd_unit.h"
#include "platform/service_control.h"
#include "platform/service_host.h"

namespace ebbmark {
namespace {

constexpr const char* kDefaultUnitFolder = "/etc/systemd/system";

// Where packages put their units (Debian's, the merged /usr, a local build's
// "make install"); a unit found there is the package's to remove.
constexpr const char* kVendorUnitFolders[] = {"/lib/systemd/system", "/usr/lib/systemd/system",
                                              "/usr/local/lib/systemd/system"};

// The value of `key` in `systemctl show` output; empty when absent.
std::string PropertyLine(const std::string& output, const std::string& key) {
  const std::string prefix = key + "=";
  std::size_t pos = 0;
  while (pos < output.size()) {
    auto end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    if (output.compare(pos, prefix.size(), prefix) == 0) {
      return output.substr(pos + prefix.size(), end - pos - prefix.size());
    }
    pos = end + 1;
  }
  return {};
}

// Tests and packagers may point the unit file elsewhere.
std::string UnitFolder() {
  const char* folder = std::getenv("EBBMARK_SYSTEMD_UNIT_DIR");
  return folder && *folder ? folder : kDefaultUnitFolder;
}

bool EnvironmentSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// The executable as one word of ExecStart: '%' would start a specifier and a
// backslash an escape, and blanks or quotes need the word quoted. Nothing
// when the path cannot be written in a unit file (relative, control
// characters).
std::optional<std::string> ExecStartWord(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::nullopt;
  std::string escaped;
  bool quote = false;
  for (const char c : path) {
    const auto uc = static_cast<unsigned char>(c);
    if (uc < 0x20 || uc == 0x7f) return std::nullopt;
    switch (c) {
      case '%':
        escaped += "%%";
        break;
      case '\\':
      case '"':
        escaped += '\\';
        escaped += c;
        quote = true;
        break;
      case ' ':
      case '\'':
      case ';':
        escaped += c;
        quote = true;
        break;
      default:
        escaped += c;
    }
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

class SystemdServiceHost final : public ServiceHost {
 public:
  SystemdServiceHost(asio::io_context& io, std::string program_path)
      : io_(io), program_path_(std::move(program_path)) {}

  bool Install() override {
    const auto exec = ExecStartWord(program_path_);
    const std::string unit = UnitName(kServiceName);
    if (!exec || unit.empty()) return false;
    std::string text = kSystemdUnitTemplate;
    const std::string placeholder = "@EXEC_START@";
    const auto at = text.find(placeholder);
    if (at == std::string::npos) return false;
    text.replace(at, placeholder.size(), *exec);
    const std::string path = JoinPath(UnitFolder(), unit);
    if (RealFileSystem().ReplaceFile(path, text)) return false;
    if (RunSystemctl({"daemon-reload"}).ok() &&
        RunSystemctl({"enable", "--no-ask-password", unit}).ok()) {
      return true;
    }
    // A half-done registration would read as installed; take it back.
    RunSystemctl({"disable", "--no-ask-password", unit});
    ::unlink(path.c_str());
    RunSystemctl({"daemon-reload"});
    return false;
  }

  bool Uninstall() override {
    const std::string unit = UnitName(kServiceName);
    const bool was_enabled = RunSystemctl({"is-enabled", "--quiet", unit}).ok();
    // Disabling a unit that was never enabled fails harmlessly; what matters
    // is that the unit file goes.
    RunSystemctl({"disable", "--no-ask-password", unit});
    const std::string path = JoinPath(UnitFolder(), unit);
    const bool removed = ::unlink(path.c_str()) == 0;
    // A unit left in place but no longer started at boot would leave the
    // computer unprotected after the next restart.
    if (!removed && was_enabled) RunSystemctl({"enable", "--no-ask-password", unit});
    RunSystemctl({"daemon-reload"});
    return removed;
  }

  bool InstalledByPackage() override {
    const std::string unit = UnitName(kServiceName);
    const auto result = RunSystemctl({"show", "--property=FragmentPath", unit});
    if (!result.ok()) return false;
    const std::string fragment = PropertyLine(result.output, "FragmentPath");
    const auto slash = fragment.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    const std::string folder = fragment.substr(0, slash);
    if (folder == UnitFolder()) return false;
    for (const char* vendor : kVendorUnitFolders) {
      if (folder == vendor) return true;
    }
    return false;
  }

  void ReportStatus(const std::string& text) override {
    // One line: systemd ends the status at the first line end.
    std::string line = "STATUS=";
    for (const char c : text) line += (c == '\r' || c == '\n') ? ' ' : c;
    ::sd_notify(0, line.c_str());
  }

  void StartAsService(std::function<void()> on_start) override {
    // systemd hands its Type=notify services a notification socket. An
    // invocation id alone proves nothing: a desktop terminal started as a
    // user unit passes its own on to every shell in it.
    if (!EnvironmentSet("NOTIFY_SOCKET")) return;
    asio::post(io_, [on_start = std::move(on_start)] {
      if (on_start) on_start();
      ::sd_notify(0, "READY=1");
    });
  }

  void WatchStop(bool interactive, std::function<void()> on_stop) override {
    std::error_code ignored;
    signals_.emplace(io_);
    signals_->add(SIGTERM, ignored);
    if (interactive) signals_->add(SIGINT, ignored);
    // Only the first request counts; later ones stay caught (and dropped)
    // while the set lives, so they cannot kill the program halfway
    // through its orderly stop.
    signals_->async_wait([on_stop = std::move(on_stop)](const std::error_code& ec, int) {
      if (!ec && on_stop) on_stop();
    });
  }

  void ReportStopped() override { ::sd_notify(0, "STOPPING=1"); }

 private:
  asio::io_context& io_;
  std::string program_path_;
  std::optional<asio::signal_set> signals_;
};

}  // namespace

std::unique_ptr<ServiceHost> MakeServiceHost(asio::io_context& io,
                                             const std::string& program_path) {
  return std::make_unique<SystemdServiceHost>(io, program_path);
}

}  // namespace ebbmark
