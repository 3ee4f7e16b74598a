#include "platform/secret_store.h"

#include <acl/libacl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/posix/posix_test_support.h"

namespace ebbmark {
namespace {

using testing::ReadText;
using testing::TempFolder;
using testing::WriteText;

unsigned Mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class PosixSecretStoreTest : public ::testing::Test {
 protected:
  SecretStore& store = RealSecretStore();
  TempFolder dir;
};

// Even with a umask that would leave a new file open to everyone, and over
// an old file others could read, the password file ends up readable by its
// owner alone, and no temporary file is left beside it.
TEST_F(PosixSecretStoreTest, WrittenFileIsReadableByItsOwnerOnly) {
  const std::string path = dir / "smtp.secret";
  const mode_t old_mask = ::umask(0);
  WriteText(path, "old");
  ::chmod(path.c_str(), 0666);
  const auto error = store.Write(path, "p@ss word");
  ::umask(old_mask);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(Mode(path), 0600u);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(ReadText(path), "p@ss word");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(PosixSecretStoreTest, ReadTellsMissingFromUnreadableAndDropsALineEnd) {
  const std::string path = dir / "smtp.secret";
  EXPECT_EQ(store.Read(path).status, SecretRead::Status::Missing);

  WriteText(path, "typed by hand\n");
  ::chmod(path.c_str(), 0600);
  const auto by_hand = store.Read(path);
  EXPECT_EQ(by_hand.status, SecretRead::Status::Ok);
  EXPECT_EQ(by_hand.value, "typed by hand");

  std::filesystem::create_directory(dir / "folder");
  const auto folder = store.Read(dir / "folder");
  EXPECT_EQ(folder.status, SecretRead::Status::Error);
  EXPECT_TRUE(folder.error);

  WriteText(path, std::string(100 * 1024, 'x'));
  EXPECT_EQ(store.Read(path).status, SecretRead::Status::Error);

  // A FIFO in its place is refused at once instead of waiting for a writer.
  const std::string fifo = dir / "fifo.secret";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(store.Read(fifo).status, SecretRead::Status::Error);
}

// A password others may already have read is not used, as a login server
// will not use a key file others can read.
TEST_F(PosixSecretStoreTest, AFileOthersCanReadIsNotUsed) {
  const std::string path = dir / "smtp.secret";
  WriteText(path, "p");
  const struct {
    mode_t mode;
    const char* acl;  // set after the mode, or nullptr
    std::string readers;
  } cases[] = {
      {0644, nullptr, "group root (gid 0), everyone"},
      {0640, nullptr, "group root (gid 0)"},
      {0604, nullptr, "everyone"},
      {0600, "u::rw-,u:nobody:r--,g::---,m::r--,o::---", "user nobody (uid 65534)"},
      {0600, "u::rw-,u:nobody:r--,g::---,m::---,o::---", ""},  // the mask keeps nobody out
      {0600, nullptr, ""},
      {0400, nullptr, ""},
  };
  for (const auto& c : cases) {
    ::chmod(path.c_str(), c.mode);
    if (c.acl != nullptr) {
      acl_t acl = acl_from_text(c.acl);
      const int set = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl);
      acl_free(acl);
      if (set != 0) continue;  // no ACLs on this file system
    }
    const SecretRead r = store.Read(path);
    if (c.readers.empty()) {
      EXPECT_EQ(r.status, SecretRead::Status::Ok) << c.mode << " " << r.readers;
      EXPECT_EQ(r.value, "p");
    } else {
      EXPECT_EQ(r.status, SecretRead::Status::Error) << c.mode;
      EXPECT_EQ(r.readers, c.readers) << c.mode;
      EXPECT_EQ(r.remedy, "chmod 600 " + path) << c.mode;
      EXPECT_TRUE(r.value.empty());
    }
    acl_t plain = acl_from_mode(0600);
    acl_set_file(path.c_str(), ACL_TYPE_ACCESS, plain);
    acl_free(plain);
  }
}

TEST_F(PosixSecretStoreTest, RemoveOfAMissingFileIsNoFailureAndAFailedWriteKeepsTheOld) {
  const std::string path = dir / "smtp.secret";
  EXPECT_FALSE(store.Remove(path));
  ASSERT_FALSE(store.Write(path, "kept"));
  EXPECT_TRUE(store.Write(dir / "no-such-folder/smtp.secret", "x"));
  EXPECT_EQ(store.Read(path).value, "kept");
  EXPECT_FALSE(store.Remove(path));
  EXPECT_EQ(store.Read(path).status, SecretRead::Status::Missing);
}

}  // namespace
}  // namespace ebbmark
