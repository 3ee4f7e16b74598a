#include "platform/event_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/windows/event_source_windows.h"

namespace ebbmark::win {
namespace {

TEST(WindowsEventLogTest, SourceRegistrationComesAndGoes) {
  const std::wstring log_key =
      L"Software\\EbbmarkLogTest" + std::to_wstring(::GetCurrentProcessId());
  const std::wstring key = log_key + L"\\Ebbmark";
  ASSERT_TRUE(
      AddEventSource(L"C:\\Program Files\\Ebbmark\\EbbmarkSvc.exe", HKEY_CURRENT_USER, log_key));
  DWORD types = 0;
  DWORD size = sizeof types;
  EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"TypesSupported", RRF_RT_REG_DWORD,
                           nullptr, &types, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(types, 7u);
  EXPECT_TRUE(RemoveEventSource(HKEY_CURRENT_USER, log_key));
  EXPECT_TRUE(RemoveEventSource(HKEY_CURRENT_USER, log_key)) << "nothing to remove is fine";
  ::RegDeleteKeyW(HKEY_CURRENT_USER, log_key.c_str());
}

TEST(WindowsEventLogTest, RecordsOfEveryTypeAreAccepted) {
  EventLog& log = SystemEventLog();
  EXPECT_TRUE(
      log.WriteEventLog(kEventInformation, 110, "Started monitoring inverter at address 0."));
  EXPECT_TRUE(log.WriteEventLog(kEventWarning, 109, "Inverter monitoring changed!"));
  EXPECT_TRUE(log.WriteEventLog(kEventError, 109, std::string(40000, 'x')));
}

}  // namespace
}  // namespace ebbmark::win
