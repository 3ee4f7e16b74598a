#include "tools/settings-writer/settings_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "tests/support/fake_file_system.h"

namespace ebbmark {
namespace {

const std::string kOld =
    "; kept by hand\r\n"
    "[Notes]\r\n"
    "Owner=ops\r\n"
    "[EbbmarkSvc]\r\n"
    "TCPHost=relay.local\r\n"
    "; the relay in the shed\r\n"
    "Legacy=1\r\n"
    "[Other]\r\n"
    "X=\ty\r\n";

// What the program itself writes is always accepted: every key a save
// writes, over a file with other sections, comments and unknown keys.
TEST(SettingsCheck, AcceptsWhatASaveWrites) {
  testing::FakeFileSystem fs;
  fs.Put("/etc/ebbmark/Ebbmark.ini", kOld);
  fs.Put("/usr/local/bin/save-work", "#!/bin/sh\n");
  SettingsRecord record;
  record.TCPHost = "10.0.0.7";
  record.ExecuteFile = "/usr/local/bin/save-work";
  record.SMTPTo = "ops@example.org";
  record.MonitoredAddress = -1;
  const SettingsStore store(fs, "/etc/ebbmark/Ebbmark.ini");
  std::string text;
  ASSERT_FALSE(store.SettingsText(record, {}, text));
  EXPECT_EQ(CheckSettingsText(kOld, text), "");

  // A first save, with no file yet.
  fs.files.clear();
  ASSERT_FALSE(store.SettingsText(record, {}, text));
  EXPECT_EQ(CheckSettingsText("", text), "");
  // A file without line breaks, and the byte-order mark the reader skips.
  EXPECT_EQ(CheckSettingsText("", "[ebbmarksvc]\nSDSOC=70"), "");
  EXPECT_EQ(CheckSettingsText("\xEF\xBB\xBF[Notes]\n", "[Notes]\n[EbbmarkSvc]\nSDSOC=70\n"), "");
}

TEST(SettingsCheck, RefusesWhatIsNotThisProgramsSettingsFile) {
  struct Case {
    const char* what;
    std::string text;
    std::string reason;
  };
  const std::string own = "[EbbmarkSvc]\r\nTCPHost=relay.local\r\n";
  const std::string others = "; kept by hand\r\n[Notes]\r\nOwner=ops\r\n";
  const std::string tail = "[Other]\r\nX=\ty\r\n";
  const std::vector<Case> cases = {
      {"no own section", others + tail, "the file has no [EbbmarkSvc] section"},
      {"a second own section",
       others + own + "Legacy=1\r\n" + tail + "[EbbmarkSvc]\r\nSDSOC=70\r\n",
       "the file has more than one [EbbmarkSvc] section"},
      {"another section changed", others + own + "Legacy=1\r\n[Other]\r\nX=z\r\n",
       "lines outside the [EbbmarkSvc] section were changed"},
      {"another section dropped", others + own + "Legacy=1\r\n",
       "lines outside the [EbbmarkSvc] section were changed"},
      {"a section added", others + own + "Legacy=1\r\n" + tail + "[Run]\r\nCmd=rm\r\n",
       "lines outside the [EbbmarkSvc] section were changed"},
      {"an unknown key", others + own + "Legacy=1\r\nRunAs=root\r\n" + tail,
       "unknown key \"RunAs\""},
      {"an unknown key changed", others + own + "Legacy=2\r\n" + tail, "unknown key \"Legacy\""},
      {"a known key twice", others + own + "Legacy=1\r\nTCPHost=evil\r\n" + tail,
       "the key \"TCPHost\" appears twice"},
      {"a tab in a value", others + "[EbbmarkSvc]\r\nTCPHost=a\tb\r\nLegacy=1\r\n" + tail,
       "the value of \"TCPHost\" holds a control character"},
      {"a lone CR posing as a line end",
       others + "[EbbmarkSvc]\r\nTCPHost=a\rExecuteFile=/tmp/x\r\nLegacy=1\r\n" + tail,
       "the value of \"TCPHost\" holds a control character"},
      {"an escape in a value", others + "[EbbmarkSvc]\r\nSMTPTo=\x1b[2J\r\nLegacy=1\r\n" + tail,
       "the value of \"SMTPTo\" holds a control character"},
      {"a long value",
       others + "[EbbmarkSvc]\r\nSMTPHost=" + std::string(255, 'm') + "\r\nLegacy=1\r\n" + tail,
       "the value of \"SMTPHost\" is longer than 254 characters"},
      {"a new comment", others + own + "Legacy=1\r\n; hello\r\n" + tail,
       "a line that is not a setting was added: \"; hello\""},
      {"a line without =", others + own + "Legacy=1\r\njunk\r\n" + tail,
       "a line that is not a setting was added: \"junk\""},
      {"a NUL byte", others + own + std::string("Legacy=1\0", 9) + "\r\n" + tail,
       "the file holds a NUL byte"},
      {"too large", others + own + "Legacy=1\r\n" + tail + std::string(64 * 1024, ';'),
       "the file is larger than 65536 bytes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckSettingsText(kOld, c.text), c.reason) << c.what;
  }
  // The limits themselves are allowed.
  EXPECT_EQ(CheckSettingsText(kOld, others + "[EbbmarkSvc]\r\nSMTPHost=" + std::string(254, 'm') +
                                        "\r\nLegacy=1\r\n" + tail),
            "");
}

}  // namespace
}  // namespace ebbmark
