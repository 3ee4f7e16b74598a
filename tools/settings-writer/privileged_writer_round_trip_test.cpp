#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <string>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <functional>

#include "common/settings.h"

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
  // One write, run on the loop until it answers (bounded in time).
  std::error_code Write(PrivilegedWriter& w, ProtectedFile file, const std::string& path,
                        const std::string& contents) {
    std::optional<std::error_code> answer;
    w.Replace(file, path, contents, [&](std::error_code e) { answer = e; });
    EXPECT_FALSE(answer) << "answered from inside the call";
    io.restart();
    for (int i = 0; i < 300 && !answer; ++i) io.run_for(std::chrono::milliseconds{100});
    EXPECT_TRUE(answer) << "no answer in 30 s";
    return answer.value_or(std::make_error_code(std::errc::timed_out));
  }
  void DenyPassword() { WriteText(bin / "pkexec.deny", ""); }

  static constexpr const char* kOld = "[Notes]\nOwner=ops\n[EbbmarkSvc]\nSDSOC=70\n";
  TempFolder bin;
  TempFolder settings;
  ScopedEnv path{"PATH", bin.path() + ":/usr/bin:/bin"};
  ScopedEnv home{"EBBMARK_HOME", settings.path()};
  asio::io_context io;
  std::unique_ptr<PrivilegedWriter> writer =
      MakePkexecWriter(io, EBBMARK_SETTINGS_WRITER_PROGRAM, settings.path());
};

TEST_F(PkexecWriterTest, TheHelperWritesAValidFile) {
  const std::string text = "[Notes]\nOwner=ops\n[EbbmarkSvc]\nSDSOC=80\nTCPHost=relay\n";
  EXPECT_FALSE(Write(*writer, ProtectedFile::Settings, Ini(), text));
  EXPECT_EQ(ReadText(Ini()), text);
}

TEST_F(PkexecWriterTest, EachFailureIsToldApartAndLeavesTheFile) {
  // Contents the helper refuses.
  EXPECT_EQ(Write(*writer, ProtectedFile::Settings, Ini(), "[EbbmarkSvc]\nRunAs=root\n"),
            PrivilegedWriteError::Refused);
  // A file that is not the helper's to write: pkexec is not even asked.
  EXPECT_EQ(Write(*writer, ProtectedFile::Settings, "/tmp/Ebbmark.ini", kOld),
            PrivilegedWriteError::NotAvailable);
  // The password prompt dismissed.
  DenyPassword();
  EXPECT_EQ(Write(*writer, ProtectedFile::Settings, Ini(), "[Notes]\nOwner=ops\n[EbbmarkSvc]\n"),
            PrivilegedWriteError::NotAuthorized);
  EXPECT_EQ(ReadText(Ini()), kOld);

  // No pkexec at all on this computer.
  ScopedEnv no_pkexec("PATH", settings.path());
  EXPECT_EQ(Write(*writer, ProtectedFile::Settings, Ini(), kOld),
            PrivilegedWriteError::NotAvailable);
  // The helper cannot write: its folder is gone.
  const auto gone = MakePkexecWriter(io, EBBMARK_SETTINGS_WRITER_PROGRAM, settings / "gone");
  ScopedEnv gone_home("EBBMARK_HOME", settings / "gone");
  ScopedEnv back("PATH", bin.path() + ":/usr/bin:/bin");
  std::remove((bin / "pkexec.deny").c_str());
  EXPECT_EQ(Write(*gone, ProtectedFile::Settings, settings / "gone/Ebbmark.ini", kOld),
            PrivilegedWriteError::Failed);
}

// The settings a save writes, with every key the store knows given a value
// other than its default, so the optional keys are written too.
SettingsRecord EveryKeySet() {
  SettingsRecord r;
  r.UDPBPort = 9000;
  r.TCPHost = "relay.example.test";
  r.TCPPort = 9001;
  r.MonitoredAddress = 3;
  r.ShutdownType = 2;
  r.Force = false;
  r.ExecuteFile = "/usr/local/sbin/on-battery";
  r.ExecuteDelay = 600;
  r.SDVoltage = 22;
  r.SDTimer = 90;
  r.SDSOC = 75;
  r.SOCOII = false;
  r.SMTPHost = "smtp.example.test";
  r.SMTPPort = 587;
  r.SMTPFrom = "ups@example.test";
  r.SMTPTo = "Ops <ops@example.test>";
  r.EmailOptions = 3;
  r.EmailDelay = 30;
  r.SMTPSecurity = 1;
  r.SMTPUser = "alerts@example.test";
  r.NUTListen = "0.0.0.0";
  r.NUTPort = 3494;
  r.NUTName = "ups";
  r.NUTUser = "monuser";
  r.NUTHostSync = 30;
  return r;
}

TEST_F(PkexecWriterTest, EverySettingTheStoreWritesIsAcceptedByTheHelper) {
  SettingsStore store(RealFileSystem(), Ini());
  std::string text;
  ASSERT_FALSE(store.SettingsText(EveryKeySet(), {}, text));
  // The store writes every key of the table, and the helper takes them all.
  for (const SettingName& s : kSettingNames)
    EXPECT_NE(text.find("\n" + std::string(s.key) + "="), std::string::npos) << s.key;
  EXPECT_FALSE(Write(*writer, ProtectedFile::Settings, Ini(), text));
  EXPECT_EQ(ReadText(Ini()), text);
  SettingsRecord back;
  store.LoadSettings(back);
  EXPECT_EQ(back.SMTPUser, "alerts@example.test");
  EXPECT_EQ(back.SMTPSecurity, 1);
}

TEST_F(PkexecWriterTest, EverySecretFileIsWrittenForRootAloneAndEmptiedAway) {
  for (const SecretName& secret : kSecretFiles) {
    const std::string path = settings / std::string(secret.file_name);
    EXPECT_FALSE(Write(*writer, ProtectedFile::Secret, path, "pa ss")) << secret.file_name;
    EXPECT_EQ(ReadText(path), "pa ss");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A line break could end an SMTP command early: refused, file kept.
    EXPECT_EQ(Write(*writer, ProtectedFile::Secret, path, "pa\nss"), PrivilegedWriteError::Refused);
    EXPECT_EQ(ReadText(path), "pa ss");
    EXPECT_FALSE(Write(*writer, ProtectedFile::Secret, path, ""));
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
  }
  // Only the table's files: any other name in the folder is not the helper's.
  EXPECT_EQ(Write(*writer, ProtectedFile::Secret, settings / "other.secret", "x"),
            PrivilegedWriteError::NotAvailable);
}

TEST_F(PkexecWriterTest, TheLoopRunsWhilePolkitWaits) {
  // polkit holding the password prompt for a second and a half.
  WriteText(bin / "pkexec", "#!/bin/sh\nsleep 1.5\nexec \"$@\"\n");
  int ticks = 0;
  asio::steady_timer tick(io);
  std::function<void()> arm = [&] {
    tick.expires_after(std::chrono::milliseconds{50});
    tick.async_wait([&](const std::error_code& e) {
      if (e) return;
      ++ticks;
      arm();
    });
  };
  arm();
  const std::string text = "[Notes]\nOwner=ops\n[EbbmarkSvc]\nSDSOC=90\n";
  EXPECT_FALSE(Write(*writer, ProtectedFile::Settings, Ini(), text));
  tick.cancel();
  EXPECT_GE(ticks, 10) << "the loop stood still while the helper ran";
  EXPECT_EQ(ReadText(Ini()), text);
}

TEST_F(PkexecWriterTest, AWriterGoneBeforeTheAnswerDropsIt) {
  WriteText(bin / "pkexec", "#!/bin/sh\nsleep 0.3\nexec \"$@\"\n");
  bool answered = false;
  const std::string text = "[Notes]\nOwner=ops\n[EbbmarkSvc]\nSDSOC=91\n";
  writer->Replace(ProtectedFile::Settings, Ini(), text, [&](std::error_code) { answered = true; });
  writer.reset();
  for (int i = 0; i < 50 && ReadText(Ini()) != text; ++i)
    io.run_for(std::chrono::milliseconds{100});
  io.run_for(std::chrono::milliseconds{200});
  EXPECT_FALSE(answered);
  // The write itself still happened: only the answer had nobody to go to.
  EXPECT_EQ(ReadText(Ini()), text);
}

}  // namespace
}  // namespace ebbmark
