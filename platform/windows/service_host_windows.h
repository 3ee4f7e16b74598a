#pragma once
// The service control manager's host of EbbmarkSvc, with the names it
// registers made replaceable so that tests can install a service and an
// event source of their own without touching the real ones.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "platform/service_host.h"
#include "platform/windows/event_source_windows.h"

namespace ebbmark::win {

struct ScmHostNames {
  std::wstring service = L"Ebbmark";
  std::wstring display = L"Ebbmark";
  HKEY event_hive = HKEY_LOCAL_MACHINE;
  std::wstring event_log_key = kApplicationLogKey;
};

std::unique_ptr<ServiceHost> MakeScmServiceHost(asio::io_context& io,
                                                const std::string& program_path,
                                                ScmHostNames names);

// What install registers for a failure of the service (its process ending
// without reporting a stop): a restart after 5 s, for the first, second and
// every later failure; the count starts again after a day without one.
struct FailureActions {
  std::vector<SC_ACTION> actions;
  DWORD reset_seconds = 0;
};
FailureActions RestartOnFailure();

// The command line registered for the service: the program's full path in
// quotes, so that a path with blanks can never be read as a shorter program
// path plus arguments. Empty when the path cannot be registered.
std::wstring ServiceCommandLine(const std::string& program_path);

}  // namespace ebbmark::win
