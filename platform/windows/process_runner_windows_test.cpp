#include "platform/process_runner.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "platform/windows/windows_test_support.h"

namespace ebbmark {
namespace {

using namespace std::chrono_literals;
using testing::Exists;
using testing::ReadBytes;
using testing::WriteBytes;

// A script that stays for about a minute: ping waits a second between echoes.
constexpr const char* kLongScript = "@ping -n 60 127.0.0.1 >nul\r\n";

class WindowsProcessRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  void TearDown() override { testing::EndProcessTree(leftover_); }

  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir_ / name;
    EXPECT_TRUE(WriteBytes(path, body));
    return path;
  }

  std::optional<RunResult> RunAndWait(const std::string& path,
                                      std::optional<std::chrono::milliseconds> wait) {
    std::optional<RunResult> result;
    runner_->Run(path, wait, [&](RunResult r) { result = r; });
    testing::RunUntil(
        io_, [&] { return result.has_value(); }, 1000);
    if (result && result->started && !result->finished) leftover_ = result->process_id;
    return result;
  }

  testing::TempFolder dir_;  // its name has a blank
  asio::io_context io_;
  std::unique_ptr<ProcessRunner> runner_ = MakeProcessRunner(io_);
  DWORD leftover_ = 0;
};

TEST_F(WindowsProcessRunnerTest, RunsAScriptWithBlanksInItsPathAndReturnsItsExitCode) {
  const std::string marker = dir_ / "marker.txt";
  for (const char* name : {"save work.bat", "save work.CMD"}) {
    SCOPED_TRACE(name);
    ::DeleteFileW(win::Widen(marker).c_str());
    const std::string script = Script(name, "@echo ran>\"" + marker + "\"\r\n@exit /b 7\r\n");
    const auto result = RunAndWait(script, std::nullopt);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->started) << result->error.message();
    EXPECT_TRUE(result->finished);
    EXPECT_EQ(result->exit_code, 7);
    EXPECT_NE(result->process_id, 0);
    EXPECT_EQ(ReadBytes(marker), "ran\r\n");
  }
}

TEST_F(WindowsProcessRunnerTest, ATimeOutLeavesTheProcessRunning) {
  const auto result = RunAndWait(Script("long.bat", kLongScript), 300ms);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->started);
  EXPECT_FALSE(result->finished);
  EXPECT_TRUE(testing::ProcessRunning(static_cast<DWORD>(result->process_id)));
}

TEST_F(WindowsProcessRunnerTest, WaitZeroReportsAtOnce) {
  const auto result = RunAndWait(Script("long.bat", kLongScript), 0ms);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->started);
  EXPECT_FALSE(result->finished);
  EXPECT_TRUE(testing::ProcessRunning(static_cast<DWORD>(result->process_id)));
}

TEST_F(WindowsProcessRunnerTest, FilesThatCannotStartAreReportedAsNotStarted) {
  const std::string cases[] = {
      dir_ / "missing.exe",
      dir_ / "missing.bat",
      dir_ / "with \"quote\".bat",
      "",
  };
  for (const auto& path : cases) {
    const auto result = RunAndWait(path, 5s);
    ASSERT_TRUE(result) << path;
    EXPECT_FALSE(result->started) << path;
    EXPECT_TRUE(result->error) << path;
  }
}

TEST_F(WindowsProcessRunnerTest, TheChildInheritsNoHandleOfTheService) {
  // An inheritable handle that denies deleting the file while it is open: if
  // the child held a copy, the file could not be deleted after we close ours.
  const std::string held = dir_ / "held.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE h = ::CreateFileW(win::Widen(held).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const auto result = RunAndWait(Script("long.bat", kLongScript), 0ms);
  ::CloseHandle(h);
  ASSERT_TRUE(result && result->started);
  EXPECT_TRUE(testing::ProcessRunning(static_cast<DWORD>(result->process_id)));
  EXPECT_TRUE(::DeleteFileW(win::Widen(held).c_str())) << ::GetLastError();
  EXPECT_FALSE(Exists(held));
}

TEST_F(WindowsProcessRunnerTest, TheLoopKeepsRunningWhileItWaits) {
  std::optional<RunResult> result;
  int ticks = 0;
  asio::steady_timer timer(io_);
  std::function<void()> tick = [&] {
    ++ticks;
    timer.expires_after(20ms);
    timer.async_wait([&](const std::error_code& ec) {
      if (!ec && !result) tick();
    });
  };
  tick();
  runner_->Run(Script("short.bat", "@ping -n 2 127.0.0.1 >nul\r\n"), 20s,
               [&](RunResult r) { result = r; });
  testing::RunUntil(
      io_, [&] { return result.has_value(); }, 1000);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->finished);
  EXPECT_GT(ticks, 5) << "the timer ran while the script did";
}

TEST_F(WindowsProcessRunnerTest, NoCallbackAfterTheRunnerIsGone) {
  const std::string marker = dir_ / "marker.txt";
  bool called = false;
  runner_->Run(Script("quick.bat", "@echo ran>\"" + marker + "\"\r\n"), std::nullopt,
               [&](RunResult) { called = true; });
  runner_.reset();
  // The script has run to its end; its news would have come by now.
  for (int i = 0; i < 500 && !Exists(marker); ++i) {
    io_.restart();
    io_.poll();
    ::Sleep(20);
  }
  for (int i = 0; i < 10; ++i) {
    io_.restart();
    io_.run_for(20ms);
  }
  EXPECT_TRUE(Exists(marker));
  EXPECT_FALSE(called);
}

TEST_F(WindowsProcessRunnerTest, ADocumentWithoutAProgramForItIsNotStarted) {
  const auto result = RunAndWait(Script("notes.ebbmark-unknown", "x"), 5s);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->started);
  EXPECT_TRUE(result->error);
}

}  // namespace
}  // namespace ebbmark
