#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/posix/pkexec_writer_posix.h"
#include "platform/posix/posix_test_support.h"

namespace ebbmark {
namespace {

using testing::ReadText;
using testing::ScopedEnv;
using testing::TempFolder;
using testing::WriteText;

// The real helper behind a stand-in pkexec that lets everything through,
// or answers as polkit does to a dismissed password prompt when told to.
class PkexecWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteText(bin / "pkexec",
              "#!/bin/sh\n"
              "[ -f \"$0.deny\" ] && exit 126\n"
              "exec \"$@\"\n");
    ::chmod((bin / "pkexec").c_str(), 0755);
    WriteText(Ini(), kOld);
  }
  std::string Ini() const { return settings / "Ebbmark.ini"; }
  void DenyPassword() { WriteText(bin / "pkexec.deny", ""); }

  static constexpr const char* kOld = "[Notes]\nOwner=ops\n[EbbmarkSvc]\nSDSOC=70\n";
  TempFolder bin;
  TempFolder settings;
  ScopedEnv path{"PATH", bin.path() + ":/usr/bin:/bin"};
  ScopedEnv home{"EBBMARK_HOME", settings.path()};
  std::unique_ptr<PrivilegedWriter> writer =
      MakePkexecWriter(EBBMARK_SETTINGS_WRITER_PROGRAM, settings.path());
};

TEST_F(PkexecWriterTest, TheHelperWritesAValidFile) {
  const std::string text = "[Notes]\nOwner=ops\n[EbbmarkSvc]\nSDSOC=80\nTCPHost=relay\n";
  EXPECT_FALSE(writer->Replace(ProtectedFile::Settings, Ini(), text));
  EXPECT_EQ(ReadText(Ini()), text);
}

TEST_F(PkexecWriterTest, EachFailureIsToldApartAndLeavesTheFile) {
  // Contents the helper refuses.
  EXPECT_EQ(writer->Replace(ProtectedFile::Settings, Ini(), "[EbbmarkSvc]\nRunAs=root\n"),
            PrivilegedWriteError::Refused);
  // A file that is not the helper's to write: pkexec is not even asked.
  EXPECT_EQ(writer->Replace(ProtectedFile::Settings, "/tmp/Ebbmark.ini", kOld),
            PrivilegedWriteError::NotAvailable);
  // The password prompt dismissed.
  DenyPassword();
  EXPECT_EQ(writer->Replace(ProtectedFile::Settings, Ini(), "[Notes]\nOwner=ops\n[EbbmarkSvc]\n"),
            PrivilegedWriteError::NotAuthorized);
  EXPECT_EQ(ReadText(Ini()), kOld);

  // No pkexec at all on this computer.
  ScopedEnv no_pkexec("PATH", settings.path());
  EXPECT_EQ(writer->Replace(ProtectedFile::Settings, Ini(), kOld),
            PrivilegedWriteError::NotAvailable);
  // The helper cannot write: its folder is gone.
  const auto gone = MakePkexecWriter(EBBMARK_SETTINGS_WRITER_PROGRAM, settings / "gone");
  ScopedEnv gone_home("EBBMARK_HOME", settings / "gone");
  ScopedEnv back("PATH", bin.path() + ":/usr/bin:/bin");
  std::remove((bin / "pkexec.deny").c_str());
  EXPECT_EQ(gone->Replace(ProtectedFile::Settings, settings / "gone/Ebbmark.ini", kOld),
            PrivilegedWriteError::Failed);
}

}  // namespace
}  // namespace ebbmark
