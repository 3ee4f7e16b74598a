#include "platform/windows/service_host_windows.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "platform/service_control.h"
#include "platform/windows/windows_test_support.h"

namespace ebbmark::win {
namespace {

using namespace std::chrono_literals;

// A service and an event source of the test's own, so that the real
// "Ebbmark" is never touched.
class WindowsServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    names_.service = L"EbbmarkTest" + std::to_wstring(::GetCurrentProcessId());
    names_.display = names_.service;
    names_.event_hive = HKEY_CURRENT_USER;
    names_.event_log_key = L"Software\\EbbmarkTest" + std::to_wstring(::GetCurrentProcessId());
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) GTEST_SKIP() << "installing a service needs administrator rights";
    ::CloseServiceHandle(manager);
  }
  void TearDown() override {
    MakeScmServiceHost(io_, program_, names_)->Uninstall();
    ::RegDeleteKeyW(HKEY_CURRENT_USER, names_.event_log_key.c_str());
  }

  std::string Name() const { return Narrow(names_.service); }

  // The registered configuration: command line, start type and service type.
  struct Config {
    std::wstring command;
    DWORD start = 0;
    DWORD type = 0;
  };
  std::optional<Config> ReadConfig() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = ::OpenServiceW(manager, names_.service.c_str(), SERVICE_QUERY_CONFIG);
    std::optional<Config> config;
    if (service != nullptr) {
      std::vector<BYTE> buf(8192);
      DWORD needed = 0;
      if (::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()),
                                static_cast<DWORD>(buf.size()), &needed)) {
        const auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
        config = Config{q->lpBinaryPathName, q->dwStartType, q->dwServiceType};
      }
      ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    return config;
  }

  // The registered failure actions: (type, delay in ms) each, and the reset period.
  struct FailureActions {
    std::vector<std::pair<int, DWORD>> actions;
    DWORD reset_seconds = 0;
  };
  std::optional<FailureActions> ReadFailureActions() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = ::OpenServiceW(manager, names_.service.c_str(), SERVICE_QUERY_CONFIG);
    std::optional<FailureActions> out;
    if (service != nullptr) {
      std::vector<BYTE> buf(8192);
      DWORD needed = 0;
      if (::QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buf.data(),
                                 static_cast<DWORD>(buf.size()), &needed)) {
        const auto* f = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buf.data());
        out.emplace();
        out->reset_seconds = f->dwResetPeriod;
        for (DWORD i = 0; i < f->cActions; ++i)
          out->actions.emplace_back(f->lpsaActions[i].Type, f->lpsaActions[i].Delay);
      } else if (::GetLastError() == ERROR_INVALID_LEVEL) {
        unreadable_failure_actions_ = true;  // Wine accepts them but cannot give them back
      }
      ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    return out;
  }

  std::optional<std::wstring> RegistryText(const wchar_t* value) {
    wchar_t buf[1024] = {};
    DWORD size = sizeof buf;
    const std::wstring key = names_.event_log_key + L"\\Ebbmark";
    if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value,
                       RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buf,
                       &size) != ERROR_SUCCESS)
      return std::nullopt;
    return std::wstring(buf);
  }
  std::optional<DWORD> RegistryNumber(const wchar_t* value) {
    DWORD number = 0;
    DWORD size = sizeof number;
    const std::wstring key = names_.event_log_key + L"\\Ebbmark";
    if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &number,
                       &size) != ERROR_SUCCESS)
      return std::nullopt;
    return number;
  }

  asio::io_context io_;
  ScmHostNames names_;
  bool unreadable_failure_actions_ = false;
  const std::string program_ = "C:\\Program Files\\Ebbmark\\EbbmarkSvc.exe";
};

TEST_F(WindowsServiceHostTest, InstallRegistersTheQuotedPathAndTheEventSource) {
  auto host = MakeScmServiceHost(io_, program_, names_);
  ServiceControl& control = SystemServiceControl();
  EXPECT_FALSE(control.IsServiceInstalled(Name()));

  ASSERT_TRUE(host->Install());
  const auto config = ReadConfig();
  ASSERT_TRUE(config);
  // Unquoted, Windows would first try C:\Program.exe.
  EXPECT_EQ(config->command, L"\"C:\\Program Files\\Ebbmark\\EbbmarkSvc.exe\"");
  EXPECT_EQ(config->start, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config->type & SERVICE_WIN32_OWN_PROCESS,
            static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(RegistryText(L"EventMessageFile"), Widen(program_));
  EXPECT_EQ(RegistryNumber(L"TypesSupported"), 7u);

  // A crash is followed by a restart after 5 s, however often it happens.
  const std::pair<int, DWORD> restart{SC_ACTION_RESTART, 5000};
  const std::vector<std::pair<int, DWORD>> expected(3, restart);
  const auto failure = ReadFailureActions();
  if (failure) {
    EXPECT_EQ(failure->actions, expected);
    EXPECT_EQ(failure->reset_seconds, 86400u);
  } else {
    EXPECT_TRUE(unreadable_failure_actions_) << "the failure actions must be readable";
  }

  EXPECT_FALSE(host->Install()) << "a second install fails";

  // Stopped (1) is neither running nor in need of a stop.
  EXPECT_TRUE(control.IsServiceInstalled(Name()));
  EXPECT_FALSE(control.IsServiceRunning(Name()));
  EXPECT_TRUE(control.StopNamedService(Name()));

  ASSERT_TRUE(host->Uninstall());
  EXPECT_FALSE(RegistryNumber(L"TypesSupported")) << "the event source is gone";
  EXPECT_FALSE(control.IsServiceInstalled(Name()));
  EXPECT_FALSE(control.IsServiceRunning(Name()));
  EXPECT_FALSE(control.StartNamedService(Name()));
  EXPECT_FALSE(control.StopNamedService(Name()));
  EXPECT_FALSE(host->Uninstall()) << "nothing left to remove";
}

TEST(WindowsServiceFailureTest, EveryFailureRestartsAfterFiveSeconds) {
  const FailureActions f = RestartOnFailure();
  ASSERT_EQ(f.actions.size(), 3u);
  for (const SC_ACTION& a : f.actions) {
    EXPECT_EQ(a.Type, SC_ACTION_RESTART);
    EXPECT_EQ(a.Delay, 5000u);
  }
  EXPECT_EQ(f.reset_seconds, 86400u);
}

TEST_F(WindowsServiceHostTest, StartedByHandNothingIsPosted) {
  auto host = MakeScmServiceHost(io_, program_, names_);
  bool started = false;
  host->StartAsService([&] { started = true; });
  for (int i = 0; i < 10; ++i) {
    io_.restart();
    io_.run_for(20ms);
  }
  EXPECT_FALSE(started);
}

TEST(WindowsServiceCommandLineTest, OnlyFullPathsQuoted) {
  struct Case {
    std::string path;
    std::wstring command;
  };
  const Case cases[] = {
      {"C:\\Program Files\\Ebbmark\\EbbmarkSvc.exe",
       L"\"C:\\Program Files\\Ebbmark\\EbbmarkSvc.exe\""},
      {"C:\\Ebbmark\\EbbmarkSvc.exe", L"\"C:\\Ebbmark\\EbbmarkSvc.exe\""},
      {"\\\\server\\share\\EbbmarkSvc.exe", L"\"\\\\server\\share\\EbbmarkSvc.exe\""},
      {"EbbmarkSvc.exe", L""},
      {"C:EbbmarkSvc.exe", L""},
      {"C:\\a\"b\\EbbmarkSvc.exe", L""},
      {"", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(ServiceCommandLine(c.path), c.command) << c.path;
}

}  // namespace
}  // namespace ebbmark::win
