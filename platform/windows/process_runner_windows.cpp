// Starts the run file on Windows and waits for it without blocking the loop.
// Programs and scripts (.exe .com .bat .cmd) start with CreateProcessW, the
// path quoted and no handle inherited; any other file is a document, opened
// with its associated program through ShellExecuteExW. Either way the wait
// is a thread-pool wait on the process handle whose completion is posted to
// the loop, with a timer for the time-out.

#include <windows.h>
// After windows.h, whose types they use.
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "platform/process_runner.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace {

using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

bool IsProgram(const std::wstring& path) {
  const auto dot = path.find_last_of(L".\\/");
  if (dot == std::wstring::npos || path[dot] != L'.') return false;
  std::wstring ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return ext == L".exe" || ext == L".com" || ext == L".bat" || ext == L".cmd";
}

struct Started {
  HANDLE process = nullptr;  // nullptr with no error: opened by a running program
  DWORD process_id = 0;
  std::error_code error;
};

// A program path as one quoted word: never split at blanks, and with a path
// like C:\Program Files\x.exe never taken for C:\Program.exe.
Started StartProgram(const std::wstring& path) {
  Started s;
  std::wstring command = L"\"" + path + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // No handle inherited: a run file that outlives the service must not hold
  // its sockets or files open.
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &info)) {
    s.error = win::LastError();
    return s;
  }
  ::CloseHandle(info.hThread);
  s.process = info.hProcess;
  s.process_id = info.dwProcessId;
  return s;
}

// Opens a document with its associated program. Shell extensions may need
// COM, so this runs on a thread of its own with COM set up there.
Started OpenDocument(const std::wstring& path) {
  Started s;
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpFile = path.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (::ShellExecuteExW(&info)) {
    s.process = info.hProcess;
    s.process_id = info.hProcess != nullptr ? ::GetProcessId(info.hProcess) : 0;
  } else {
    s.error = win::LastError();
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return s;
}

// Watches one started process: reports once, when it ends or when the wait
// runs out, and closes its handle when it ends (or when the runner goes).
class Watch : public std::enable_shared_from_this<Watch> {
 public:
  Watch(asio::io_context& io, HANDLE process, DWORD pid, std::function<void(RunResult)> done,
        std::shared_ptr<bool> runner_alive)
      : io_(io),
        process_(process),
        pid_(pid),
        done_(std::move(done)),
        runner_alive_(std::move(runner_alive)),
        deadline_(io),
        work_(io.get_executor()) {}

  ~Watch() { Release(); }

  // Starts the wait. Should the system refuse it, the process runs on
  // unwatched and the caller carries on as after a time-out.
  void Begin(std::optional<std::chrono::milliseconds> wait) {
    if (!::RegisterWaitForSingleObject(&wait_, process_, &Watch::Exited, this, INFINITE,
                                       WT_EXECUTEONLYONCE)) {
      wait_ = nullptr;
      asio::post(io_, [self = shared_from_this()] {
        self->Report(false, 0);
        self->Finish();
      });
      return;
    }
    if (!wait) return;  // without limit
    if (wait->count() <= 0) {
      asio::post(io_, [self = shared_from_this()] { self->Report(false, 0); });
      return;
    }
    deadline_.expires_after(*wait);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->Report(false, 0);
    });
  }

  // Stops waiting and closes the handle. Blocks until a completion already
  // running on the thread pool has finished, so none comes after this.
  void Release() {
    if (wait_ != nullptr) {
      ::UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
      wait_ = nullptr;
    }
    if (process_ != nullptr) {
      ::CloseHandle(process_);
      process_ = nullptr;
    }
  }

  std::function<void()> on_finished;  // the runner forgets the watch

 private:
  // On a thread-pool thread: hand the news to the loop.
  static void CALLBACK Exited(void* context, BOOLEAN) {
    auto* self = static_cast<Watch*>(context);
    asio::post(self->io_, [watch = self->shared_from_this()] { watch->OnExit(); });
  }

  void OnExit() {
    if (process_ == nullptr) return;
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_, &code)) code = static_cast<DWORD>(-1);
    deadline_.cancel();
    Report(true, static_cast<int>(code));
    Finish();
  }

  void Finish() {
    Release();
    work_.reset();
    if (on_finished) std::exchange(on_finished, nullptr)();
  }

  void Report(bool finished, int exit_code) {
    if (reported_) return;
    reported_ = true;
    // A process left running no longer holds the loop open.
    work_.reset();
    if (!*runner_alive_ || !done_) return;
    RunResult result;
    result.started = true;
    result.finished = finished;
    result.exit_code = finished ? exit_code : 0;
    result.process_id = static_cast<int>(pid_);
    std::exchange(done_, nullptr)(result);
  }

  asio::io_context& io_;
  HANDLE process_;
  HANDLE wait_ = nullptr;
  const DWORD pid_;
  std::function<void(RunResult)> done_;
  std::shared_ptr<bool> runner_alive_;
  asio::steady_timer deadline_;
  WorkGuard work_;
  bool reported_ = false;
};

class Runner final : public ProcessRunner {
 public:
  explicit Runner(asio::io_context& io) : io_(io) {}

  ~Runner() override {
    *alive_ = false;
    // No completion may reach the loop for a runner that is gone.
    for (const auto& w : watches_) w->Release();
  }

  void Run(const std::string& path, std::optional<std::chrono::milliseconds> wait,
           std::function<void(RunResult)> done) override {
    const std::wstring wpath = win::PathArgument(path);
    if (wpath.empty()) return Fail(std::move(done), win::Win32Error(ERROR_FILE_NOT_FOUND));
    // A quote cannot be part of a file name; it could only break the command
    // line apart.
    if (wpath.find(L'"') != std::wstring::npos)
      return Fail(std::move(done), win::Win32Error(ERROR_INVALID_NAME));
    if (IsProgram(wpath)) return Follow(StartProgram(wpath), wait, std::move(done));

    // The shell may take a while to find and start the document's program;
    // the loop goes on meanwhile and takes the result when it comes.
    auto work = std::make_shared<WorkGuard>(io_.get_executor());
    asio::io_context& io = io_;
    std::thread([&io, this, alive = alive_, wpath, wait, done = std::move(done), work]() mutable {
      const Started s = OpenDocument(wpath);
      asio::post(io, [this, alive, s, wait, done = std::move(done), work]() mutable {
        if (!*alive) {
          if (s.process != nullptr) ::CloseHandle(s.process);
          return;
        }
        Follow(s, wait, std::move(done));
      });
    }).detach();
  }

 private:
  void Fail(std::function<void(RunResult)> done, std::error_code ec) {
    RunResult result;
    result.error = ec;
    Post(std::move(done), result);
  }

  void Post(std::function<void(RunResult)> done, RunResult result) {
    asio::post(io_, [alive = alive_, done = std::move(done), result] {
      if (*alive) done(result);
    });
  }

  void Follow(const Started& s, std::optional<std::chrono::milliseconds> wait,
              std::function<void(RunResult)> done) {
    if (s.error) return Fail(std::move(done), s.error);
    if (s.process == nullptr) {
      // The document went to a program that was already running: there is
      // no process of its own to wait for.
      RunResult result;
      result.started = true;
      result.finished = true;
      return Post(std::move(done), result);
    }
    auto w = std::make_shared<Watch>(io_, s.process, s.process_id, std::move(done), alive_);
    watches_.insert(w);
    w->on_finished = [this, alive = alive_, raw = w.get()] {
      if (!*alive) return;
      std::erase_if(watches_, [raw](const auto& p) { return p.get() == raw; });
    };
    w->Begin(wait);
  }

  asio::io_context& io_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::set<std::shared_ptr<Watch>> watches_;
};

}  // namespace

std::unique_ptr<ProcessRunner> MakeProcessRunner(asio::io_context& io) {
  return std::make_unique<Runner>(io);
}

}  // namespace ebbmark
