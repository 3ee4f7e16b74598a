#include "tools/settings-writer/folder_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/posix/posix_test_support.h"

namespace ebbmark {
namespace {

using testing::ReadText;
using testing::TempFolder;
using testing::WriteText;

std::string Accept(std::string_view) {
  return {};
}

// The names in a folder, to see that no temporary file was left behind.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

TEST(ReplaceFolderFile, ReplacesKeepingOwnerAndMode) {
  TempFolder folder;
  const std::string file = folder / "Ebbmark.ini";
  WriteText(file, "old");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  // As root the owner can be anyone's: the new file must take it over.
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(file.c_str(), 4321, 4322), 0);
  }
  const ino_t old_inode = StatOf(file).st_ino;

  std::string seen_old;
  const auto result =
      ReplaceFolderFile(folder.path(), "Ebbmark.ini", "new", 0600, [&](std::string_view old) {
        seen_old = old;
        return std::string();
      });
  ASSERT_TRUE(result.ok()) << result.error.message() << result.refused;
  EXPECT_EQ(seen_old, "old");
  EXPECT_EQ(ReadText(file), "new");
  const struct stat st = StatOf(file);
  EXPECT_NE(st.st_ino, old_inode) << "replaced by a rename, not rewritten in place";
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
  EXPECT_EQ(Names(folder.path()), std::vector<std::string>{"Ebbmark.ini"});

  // No file yet: created with the mode given for a new one.
  const auto created = ReplaceFolderFile(folder.path(), "smtp.secret", "pw", 0600, Accept);
  ASSERT_TRUE(created.ok());
  EXPECT_EQ(StatOf(folder / "smtp.secret").st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(folder / "smtp.secret").st_uid, ::geteuid());
}

TEST(ReplaceFolderFile, RefusesAndLeavesTheOldFileAsItWas) {
  TempFolder folder;
  TempFolder outside;
  const std::string file = folder / "Ebbmark.ini";
  WriteText(outside / "passwd", "root:x:0:0\n");

  // The check says no.
  WriteText(file, "old");
  auto result = ReplaceFolderFile(folder.path(), "Ebbmark.ini", "new", 0644,
                                  [](std::string_view) { return std::string("bad key"); });
  EXPECT_EQ(result.refused, "bad key");
  EXPECT_EQ(ReadText(file), "old");

  // A link in the file's place, out of the folder or not, is not followed.
  std::filesystem::remove(file);
  std::filesystem::create_symlink(outside / "passwd", file);
  result = ReplaceFolderFile(folder.path(), "Ebbmark.ini", "new", 0644, Accept);
  EXPECT_EQ(result.error, std::errc::too_many_symbolic_link_levels);
  EXPECT_EQ(ReadText(outside / "passwd"), "root:x:0:0\n");
  EXPECT_TRUE(std::filesystem::is_symlink(file));

  // Something other than a plain file: a folder, a FIFO (which must not
  // hang the helper).
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_EQ(ReplaceFolderFile(folder.path(), "Ebbmark.ini", "new", 0644, Accept).error,
            std::errc::invalid_argument);
  std::filesystem::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(ReplaceFolderFile(folder.path(), "Ebbmark.ini", "new", 0644, Accept).error,
            std::errc::invalid_argument);

  // A name that would leave the folder; a folder that is not there.
  EXPECT_EQ(ReplaceFolderFile(folder.path(), "../passwd", "new", 0644, Accept).error,
            std::errc::invalid_argument);
  EXPECT_FALSE(ReplaceFolderFile(folder / "missing", "Ebbmark.ini", "new", 0644, Accept).ok());
  EXPECT_EQ(ReadText(outside / "passwd"), "root:x:0:0\n");
  EXPECT_EQ(Names(folder.path()), std::vector<std::string>{"Ebbmark.ini"});
}

// The password file is root's alone, even where an old copy was left
// readable by others; removing it takes a link away without following it.
TEST(FolderFile, FixedAccessNarrowsAnOldFileAndRemoveNeverFollowsALink) {
  TempFolder folder;
  TempFolder outside;
  const std::string secret = folder / "smtp.secret";
  WriteText(secret, "old");
  ASSERT_EQ(::chmod(secret.c_str(), 0644), 0);
  const auto result =
      ReplaceFolderFile(folder.path(), "smtp.secret", "new", 0600, Accept, FileAccess::Fixed);
  ASSERT_TRUE(result.ok()) << result.error.message();
  EXPECT_EQ(ReadText(secret), "new");
  EXPECT_EQ(StatOf(secret).st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(secret).st_uid, ::geteuid());

  EXPECT_FALSE(RemoveFolderFile(folder.path(), "smtp.secret"));
  EXPECT_FALSE(std::filesystem::exists(secret));
  EXPECT_FALSE(RemoveFolderFile(folder.path(), "smtp.secret")) << "already gone is no failure";

  WriteText(outside / "keep", "x");
  std::filesystem::create_symlink(outside / "keep", secret);
  EXPECT_FALSE(RemoveFolderFile(folder.path(), "smtp.secret"));
  EXPECT_FALSE(std::filesystem::is_symlink(secret));
  EXPECT_EQ(ReadText(outside / "keep"), "x");
  EXPECT_EQ(RemoveFolderFile(folder.path(), "../keep"), std::errc::invalid_argument);
}

}  // namespace
}  // namespace ebbmark
