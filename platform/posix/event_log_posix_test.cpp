#include <gtest/gtest.h>

#include "platform/posix/syslog_text_posix.h"

namespace ebbmark {
namespace {

TEST(SyslogText, LineEndsReachTheJournalAsLfOnly) {
  const struct {
    const char* text;
    const char* logged;
  } cases[] = {
      {"Could not connect to TCP host 10.0.0.5.\r\nWill keep trying.",
       "[109] Could not connect to TCP host 10.0.0.5.\nWill keep trying."},
      {"a\r\n\r\nb\r\n", "[109] a\n\nb\n"},
      {"lone\rcr\r", "[109] lone\ncr\n"},
      {"already\nlf", "[109] already\nlf"},
      {"", "[109] "},
  };
  for (const auto& c : cases) EXPECT_EQ(SyslogText(109, c.text), c.logged) << c.text;
}

}  // namespace
}  // namespace ebbmark
