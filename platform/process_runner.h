#pragma once
// Starting the user's run file and waiting for it without blocking the loop.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <asio/io_context.hpp>

namespace ebbmark {

// Why a run file was not started, beyond the system's own error numbers.
enum class RunError { NotExecutable = 1 };
const std::error_category& RunErrorCategory();
std::error_code make_error_code(RunError e);

struct RunResult {
  bool started = false;   // false: the file could not be started (see error)
  std::error_code error;  // why it could not be started
  bool finished = false;  // the process ended within the wait
  int exit_code = 0;      // valid when finished (POSIX: 128 + signal when a signal ended it)
  int process_id = 0;     // the started process (or its opener), valid when started
};

class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  // Starts `path` as one program path: never split at blanks, never given to
  // a shell, inheriting none of this process's sockets or files. Waits for it
  // up to `wait` (nullopt: without limit; zero: not at all) and then posts
  // `done` to the loop. A process still running after the wait is left running.
  virtual void Run(const std::string& path, std::optional<std::chrono::milliseconds> wait,
                   std::function<void(RunResult)> done) = 0;
};

std::unique_ptr<ProcessRunner> MakeProcessRunner(asio::io_context& io);

}  // namespace ebbmark

template <>
struct std::is_error_code_enum<ebbmark::RunError> : std::true_type {};
