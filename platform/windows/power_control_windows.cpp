// Powering off and hibernating on Windows: the shutdown privilege is enabled
// on the process token, then ExitWindowsEx or SetSuspendState is called.

#include <windows.h>
// After windows.h, whose types it uses.
#include <powrprof.h>

#include <cstdlib>
#include <string>

#include "platform/file_system.h"
#include "platform/power_control.h"
#include "platform/power_dryrun.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace {

// Recorded with the shutdown in the system log: a power failure, and a
// shutdown the operator planned for by configuring it.
constexpr DWORD kShutdownReason =
    SHTDN_REASON_MAJOR_POWER | SHTDN_REASON_MINOR_ENVIRONMENT | SHTDN_REASON_FLAG_PLANNED;

// A service running as LocalSystem holds the privilege but has it disabled;
// a user who may shut down has it too. Errors show in the calls that need it.
void EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid))
    ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  ::CloseHandle(token);
}

class WindowsPowerControl final : public PowerControl {
 public:
  PowerRefusal Perform(PowerKind kind, bool force) override {
    EnableShutdownPrivilege();
    if (kind == PowerKind::Shutdown) {
      // 9 = shut down and power off; 13 adds force: programs that would
      // delay or refuse it are closed regardless.
      const UINT flags = EWX_SHUTDOWN | EWX_POWEROFF | (force ? EWX_FORCE : 0);
      // The error's text is the system's own (FormatMessage).
      if (!::ExitWindowsEx(flags, kShutdownReason)) return {win::LastError(), {}};
      return {};
    }
    // Returns once the computer has resumed.
    if (!::SetSuspendState(TRUE, force ? TRUE : FALSE, FALSE)) return {win::LastError(), {}};
    return {};
  }
};

}  // namespace

std::unique_ptr<PowerControl> MakePowerControl() {
  const wchar_t* dry = ::_wgetenv(L"EBBMARK_POWER_DRYRUN");
  const wchar_t* refuse = ::_wgetenv(L"EBBMARK_POWER_DRYRUN_REFUSE");
  if (auto control =
          DryRunFromSwitches(dry ? win::Narrow(dry) : "", refuse ? win::Narrow(refuse) : ""))
    return control;
  return std::make_unique<WindowsPowerControl>();
}

}  // namespace ebbmark
