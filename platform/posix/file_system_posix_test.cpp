#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "platform/posix/posix_test_support.h"
#include "platform/program_path.h"

namespace ebbmark {
namespace {

using testing::ReadText;
using testing::TempFolder;
using testing::WriteText;

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class PosixFileSystemTest : public ::testing::Test {
 protected:
  FileSystem& fs = RealFileSystem();
  TempFolder dir;
};

TEST_F(PosixFileSystemTest, ReadFileTellsMissingFromUnreadable) {
  WriteText(dir / "Ebbmark.ini", std::string("a\r\nb\0c", 6));
  WriteText(dir / "plain", "x");
  std::filesystem::create_directory(dir / "folder");

  auto ok = fs.ReadFile(dir / "Ebbmark.ini");
  EXPECT_EQ(ok.status, ReadResult::Status::Ok);
  EXPECT_EQ(ok.data, std::string("a\r\nb\0c", 6));

  EXPECT_EQ(fs.ReadFile(dir / "none.ini").status, ReadResult::Status::Missing);
  // A folder that is really a file is a missing path, not a fault.
  EXPECT_EQ(fs.ReadFile(dir / "plain/Ebbmark.ini").status, ReadResult::Status::Missing);

  auto folder = fs.ReadFile(dir / "folder");
  EXPECT_EQ(folder.status, ReadResult::Status::Error);
  EXPECT_TRUE(folder.error);
  EXPECT_TRUE(folder.data.empty());
}

TEST_F(PosixFileSystemTest, ReadFileRefusesSpecialAndOversizedFilesWithoutBlocking) {
  // A FIFO with no writer would block an ordinary open for good.
  ASSERT_EQ(::mkfifo((dir / "fifo.msg").c_str(), 0600), 0);
  ::symlink("/dev/zero", (dir / "zero.msg").c_str());
  ::symlink((dir / "fifo.msg").c_str(), (dir / "link-to-fifo.msg").c_str());
  for (const char* name : {"fifo.msg", "zero.msg", "link-to-fifo.msg"}) {
    const ReadResult r = fs.ReadFile(dir / name, kTemplateFileLimit);
    EXPECT_EQ(r.status, ReadResult::Status::Error) << name;
    EXPECT_EQ(r.error, FileError::NotRegular) << name;
  }

  // The cap is inclusive; one byte more is refused, behind a link too.
  WriteText(dir / "at-cap", std::string(kTemplateFileLimit, 'x'));
  WriteText(dir / "over-cap", std::string(kTemplateFileLimit + 1, 'x'));
  ::symlink((dir / "over-cap").c_str(), (dir / "link-over-cap").c_str());
  EXPECT_EQ(fs.ReadFile(dir / "at-cap", kTemplateFileLimit).data.size(), kTemplateFileLimit);
  for (const char* name : {"over-cap", "link-over-cap"}) {
    const ReadResult r = fs.ReadFile(dir / name, kTemplateFileLimit);
    EXPECT_EQ(r.status, ReadResult::Status::Error) << name;
    EXPECT_EQ(r.error, FileError::TooLarge) << name;
    EXPECT_TRUE(r.data.empty());
  }
  // The settings file's own cap is larger.
  EXPECT_EQ(fs.ReadFile(dir / "over-cap").status, ReadResult::Status::Ok);
}

// Owner and mode changes need root; CI and the black-box tests run as root.
class PosixWriteAccessTest : public PosixFileSystemTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
    ::chmod(dir.path().c_str(), 0755);
    WriteText(dir / "Ebbmark.ini", "[EbbmarkSvc]\n");
    ::chmod((dir / "Ebbmark.ini").c_str(), 0644);
  }
  WriteAccess Check(const std::string& path) { return fs.CheckWriteAccess(path); }
};

TEST_F(PosixWriteAccessTest, RootOwnedWithoutGroupOrOtherWriteIsTrusted) {
  // The folder above is the system's temporary folder: sticky and root's.
  const WriteAccess a = Check(dir / "Ebbmark.ini");
  EXPECT_TRUE(a.trusted) << DescribeWriteAccess(a);
  EXPECT_TRUE(Check(dir.path()).trusted);
}

TEST_F(PosixWriteAccessTest, NamesTheFirstEntryOthersCanWriteAndWho) {
  const std::string file = dir / "Ebbmark.ini";
  const struct {
    const char* what;
    std::function<void()> make;
    std::string path;
    std::string writers;
  } cases[] = {
      {"file owned by nobody", [&] { ::chown(file.c_str(), 65534, 0); }, file, "(uid 65534)"},
      {"group-writable file", [&] { ::chmod(file.c_str(), 0664); }, file, "group "},
      {"world-writable file", [&] { ::chmod(file.c_str(), 0646); }, file, "everyone"},
      {"folder owned by nobody", [&] { ::chown(dir.path().c_str(), 65534, 0); }, dir.path(),
       "(uid 65534)"},
      {"world-writable folder without the sticky bit", [&] { ::chmod(dir.path().c_str(), 0777); },
       dir.path(), "everyone"},
      {"sticky folder not owned by root",
       [&] {
         ::chmod(dir.path().c_str(), 01777);
         ::chown(dir.path().c_str(), 65534, 0);
       },
       dir.path(), "(uid 65534)"},
  };
  for (const auto& c : cases) {
    ::chown(file.c_str(), 0, 0);
    ::chmod(file.c_str(), 0644);
    ::chown(dir.path().c_str(), 0, 0);
    ::chmod(dir.path().c_str(), 0755);
    c.make();
    const WriteAccess a = Check(file);
    EXPECT_FALSE(a.trusted) << c.what;
    EXPECT_EQ(a.path, c.path) << c.what;
    EXPECT_NE(a.writers.find(c.writers), std::string::npos) << c.what << ": " << a.writers;
    EXPECT_NE(DescribeWriteAccess(a).find(c.path + " can be written by "), std::string::npos);
  }
  ::chown(dir.path().c_str(), 0, 0);
  ::chmod(dir.path().c_str(), 0755);
}

// An ACL's entries decide who may write, and the group bits then show only
// the mask: "group root" would name the wrong party.
TEST_F(PosixWriteAccessTest, AclEntriesNameWhoeverTheyLetWrite) {
  const std::string file = dir / "Ebbmark.ini";
  const struct {
    const char* acl;
    std::string writers;  // empty: trusted
  } cases[] = {
      {"u::rw-,u:nobody:rw-,g::r--,m::rw-,o::r--", "user nobody (uid 65534)"},
      {"u::rw-,g::r--,g:65534:rw-,m::rw-,o::r--", "(gid 65534)"},
      {"u::rw-,u:nobody:r--,g::r--,m::rw-,o::r--", ""},  // the mask shows rw-, nobody may only read
      {"u::rw-,u:nobody:rw-,g::r--,m::r--,o::r--", ""},  // the mask takes the write away
      {"u::rw-,u:root:rw-,g::r--,m::rw-,o::r--", ""},
      {"u::rw-,u:nobody:rw-,g::rw-,m::rw-,o::rw-",
       "user nobody (uid 65534), group root (gid 0), everyone"},
  };
  for (const auto& c : cases) {
    acl_t acl = acl_from_text(c.acl);
    ASSERT_NE(acl, nullptr) << c.acl;
    const int set = acl_set_file(file.c_str(), ACL_TYPE_ACCESS, acl);
    acl_free(acl);
    if (set != 0) GTEST_SKIP() << "no POSIX ACLs on " << dir.path();
    const WriteAccess a = Check(file);
    if (c.writers.empty()) {
      EXPECT_TRUE(a.trusted) << c.acl << ": " << DescribeWriteAccess(a);
    } else {
      EXPECT_FALSE(a.trusted) << c.acl;
      EXPECT_EQ(a.path, file) << c.acl;
      EXPECT_NE(a.writers.find(c.writers), std::string::npos) << c.acl << ": " << a.writers;
    }
  }
}

TEST_F(PosixWriteAccessTest, LinksAreJudgedWhereTheyLeadAndWhereTheyLie) {
  // A root-sticky open folder may hold root's files, as /tmp does.
  std::filesystem::create_directory(dir / "open");
  ::chmod((dir / "open").c_str(), 01777);
  WriteText(dir / "open/run.sh", "");
  ::chmod((dir / "open/run.sh").c_str(), 0755);
  EXPECT_TRUE(Check(dir / "open/run.sh").trusted);

  // A trusted link to a file others can write leads to the untrusted file.
  WriteText(dir / "theirs.sh", "");
  ::chown((dir / "theirs.sh").c_str(), 65534, 65534);
  ::symlink((dir / "theirs.sh").c_str(), (dir / "link.sh").c_str());
  WriteAccess a = Check(dir / "link.sh");
  EXPECT_FALSE(a.trusted);
  EXPECT_EQ(a.path, dir / "theirs.sh");

  // A link inside a folder others may change can be swapped at any time.
  std::filesystem::create_directory(dir / "shared");
  ::chown((dir / "shared").c_str(), 65534, 65534);
  ::symlink((dir / "Ebbmark.ini").c_str(), (dir / "shared/Ebbmark.ini").c_str());
  a = Check(dir / "shared/Ebbmark.ini");
  EXPECT_FALSE(a.trusted);
  EXPECT_EQ(a.path, dir / "shared");

  // A path that does not exist cannot be vouched for.
  a = Check(dir / "gone.sh");
  EXPECT_FALSE(a.trusted);
  EXPECT_TRUE(a.error);
}

TEST_F(PosixFileSystemTest, ReplaceFileCreatesAndReplacesKeepingPermissions) {
  const std::string path = dir / "Ebbmark.ini";
  ASSERT_FALSE(fs.ReplaceFile(path, "first"));
  EXPECT_EQ(ReadText(path), "first");

  ::chmod(path.c_str(), 0640);
  ASSERT_FALSE(fs.ReplaceFile(path, "second, longer"));
  EXPECT_EQ(ReadText(path), "second, longer");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  ASSERT_FALSE(fs.ReplaceFile(path, ""));
  EXPECT_EQ(ReadText(path), "");
  // No temporary file is left behind.
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"Ebbmark.ini"});
}

TEST_F(PosixFileSystemTest, ReplaceFileFailureLeavesNothingBehind) {
  // The folder does not exist: nothing can be written.
  EXPECT_TRUE(fs.ReplaceFile(dir / "missing/Ebbmark.ini", "x"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));

  // The target is a folder: the rename would fail; the folder and its
  // contents stay, and the temporary file is gone.
  std::filesystem::create_directory(dir / "Ebbmark.ini");
  WriteText(dir / "Ebbmark.ini/keep", "old");
  EXPECT_TRUE(fs.ReplaceFile(dir / "Ebbmark.ini", "new"));
  EXPECT_EQ(ReadText(dir / "Ebbmark.ini/keep"), "old");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"Ebbmark.ini"});

  EXPECT_TRUE(fs.ReplaceFile(std::string("a\0b", 3), "x"));
  EXPECT_TRUE(fs.ReplaceFile(dir.path() + "/", "x"));
}

TEST_F(PosixFileSystemTest, ReplaceFileAcceptsANameAtTheLengthLimit) {
  const std::string path = dir / std::string(255, 'n');
  ASSERT_FALSE(fs.ReplaceFile(path, "x"));
  EXPECT_EQ(ReadText(path), "x");
  EXPECT_EQ(Entries(dir.path()).size(), 1u);
}

TEST_F(PosixFileSystemTest, StampSeesSubSecondChangesAndSize) {
  const std::string path = dir / "Ebbmark.ini";
  WriteText(path, "aaaa");
  // Two saves within the same second, 100 ns apart.
  const timespec first[2] = {{1'800'000'000, 100}, {1'800'000'000, 100}};
  const timespec second[2] = {{1'800'000'000, 200}, {1'800'000'000, 200}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), first, 0), 0);
  const auto a = fs.Stamp(path);
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), second, 0), 0);
  const auto b = fs.Stamp(path);
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(b->mtime_ns, 1'800'000'000'000'000'200);
  EXPECT_EQ(b->size, 4u);

  // Same time, other size: still a change.
  WriteText(path, "aaaaa");
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), second, 0), 0);
  const auto c = fs.Stamp(path);
  ASSERT_TRUE(c);
  EXPECT_NE(*b, *c);

  EXPECT_FALSE(fs.Stamp(dir / "missing.ini"));
  EXPECT_FALSE(fs.Stamp(dir / "missing/Ebbmark.ini"));
  EXPECT_FALSE(fs.Stamp(std::string("a\0b", 3)));
}

TEST_F(PosixFileSystemTest, PatternMatchesSkipsHiddenEntriesAndBadPaths) {
  for (const char* name : {"Ebbmark.ini", "run.sh", "data[1].txt", ".hidden.exe", ".profile"}) {
    WriteText(dir / name, "x");
  }
  std::filesystem::create_directory(dir / "tools");
  std::filesystem::create_directory(dir / ".git");

  struct Case {
    std::string pattern;
    bool expected;
  };
  const std::vector<Case> cases = {
      {dir / "*.ini", true},
      {dir / "run.?h", true},
      {dir / "r[tu]n.sh", true},
      {dir / "run.sh", true},
      {dir / "data[1].txt", true},  // a name that is itself a pattern
      {dir / "tools", true},
      {dir / "to*", true},
      {dir / "*", true},
      {dir / "*.exe", false},  // only a hidden file would match
      {dir / ".hidden.exe", false},
      {dir / ".hid*", false},
      {dir / ".git", false},
      {dir / "*.bat", false},
      {dir / "RUN.SH", false},
      {dir / "nothing.sh", false},
      {dir / "missing/*.sh", false},
      {dir / "missing/run.sh", false},
      {dir / "run.sh/*", false},
      {dir / (std::string(300, 'r') + "*"), false},
      {dir / std::string(300, 'r'), false},
      {dir.path() + "/", false},
      {std::string(dir / "run.sh") + std::string("\0x", 2), false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fs.PatternMatches(c.pattern), c.expected) << c.pattern;
  }
}

TEST_F(PosixFileSystemTest, AppendLineAddsWholeLines) {
  const std::string path = dir / "events.jsonl";
  ASSERT_FALSE(fs.AppendLine(path, "{\"id\":110}"));
  ASSERT_FALSE(fs.AppendLine(path, ""));
  ASSERT_FALSE(fs.AppendLine(path, "last"));
  EXPECT_EQ(ReadText(path), "{\"id\":110}\n\nlast\n");
  EXPECT_TRUE(fs.AppendLine(dir / "missing/events.jsonl", "x"));
}

TEST_F(PosixFileSystemTest, AppendLineFromSeveralWritersNeverInterleaves) {
  const std::string path = dir / "events.jsonl";
  constexpr int kWriters = 4;
  constexpr int kLines = 100;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      const std::string line(3000, static_cast<char>('a' + w));
      for (int i = 0; i < kLines; ++i) fs.AppendLine(path, line);
    });
  }
  for (auto& t : writers) t.join();

  std::istringstream in(ReadText(path));
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    ASSERT_EQ(line.size(), 3000u);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos);
  }
  EXPECT_EQ(count, kWriters * kLines);
}

TEST(PosixPathTest, JoinPath) {
  EXPECT_EQ(JoinPath("/etc/ebbmark", "Ebbmark.ini"), "/etc/ebbmark/Ebbmark.ini");
  EXPECT_EQ(JoinPath("/etc/ebbmark/", "Ebbmark.ini"), "/etc/ebbmark/Ebbmark.ini");
  EXPECT_EQ(JoinPath("/", "Ebbmark.ini"), "/Ebbmark.ini");
  EXPECT_EQ(JoinPath("", "Ebbmark.ini"), "Ebbmark.ini");
}

TEST(PosixPathTest, ProgramPathIsThisExecutable) {
  const std::string path = ProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
  EXPECT_EQ(ProgramFolder(), std::filesystem::path(path).parent_path().string());
}

}  // namespace
}  // namespace ebbmark
