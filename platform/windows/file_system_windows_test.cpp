#include "platform/file_system.h"

#include <windows.h>
// windows.h names ReplaceFileA "ReplaceFile", which would rename the
// file system's method of that name in this file.
#undef ReplaceFile

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/program_path.h"
#include "platform/windows/windows_test_support.h"

namespace ebbmark {
namespace {

using testing::Attributes;
using testing::FolderEntries;
using testing::ReadBytes;
using testing::WriteBytes;

class WindowsFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  testing::TempFolder dir_;
  FileSystem& fs_ = RealFileSystem();
};

TEST_F(WindowsFileSystemTest, ReadFileTellsMissingFromUnreadable) {
  EXPECT_EQ(fs_.ReadFile(dir_ / "none.ini").status, ReadResult::Status::Missing);
  EXPECT_EQ(fs_.ReadFile(dir_ / "no folder\\none.ini").status, ReadResult::Status::Missing);
  EXPECT_EQ(fs_.ReadFile(std::string("C:\\a\0b", 6)).status, ReadResult::Status::Missing);

  const ReadResult folder = fs_.ReadFile(dir_.path());
  EXPECT_EQ(folder.status, ReadResult::Status::Error);
  EXPECT_TRUE(folder.error);

  ASSERT_TRUE(WriteBytes(dir_ / "a.ini", "[EbbmarkSvc]\r\nTCPHost=relay\r\n"));
  const ReadResult ok = fs_.ReadFile(dir_ / "a.ini");
  EXPECT_EQ(ok.status, ReadResult::Status::Ok);
  EXPECT_EQ(ok.data, "[EbbmarkSvc]\r\nTCPHost=relay\r\n");
}

TEST_F(WindowsFileSystemTest, ReadFileRefusesDevicesAndOversizedFiles) {
  // A device is no settings file; reading CON or a COM port could wait for ever.
  const ReadResult device = fs_.ReadFile("NUL");
  EXPECT_EQ(device.status, ReadResult::Status::Error);
  EXPECT_EQ(device.error, FileError::NotRegular);

  WriteBytes(dir_ / "at-cap.msg", std::string(kTemplateFileLimit, 'x'));
  WriteBytes(dir_ / "over-cap.msg", std::string(kTemplateFileLimit + 1, 'x'));
  EXPECT_EQ(fs_.ReadFile(dir_ / "at-cap.msg", kTemplateFileLimit).data.size(), kTemplateFileLimit);
  const ReadResult over = fs_.ReadFile(dir_ / "over-cap.msg", kTemplateFileLimit);
  EXPECT_EQ(over.status, ReadResult::Status::Error);
  EXPECT_EQ(over.error, FileError::TooLarge);
  EXPECT_EQ(fs_.ReadFile(dir_ / "over-cap.msg").status, ReadResult::Status::Ok);
}

TEST_F(WindowsFileSystemTest, CheckWriteAccessCannotVouchForWhatIsNotThere) {
  const WriteAccess missing = fs_.CheckWriteAccess(dir_ / "none\\gone.ini");
  EXPECT_FALSE(missing.trusted);
  EXPECT_TRUE(missing.error);
  EXPECT_NE(DescribeWriteAccess(missing).find("could not be checked"), std::string::npos);
}

TEST_F(WindowsFileSystemTest, ReplaceFileCreatesAndReplacesWithoutLeftovers) {
  const std::string path = dir_ / "Ebbmark.ini";
  ASSERT_FALSE(fs_.ReplaceFile(path, "first\r\n"));
  EXPECT_EQ(ReadBytes(path), "first\r\n");
  ASSERT_FALSE(fs_.ReplaceFile(path, "second\r\n"));
  EXPECT_EQ(ReadBytes(path), "second\r\n");
  // The temporary file is gone and its hidden mark did not carry over.
  EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"Ebbmark.ini"});
  EXPECT_FALSE(Attributes(path) & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(WindowsFileSystemTest, ReplaceFileWritesTextTheWayItIsRead) {
  const std::string path = dir_ / "Ebbmark.ini";
  const std::string cafe = "SMTPFrom=caf\xC3\xA9@example.test\r\n";
  const std::string japanese = "SMTPFrom=\xE6\x97\xA5\xE6\x9C\xAC@example.test\r\n";
  for (const auto& text : {cafe, japanese}) {
    ASSERT_FALSE(fs_.ReplaceFile(path, text));
    EXPECT_EQ(fs_.ReadFile(path).data, text);
  }
  if (::GetACP() == 1252) {
    ASSERT_FALSE(fs_.ReplaceFile(path, cafe));
    EXPECT_EQ(ReadBytes(path), "SMTPFrom=caf\xE9@example.test\r\n")
        << "stored in the ANSI code page";
  }
}

TEST_F(WindowsFileSystemTest, ReplaceFileFailureLeavesTheOldFile) {
  EXPECT_TRUE(fs_.ReplaceFile(dir_ / "no folder\\Ebbmark.ini", "x"));
  EXPECT_TRUE(fs_.ReplaceFile(dir_.path(), "x")) << "a folder is never replaced";

  const std::string path = dir_ / "Ebbmark.ini";
  ASSERT_TRUE(WriteBytes(path, "old"));
  ASSERT_TRUE(::SetFileAttributesW(win::Widen(path).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(fs_.ReplaceFile(path, "new"));
  EXPECT_EQ(ReadBytes(path), "old");
  EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"Ebbmark.ini"});
}

TEST_F(WindowsFileSystemTest, StampSeesSubSecondChangesAndSize) {
  const std::string path = dir_ / "a.ini";
  EXPECT_FALSE(fs_.Stamp(path));
  ASSERT_TRUE(WriteBytes(path, "12345"));

  auto set_time = [&](std::uint64_t ticks) {
    HANDLE h = ::CreateFileW(win::Widen(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    EXPECT_TRUE(::SetFileTime(h, nullptr, nullptr, &ft));
    ::CloseHandle(h);
  };
  // 2026-12-07 05:45:22 UTC and two times within that second.
  const std::uint64_t second = (1796622322ULL + 11644473600ULL) * 10'000'000ULL;
  set_time(second + 1'000'000);
  const auto a = fs_.Stamp(path);
  set_time(second + 8'000'000);
  const auto b = fs_.Stamp(path);
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(a->mtime_ns, 1796622322LL * 1'000'000'000 + 100'000'000);
  EXPECT_EQ(a->size, 5u);
}

TEST_F(WindowsFileSystemTest, PatternMatchesSkipsHiddenAndSystemEntries) {
  ASSERT_TRUE(WriteBytes(dir_ / "save work.bat", "@echo off\r\n"));
  ASSERT_TRUE(WriteBytes(dir_ / "secret.cmd", ""));
  ASSERT_TRUE(::SetFileAttributesW(win::Widen(dir_ / "secret.cmd").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(WriteBytes(dir_ / "boot.cmd", ""));
  ASSERT_TRUE(::SetFileAttributesW(win::Widen(dir_ / "boot.cmd").c_str(), FILE_ATTRIBUTE_SYSTEM));

  struct Case {
    std::string pattern;
    bool matches;
  };
  const Case cases[] = {
      {dir_ / "save work.bat", true},
      {dir_ / "SAVE WORK.BAT", true},
      {dir_ / "save*.bat", true},
      {dir_ / "save work.ba?", true},
      {dir_ / "*.cmd", false},  // only hidden and system entries
      {dir_ / "secret.cmd", false},
      {dir_ / "boot.cmd", false},
      {dir_ / "missing.bat", false},
      {dir_ / "no folder\\save work.bat", false},
      {dir_.path() + "\\", false},
      {"", false},
      {std::string("C:\\a\0b", 6), false},
  };
  for (const auto& c : cases) EXPECT_EQ(fs_.PatternMatches(c.pattern), c.matches) << c.pattern;
}

TEST_F(WindowsFileSystemTest, AppendLineFromSeveralWritersNeverInterleaves) {
  const std::string path = dir_ / "events.jsonl";
  constexpr int kWriters = 4;
  constexpr int kLines = 50;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      const std::string line(200, static_cast<char>('a' + w));
      for (int i = 0; i < kLines; ++i) EXPECT_FALSE(fs_.AppendLine(path, line));
    });
  }
  for (auto& t : writers) t.join();
  const std::string all = ReadBytes(path).value_or("");
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kWriters * kLines * 201));
  for (std::size_t pos = 0; pos < all.size(); pos += 201) {
    const std::string line = all.substr(pos, 201);
    EXPECT_EQ(line, std::string(200, line[0]) + "\n");
  }
  EXPECT_TRUE(fs_.AppendLine(dir_ / "no folder\\x.jsonl", "x"));
}

TEST(WindowsPathTest, JoinPathAndProgramPath) {
  EXPECT_EQ(JoinPath("C:\\Ebbmark", "Ebbmark.ini"), "C:\\Ebbmark\\Ebbmark.ini");
  EXPECT_EQ(JoinPath("C:\\", "Ebbmark.ini"), "C:\\Ebbmark.ini");
  EXPECT_EQ(JoinPath("C:", "Ebbmark.ini"), "C:Ebbmark.ini");
  EXPECT_EQ(JoinPath("", "Ebbmark.ini"), "Ebbmark.ini");

  const std::string program = ProgramPath();
  const std::string folder = ProgramFolder();
  ASSERT_GT(program.size(), folder.size());
  EXPECT_EQ(program.substr(0, folder.size() + 1), folder + "\\");
  std::string name = program.substr(folder.size() + 1);
  std::transform(name.begin(), name.end(), name.begin(), ::tolower);
  EXPECT_EQ(name, "unit_tests.exe");
}

}  // namespace
}  // namespace ebbmark
