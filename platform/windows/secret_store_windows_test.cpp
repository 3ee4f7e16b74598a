#include "platform/secret_store.h"

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/windows/text_windows.h"
#include "platform/windows/windows_test_support.h"

namespace ebbmark {
namespace {

using testing::TempFolder;

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file's access list as SDDL: who may do what.
std::string AccessList(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  if (::GetNamedSecurityInfoW(win::Widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return "unreadable";
  LPWSTR text = nullptr;
  std::string out = "none";
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    out = win::Narrow(text);
    ::LocalFree(text);
  }
  ::LocalFree(sd);
  return out;
}

// Wine keeps no access lists on its files (it shows one made from the Unix
// mode), so the list can only be checked on Windows itself.
bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class WindowsSecretStoreTest : public ::testing::Test {
 protected:
  SecretStore& store = RealSecretStore();
  TempFolder dir;
};

// The bytes on disk are not the password, and the file admits SYSTEM and
// Administrators only, with nothing inherited from the folder.
TEST_F(WindowsSecretStoreTest, PasswordIsEncryptedAndTheFileAdmitsAdministratorsOnly) {
  const std::string path = dir / "smtp.secret";
  std::string password = " p@ss word ";
  for (int b = 0x80; b < 0x100; b += 5) password += static_cast<char>(b);
  const auto error = store.Write(path, password);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(Bytes(path).find("p@ss"), std::string::npos);

  const SecretRead back = store.Read(path);
  EXPECT_EQ(back.status, SecretRead::Status::Ok);
  EXPECT_EQ(back.value, password);

  if (UnderWine()) return;
  const std::string acl = AccessList(path);
  EXPECT_NE(acl.find("D:P"), std::string::npos) << acl;
  EXPECT_NE(acl.find(";;;SY)"), std::string::npos) << acl;
  EXPECT_NE(acl.find(";;;BA)"), std::string::npos) << acl;
  EXPECT_EQ(acl.find(";;;WD)"), std::string::npos) << acl;
  EXPECT_EQ(acl.find(";;;BU)"), std::string::npos) << acl;
}

TEST_F(WindowsSecretStoreTest, MissingTamperedAndRemovedFiles) {
  const std::string path = dir / "smtp.secret";
  EXPECT_EQ(store.Read(path).status, SecretRead::Status::Missing);
  EXPECT_FALSE(store.Remove(path));

  // Bytes that no DPAPI call made are an error, never taken for the password.
  std::ofstream(path, std::ios::binary) << "plain text password";
  const SecretRead tampered = store.Read(path);
  EXPECT_EQ(tampered.status, SecretRead::Status::Error);
  EXPECT_TRUE(tampered.value.empty());

  ASSERT_FALSE(store.Write(path, "new"));
  EXPECT_EQ(store.Read(path).value, "new");
  EXPECT_FALSE(store.Remove(path));
  EXPECT_EQ(store.Read(path).status, SecretRead::Status::Missing);
}

}  // namespace
}  // namespace ebbmark
