#pragma once
// The event source "Ebbmark" in the Application log: its registration tells
// Event Viewer which file holds the message table that shows the records'
// text. Written at install, removed at uninstall.

#include <windows.h>

#include <string>

namespace ebbmark::win {

inline constexpr const wchar_t* kEventSourceName = L"Ebbmark";
inline constexpr const wchar_t* kApplicationLogKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

// Creates or updates <hive>\<log_key>\Ebbmark: EventMessageFile =
// `message_file` (the service's executable), TypesSupported = 7 (error,
// warning, information). False when the key cannot be written. Tests pass a
// key of their own under HKEY_CURRENT_USER.
bool AddEventSource(const std::wstring& message_file, HKEY hive = HKEY_LOCAL_MACHINE,
                    const std::wstring& log_key = kApplicationLogKey);

// Removes that key; true also when there was none.
bool RemoveEventSource(HKEY hive = HKEY_LOCAL_MACHINE,
                       const std::wstring& log_key = kApplicationLogKey);

}  // namespace ebbmark::win
