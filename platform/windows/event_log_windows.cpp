// The event log on Windows: ReportEventW under the source "Ebbmark". The
// message table compiled into EbbmarkSvc.exe (packaging/windows) has one
// message for each identifier, 109 and 110, that shows the record's text, so
// Event Viewer displays the text itself once the source is registered.

#include <windows.h>

#include <mutex>
#include <string>

#include "platform/event_log.h"
#include "platform/windows/event_source_windows.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace win {

bool AddEventSource(const std::wstring& message_file, HKEY hive, const std::wstring& log_key) {
  HKEY key = nullptr;
  const std::wstring path = log_key + L"\\" + kEventSourceName;
  if (::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const auto bytes = static_cast<DWORD>((message_file.size() + 1) * sizeof(wchar_t));
  const bool ok =
      ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(message_file.c_str()),
                       bytes) == ERROR_SUCCESS &&
      ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                       sizeof types) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return ok;
}

bool RemoveEventSource(HKEY hive, const std::wstring& log_key) {
  const std::wstring path = log_key + L"\\" + kEventSourceName;
  const LSTATUS rc = ::RegDeleteKeyW(hive, path.c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

}  // namespace win

namespace {

WORD EventTypeOf(std::uint16_t type) {
  switch (type) {
    case kEventError:
      return EVENTLOG_ERROR_TYPE;
    case kEventWarning:
      return EVENTLOG_WARNING_TYPE;
    default:
      return EVENTLOG_INFORMATION_TYPE;
  }
}

// ReportEventW takes insertion strings of at most 31,839 characters.
constexpr std::size_t kMaxInsertion = 31839;

class WindowsEventLog final : public EventLog {
 public:
  ~WindowsEventLog() override {
    if (source_ != nullptr) ::DeregisterEventSource(source_);
  }

  bool WriteEventLog(std::uint16_t type, std::uint32_t id, const std::string& text) override {
    std::call_once(opened_,
                   [this] { source_ = ::RegisterEventSourceW(nullptr, win::kEventSourceName); });
    if (source_ == nullptr) return false;
    std::wstring wide = win::Widen(text);
    if (wide.size() > kMaxInsertion) wide.resize(kMaxInsertion);
    const wchar_t* strings[1] = {wide.c_str()};
    return ::ReportEventW(source_, EventTypeOf(type), 0, id, nullptr, 1, 0, strings, nullptr) !=
           FALSE;
  }

 private:
  std::once_flag opened_;
  HANDLE source_ = nullptr;
};

}  // namespace

EventLog& SystemEventLog() {
  static WindowsEventLog log;
  return log;
}

}  // namespace ebbmark
