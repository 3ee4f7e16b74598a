#include "platform/windows/write_access_windows.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace ebbmark::win {
namespace {

// Who may change an object described by `sddl`, with `self` as this program's account.
std::string Writers(const std::wstring& sddl, const wchar_t* self = nullptr) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr))
    return "<bad SDDL>";
  PSID self_sid = nullptr;
  if (self != nullptr) ::ConvertStringSidToSidW(self, &self_sid);
  std::string writers = OtherWritersInDescriptor(sd, self_sid);
  if (self_sid != nullptr) ::LocalFree(self_sid);
  ::LocalFree(sd);
  return writers;
}

TEST(WindowsWriteAccessTest, AdministratorsSystemAndTrustedInstallerMayWrite) {
  const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  // Program Files as installed: users read and run, creators own only their children.
  EXPECT_EQ(Writers(L"O:" + installer + L"D:(A;;FA;;;" + installer +
                    L")(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)"),
            "");
  EXPECT_EQ(Writers(L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(D;;FA;;;WD)"), "")
      << "a denying entry grants nothing";
}

TEST(WindowsWriteAccessTest, AnyoneElseWhoCanChangeItIsNamed) {
  const struct {
    const wchar_t* sddl;
    const char* who;  // part of the account's name or SID text
  } cases[] = {
      {L"O:SYD:(A;;FA;;;SY)(A;;FA;;;WD)", "S-1-1-0"},        // everyone, full control
      {L"O:SYD:(A;;FA;;;SY)(A;;0x2;;;BU)", "S-1-5-32-545"},  // users may write data
      {L"O:SYD:(A;;FA;;;SY)(A;;0x4;;;AU)", "S-1-5-11"},      // append (add a folder)
      {L"O:SYD:(A;;FA;;;SY)(A;;WD;;;BU)", "S-1-5-32-545"},   // may change the permissions
      {L"O:SYD:(A;;FA;;;SY)(A;;SD;;;BU)", "S-1-5-32-545"},   // may delete and replace it
      {L"O:BUD:(A;;FA;;;SY)", "S-1-5-32-545"},               // the owner can always
      {L"O:SYD:(A;;FA;;;SY)(A;;GW;;;S-1-5-21-1-2-3-1001)", "S-1-5-21-1-2-3-1001"},
  };
  for (const auto& c : cases) {
    const std::string writers = Writers(c.sddl);
    EXPECT_FALSE(writers.empty()) << c.who;
    // Names depend on the system's language; the SID text is the fallback.
    if (writers.find(c.who) == std::string::npos) {
      EXPECT_EQ(writers.find("S-1-5-18"), std::string::npos) << writers;
    }
  }

  // No DACL at all: open to everyone.
  SECURITY_DESCRIPTOR open{};
  ::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  EXPECT_EQ(OtherWritersInDescriptor(&open, nullptr), "everyone");
}

std::string Readers(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr))
    return "<bad SDDL>";
  std::string readers = OtherReadersInDescriptor(sd, nullptr);
  ::LocalFree(sd);
  return readers;
}

// A password file is for its owner, SYSTEM and Administrators alone.
TEST(WindowsWriteAccessTest, ReadersBesidesOwnerAndAdministratorsAreNamed) {
  // As the secret store writes it, and owned by the user who saved it.
  EXPECT_EQ(Readers(L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)"), "");
  EXPECT_EQ(Readers(L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)(A;;FR;;;S-1-5-21-1-2-3-1001)"), "");
  // Inherited from a folder users may read, or granted outright.
  EXPECT_FALSE(Readers(L"O:SYD:(A;;FA;;;SY)(A;ID;0x1200a9;;;BU)").empty());
  EXPECT_FALSE(Readers(L"O:SYD:(A;;FA;;;SY)(A;;GR;;;WD)").empty());
  EXPECT_FALSE(Readers(L"O:SYD:(A;;FA;;;SY)(A;;0x1;;;S-1-5-21-1-2-3-1002)").empty());
  // Rights that show names or attributes only give nothing away.
  EXPECT_EQ(Readers(L"O:SYD:(A;;FA;;;SY)(A;;0x80;;;WD)"), "");
  EXPECT_EQ(Readers(L"O:SYD:(A;;FA;;;SY)(D;;FA;;;WD)"), "") << "a denying entry grants nothing";
  SECURITY_DESCRIPTOR open{};
  ::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  EXPECT_EQ(OtherReadersInDescriptor(&open, nullptr), "everyone");
}

TEST(WindowsWriteAccessTest, TheProgramsOwnAccountIsTrusted) {
  const wchar_t* self = L"S-1-5-21-1-2-3-1001";
  EXPECT_EQ(Writers(L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)", self), "");
  EXPECT_FALSE(Writers(L"O:SYD:(A;;FA;;;S-1-5-21-1-2-3-1002)", self).empty());
}

}  // namespace
}  // namespace ebbmark::win
