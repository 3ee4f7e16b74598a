#include "platform/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace ebbmark {
namespace {

using namespace std::chrono_literals;

class ProcessRunnerPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder with a blank in its name: the path must reach exec whole.
    std::string pattern = (std::filesystem::temp_directory_path() / "ebbmark run XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (leftover_pid_ > 0) kill(leftover_pid_, SIGKILL);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string WriteScript(const std::string& name, const std::string& body, mode_t mode = 0755) {
    const std::string path = Path(name);
    {
      std::ofstream out(path);
      out << "#!/bin/sh\n" << body << "\n";
    }
    chmod(path.c_str(), mode);
    return path;
  }

  static std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Runs the loop until `done` holds; at most about ten seconds.
  bool RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) {
      io_.restart();
      io_.run_for(20ms);
    }
    return done();
  }

  std::optional<RunResult> RunAndWait(const std::string& path,
                                      std::optional<std::chrono::milliseconds> wait) {
    std::optional<RunResult> result;
    runner_->Run(path, wait, [&](RunResult r) { result = r; });
    RunUntil([&] { return result.has_value(); });
    if (result && result->started && !result->finished) leftover_pid_ = result->process_id;
    return result;
  }

  // True once the process is gone and reaped: a zombie still answers kill 0.
  bool Reaped(int pid) {
    return RunUntil([pid] { return kill(pid, 0) != 0 && errno == ESRCH; });
  }

  asio::io_context io_;
  std::unique_ptr<ProcessRunner> runner_ = MakeProcessRunner(io_);
  std::string dir_;
  int leftover_pid_ = 0;
};

TEST_F(ProcessRunnerPosix, RunsAPathWithBlanksAsOneProgramAndReturnsItsExitCode) {
  // If the path were split at its first blank, this program would run instead.
  const std::string first_word = dir_.substr(0, dir_.find(' '));
  ASSERT_FALSE(std::filesystem::exists(first_word));
  const std::string decoy = WriteScript("my", "echo wrong > \"" + Path("decoy") + "\"");

  const std::string script =
      WriteScript("my run file.sh", "echo ran > \"" + Path("marker") + "\"\nexit 7");
  const auto result = RunAndWait(script, std::nullopt);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->started);
  EXPECT_TRUE(result->finished);
  EXPECT_EQ(result->exit_code, 7);
  EXPECT_EQ(ReadAll(Path("marker")), "ran\n");
  EXPECT_FALSE(std::filesystem::exists(Path("decoy")));
}

TEST_F(ProcessRunnerPosix, ReportsASignalAsExitCode128PlusTheSignal) {
  const auto result = RunAndWait(WriteScript("killed.sh", "kill -TERM $$"), 5000ms);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->finished);
  EXPECT_EQ(result->exit_code, 128 + SIGTERM);
}

TEST_F(ProcessRunnerPosix, WaitZeroReportsAtOnceAndLeavesTheProcessRunning) {
  const auto result = RunAndWait(WriteScript("long.sh", "exec sleep 30"), 0ms);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->started);
  EXPECT_FALSE(result->finished);
  ASSERT_GT(result->process_id, 0);
  EXPECT_EQ(kill(result->process_id, 0), 0);
  kill(result->process_id, SIGKILL);
  EXPECT_TRUE(Reaped(result->process_id));
}

TEST_F(ProcessRunnerPosix, ATimeOutLeavesTheProcessRunningAndReapsItLater) {
  const auto result = RunAndWait(WriteScript("long.sh", "exec sleep 30"), 200ms);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->started);
  EXPECT_FALSE(result->finished);
  ASSERT_GT(result->process_id, 0);
  EXPECT_EQ(kill(result->process_id, 0), 0) << "the process must be left running";

  kill(result->process_id, SIGTERM);
  EXPECT_TRUE(Reaped(result->process_id))
      << "a process that ends after the time-out stays a zombie";
}

TEST_F(ProcessRunnerPosix, AFileThatCannotStartIsReportedAsNotStarted) {
  {
    std::ofstream out(Path("garbage"));
    out << "no interpreter line, not a program\n";
  }
  chmod(Path("garbage").c_str(), 0755);
  std::filesystem::create_directory(Path("folder"));
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {Path("missing file.exe"), ENOENT},
      {Path("folder"), EACCES},
      {Path("garbage"), ENOEXEC},
      {"", ENOENT},
  };
  for (const auto& c : cases) {
    const auto result = RunAndWait(c.path, 1000ms);
    ASSERT_TRUE(result) << c.path;
    EXPECT_FALSE(result->started) << c.path;
    EXPECT_EQ(result->error, std::error_code(c.error, std::generic_category())) << c.path;
  }

  // A script without its execute bit says so, and is not handed to a desktop
  // opener (which would report success for nothing done).
  {
    std::ofstream out(Path("noexec.sh"));
    out << "#!/bin/sh\ntouch '" << Path("ran") << "'\n";
  }
  chmod(Path("noexec.sh").c_str(), 0644);
  const auto result = RunAndWait(Path("noexec.sh"), 1000ms);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->started);
  EXPECT_EQ(result->error, RunError::NotExecutable);
  EXPECT_FALSE(std::filesystem::exists(Path("ran")));
}

TEST_F(ProcessRunnerPosix, TheChildInheritsNoSocketOrFileOfTheService) {
  // Opened without close-on-exec, as a careless library might.
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  const int file = open(Path("probe-file").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(file, 0);
  struct stat st {};
  ASSERT_EQ(fstat(sock, &st), 0);
  const std::string socket_link = "socket:[" + std::to_string(st.st_ino) + "]";

  const auto result =
      RunAndWait(WriteScript("list fds.sh", "ls -l /proc/$$/fd > \"" + Path("fds") + "\""), 5000ms);
  close(sock);
  close(file);
  ASSERT_TRUE(result);
  ASSERT_TRUE(result->finished);
  const std::string fds = ReadAll(Path("fds"));
  ASSERT_FALSE(fds.empty());
  EXPECT_EQ(fds.find(socket_link), std::string::npos) << fds;
  EXPECT_EQ(fds.find("probe-file"), std::string::npos) << fds;
  EXPECT_NE(fds.find(" 0 -> /dev/null"), std::string::npos) << fds;
}

TEST_F(ProcessRunnerPosix, TheLoopKeepsRunningWhileItWaits) {
  std::string order;
  asio::steady_timer timer(io_, 20ms);
  timer.async_wait([&](const std::error_code&) { order += "timer "; });
  std::optional<RunResult> result;
  runner_->Run(WriteScript("slow.sh", "sleep 0.5"), std::nullopt, [&](RunResult r) {
    order += "done ";
    result = r;
  });
  ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
  EXPECT_TRUE(result->finished);
  EXPECT_EQ(order, "timer done ");
}

TEST_F(ProcessRunnerPosix, NoCallbackAfterTheRunnerIsGone) {
  bool called = false;
  runner_->Run(WriteScript("quick.sh", "exit 0"), std::nullopt, [&](RunResult) { called = true; });
  runner_.reset();
  io_.restart();
  io_.run_for(300ms);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace ebbmark
