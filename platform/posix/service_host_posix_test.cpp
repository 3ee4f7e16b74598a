#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix/posix_test_support.h"
#include "platform/service_host.h"

namespace ebbmark {
namespace {

using testing::ReadText;
using testing::ScopedEnv;
using testing::StandInSystemctl;
using testing::TempFolder;
using testing::WriteText;

class PosixServiceHostTest : public ::testing::Test {
 protected:
  std::string UnitFile() const { return units / "ebbmark.service"; }

  asio::io_context io;
  StandInSystemctl systemctl;
  TempFolder units;
  ScopedEnv unit_dir{"EBBMARK_SYSTEMD_UNIT_DIR", units.path()};
};

TEST_F(PosixServiceHostTest, InstallWritesAndEnablesTheUnit) {
  auto host = MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc");
  ASSERT_TRUE(host->Install());
  EXPECT_EQ(ReadText(UnitFile()),
            "[Unit]\n"
            "Description=Ebbmark battery-backed power monitor\n"
            "After=network-online.target\n"
            "Wants=network-online.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=/opt/ebbmark/EbbmarkSvc\n"
            "# A service that dies comes back; a stop after a trigger exits 0 and stays down.\n"
            "Restart=on-failure\n"
            "RestartSec=5\n"
            "# A run file still busy when the service stops after a trigger must go on\n"
            "# saving work: stopping the service kills only the service.\n"
            "KillMode=process\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  EXPECT_EQ(systemctl.Calls(), (std::vector<std::string>{
                                   "daemon-reload", "enable --no-ask-password ebbmark.service"}));
}

TEST_F(PosixServiceHostTest, InstallQuotesTheProgramPath) {
  struct Case {
    std::string path;
    std::string exec_start;
  };
  const std::vector<Case> cases = {
      {"/opt/my apps/EbbmarkSvc", "ExecStart=\"/opt/my apps/EbbmarkSvc\"\n"},
      {"/opt/50%/EbbmarkSvc", "ExecStart=/opt/50%%/EbbmarkSvc\n"},
      {"/opt/a\"b\\c/EbbmarkSvc", "ExecStart=\"/opt/a\\\"b\\\\c/EbbmarkSvc\"\n"},
  };
  for (const auto& c : cases) {
    auto host = MakeServiceHost(io, c.path);
    ASSERT_TRUE(host->Install()) << c.path;
    EXPECT_NE(ReadText(UnitFile()).find(c.exec_start), std::string::npos) << ReadText(UnitFile());
  }
}

TEST_F(PosixServiceHostTest, InstallFailsWithoutLeavingAUnitBehind) {
  // A path systemd cannot start.
  for (const char* path : {"", "EbbmarkSvc", "/opt/ebb\nmark/EbbmarkSvc"}) {
    EXPECT_FALSE(MakeServiceHost(io, path)->Install()) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(UnitFile()));
  EXPECT_TRUE(systemctl.Calls().empty());

  // systemd refuses to enable it: the unit file is taken back.
  systemctl.SetExit("enable", 1);
  EXPECT_FALSE(MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc")->Install());
  EXPECT_FALSE(std::filesystem::exists(UnitFile()));

  // The unit folder does not exist.
  ScopedEnv missing("EBBMARK_SYSTEMD_UNIT_DIR", units / "missing");
  systemctl.SetExit("enable", 0);
  EXPECT_FALSE(MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc")->Install());
}

TEST_F(PosixServiceHostTest, UninstallDisablesAndRemovesTheUnit) {
  WriteText(UnitFile(), "[Unit]\n");
  auto host = MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc");
  systemctl.SetExit("disable", 1);  // never enabled: does not matter
  EXPECT_TRUE(host->Uninstall());
  EXPECT_FALSE(std::filesystem::exists(UnitFile()));
  EXPECT_EQ(systemctl.Calls(), (std::vector<std::string>{
                                   "is-enabled --quiet ebbmark.service",
                                   "disable --no-ask-password ebbmark.service", "daemon-reload"}));
}

TEST_F(PosixServiceHostTest, AFailedUninstallLeavesTheUnitEnabledAsItWas) {
  // No unit file where install writes it: nothing can be removed.
  auto host = MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc");
  EXPECT_FALSE(host->Uninstall());
  EXPECT_EQ(systemctl.Calls(),
            (std::vector<std::string>{
                "is-enabled --quiet ebbmark.service", "disable --no-ask-password ebbmark.service",
                "enable --no-ask-password ebbmark.service", "daemon-reload"}));

  // A unit that was not enabled is not enabled by the failure either.
  StandInSystemctl disabled;
  disabled.SetExit("is-enabled", 1);
  EXPECT_FALSE(host->Uninstall());
  const auto calls = disabled.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "enable --no-ask-password ebbmark.service"), 0);
}

TEST_F(PosixServiceHostTest, AUnitInAVendorFolderBelongsToThePackage) {
  auto host = MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc");
  struct Case {
    std::string fragment;
    bool packaged;
  };
  const std::vector<Case> cases = {
      {"/lib/systemd/system/ebbmark.service", true},
      {"/usr/lib/systemd/system/ebbmark.service", true},
      {UnitFile(), false},  // where install writes it
      {"/run/systemd/transient/ebbmark.service", false},
      {"", false},  // no unit at all
  };
  for (const auto& c : cases) {
    systemctl.SetOutput("show", "FragmentPath=" + c.fragment + "\n");
    EXPECT_EQ(host->InstalledByPackage(), c.packaged) << c.fragment;
  }
  systemctl.SetOutput("show", "FragmentPath=/lib/systemd/system/ebbmark.service\n");
  systemctl.SetExit("show", 1);  // systemctl failed: assume nothing
  EXPECT_FALSE(host->InstalledByPackage());
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  bool bound() const { return bound_; }

  // The next message, waiting at most two seconds; empty when none came.
  std::string Receive() {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 2000) != 1) return {};
    char buf[512];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  int fd_;
  bool bound_ = false;
};

TEST_F(PosixServiceHostTest, StartedBySystemdRunsTheStartAndReportsReady) {
  TempFolder sockets;
  NotifySocket notify(sockets / "notify");
  ASSERT_TRUE(notify.bound());
  ScopedEnv socket_env("NOTIFY_SOCKET", sockets / "notify");

  auto host = MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc");
  int started = 0;
  host->StartAsService([&] { ++started; });
  EXPECT_EQ(started, 0);  // only on the loop
  io.poll();
  EXPECT_EQ(started, 1);
  EXPECT_EQ(notify.Receive(), "READY=1");

  host->ReportStatus("Relay silent for 35 s");
  EXPECT_EQ(notify.Receive(), "STATUS=Relay silent for 35 s");
  // A line end would cut the status short.
  host->ReportStatus("Could not connect\r\nto the relay");
  EXPECT_EQ(notify.Receive(), "STATUS=Could not connect  to the relay");

  host->ReportStopped();
  EXPECT_EQ(notify.Receive(), "STOPPING=1");
}

// A terminal started as a user unit passes its invocation id on to its shells:
// run by hand there, the program must still say how to run it.
TEST_F(PosixServiceHostTest, StartedByHandNothingHappens) {
  ScopedEnv no_socket("NOTIFY_SOCKET", std::nullopt);
  ScopedEnv invocation("INVOCATION_ID", std::string("0123456789abcdef0123456789abcdef"));
  auto host = MakeServiceHost(io, "/opt/ebbmark/EbbmarkSvc");
  bool started = false;
  host->StartAsService([&] { started = true; });
  io.poll();
  EXPECT_FALSE(started);
  host->ReportStopped();  // harmless outside systemd
}

TEST_F(PosixServiceHostTest, StopSignalsReachTheLoopOnce) {
  for (int sig : {SIGTERM, SIGINT}) {
    asio::io_context loop;
    auto host = MakeServiceHost(loop, "/opt/ebbmark/EbbmarkSvc");
    int stops = 0;
    host->WatchStop(/*interactive=*/true, [&] { ++stops; });
    ::raise(sig);
    ::raise(sig);
    for (int i = 0; i < 20 && stops == 0; ++i) loop.run_one_for(std::chrono::milliseconds(100));
    loop.poll();
    EXPECT_EQ(stops, 1) << sig;
  }
}

}  // namespace
}  // namespace ebbmark
