#include "common/profile_file.h"

#include <gtest/gtest.h>

#include <string>

namespace ebbmark {
namespace {

struct ReadCase {
  const char* name;
  std::string text;
  const char* expected;  // nullptr: key not found
};

TEST(ProfileFileTest, ReadsValues) {
  const std::string bom = "\xEF\xBB\xBF";
  const ReadCase cases[] = {
      {"plain", "[S]\nKey=v\n", "v"},
      {"case-insensitive names", "[s]\nkEY=v\n", "v"},
      {"blanks around names", "  [ S ]  \n  Key  =v\n", "v"},
      {"blanks around value", "[S]\nKey=  v w \t\n", "v w"},
      {"double quotes", "[S]\nKey=\"  v \"\n", "  v "},
      {"single quotes", "[S]\nKey='v'\n", "v"},
      {"only one pair of quotes", "[S]\nKey=\"\"v\"\"\n", "\"v\""},
      {"unmatched quotes stay", "[S]\nKey=\"v'\n", "\"v'"},
      {"a lone quote stays", "[S]\nKey=\"\n", "\""},
      {"equals in value", "[S]\nKey=a=b\n", "a=b"},
      {"empty value", "[S]\nKey=\n", ""},
      {"CR LF", "[S]\r\nKey=v\r\nOther=w\r\n", "v"},
      {"no final line end", "[S]\nKey=v", "v"},
      {"byte-order mark", bom + "[S]\nKey=v\n", "v"},
      {"first key wins", "[S]\nKey=1\nKey=2\n", "1"},
      {"first of two same sections", "[S]\nA=1\n[S]\nKey=2\nKey=3\n", "2"},
      {"other section", "[T]\nKey=v\n", nullptr},
      {"key before any section", "Key=v\n[S]\n", nullptr},
      {"comment", "[S]\n;Key=v\n", nullptr},
      {"line without equals", "[S]\nKey\n", nullptr},
      {"section ends at the next header", "[S]\n[T]\nKey=v\n", nullptr},
      {"prefix of key", "[S]\nKeyX=v\n", nullptr},
      {"empty text", "", nullptr},
      {"NUL in other lines", std::string("[S]\nA=\0\0\n\0\nKey=v\n", 17), "v"},
  };
  for (const auto& c : cases) {
    const auto got = FindProfileString(c.text, "S", "Key");
    if (c.expected == nullptr) {
      EXPECT_FALSE(got.has_value()) << c.name;
    } else {
      EXPECT_EQ(got, std::string(c.expected)) << c.name;
    }
  }
  // The NUL is the caller's to remove.
  EXPECT_EQ(FindProfileString(std::string("[S]\nKey=a\0b\n", 12), "S", "Key"),
            std::string("a\0b", 3));
}

TEST(ProfileFileTest, CutsValuesAndDefaults) {
  const std::string long_value(300, 'x');
  EXPECT_EQ(GetProfileString("[S]\nKey=" + long_value + "\n", "S", "Key", "d"),
            std::string(254, 'x'));
  EXPECT_EQ(GetProfileString("", "S", "Key", long_value), std::string(254, 'x'));
  EXPECT_EQ(GetProfileString("[S]\n", "S", "Key", "dflt"), "dflt");
}

TEST(ProfileFileTest, SurvivesHostileText) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 131 + 7) % 256));
  const std::string huge_line(1 << 20, 'A');
  const std::string texts[] = {
      garbage,
      garbage + "\n[S]\nKey=v\n",
      "[S]\n" + huge_line + "\nKey=v\n",
      "[S]\nKey=" + huge_line + "\n",
      "[" + huge_line,
      std::string("\0\0\0", 3),
      "\r\r\r\n\n\n[",
  };
  for (const auto& text : texts) {
    const std::string value = GetProfileString(text, "S", "Key", "d");
    EXPECT_LE(value.size(), kProfileValueMax);
    const std::string written = WriteProfileString(text, "S", "Key", "new");
    EXPECT_EQ(GetProfileString(written, "S", "Key", "d"), "new");
    EXPECT_EQ(GetProfileString(DeleteProfileKey(written, "S", "Key"), "S", "Key", "d"), "d");
  }
}

struct WriteCase {
  const char* name;
  std::string before;
  std::string after;
};

TEST(ProfileFileTest, WritesKeepingEverythingElse) {
  const std::string bom = "\xEF\xBB\xBF";
  const WriteCase cases[] = {
      {"new file", "", "[S]\r\nKey=new\r\n"},
      {"replace in place", "; top\r\n[S]\r\nA=1\r\nKey=old\r\nB=2\r\n",
       "; top\r\n[S]\r\nA=1\r\nKey=new\r\nB=2\r\n"},
      {"replace keeps the key's spelling and blanks", "[S]\n  kEy = old  \n", "[S]\n  kEy =new\n"},
      {"replace only the first duplicate", "[S]\nKey=1\nKey=2\n", "[S]\nKey=new\nKey=2\n"},
      {"replace without final line end", "[S]\nKey=old", "[S]\nKey=new"},
      {"add after the section's last key", "[S]\nA=1\n\n; about T\n[T]\nKey=t\n",
       "[S]\nA=1\nKey=new\n\n; about T\n[T]\nKey=t\n"},
      {"add to an empty section", "[S]\n[T]\n", "[S]\nKey=new\n[T]\n"},
      {"add to the first of two sections", "[S]\nA=1\n[S]\nB=2\n", "[S]\nA=1\nKey=new\n[S]\nB=2\n"},
      {"add at end without final line end", "[S]\r\nA=1", "[S]\r\nA=1\r\nKey=new\r\n"},
      {"add section keeps LF", "[T]\nX=1\n", "[T]\nX=1\n[S]\nKey=new\n"},
      {"add section after text without line end", "[T]\r\nX=1", "[T]\r\nX=1\r\n[S]\r\nKey=new\r\n"},
      {"byte-order mark stays first", bom + "[S]\r\nA=1\r\n", bom + "[S]\r\nA=1\r\nKey=new\r\n"},
      {"only a byte-order mark", bom, bom + "[S]\r\nKey=new\r\n"},
      {"mixed line ends untouched", "[T]\nX=1\r\n[S]\r\nA=1\n",
       "[T]\nX=1\r\n[S]\r\nA=1\nKey=new\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WriteProfileString(c.before, "S", "Key", "new"), c.after) << c.name;
  }
}

TEST(ProfileFileTest, WrittenValueCannotInjectLines) {
  const std::string text = WriteProfileString("", "S", "Key", "host\r\nShutdownType=2");
  EXPECT_EQ(text, "[S]\r\nKey=host\r\n");
  EXPECT_FALSE(FindProfileString(text, "S", "ShutdownType").has_value());
}

TEST(ProfileFileTest, AValueInQuotesReadsBackAsWritten) {
  for (const std::string value : {"'ue/'", "\"x\"", "\"'x'\"", "'", "\"x", "''"}) {
    const std::string text = WriteProfileString("", "S", "Key", value);
    EXPECT_EQ(FindProfileString(text, "S", "Key"), value) << text;
  }
}

TEST(ProfileFileTest, DeletesEveryLineOfTheKey) {
  const WriteCase cases[] = {
      {"absent", "[S]\nA=1\n", "[S]\nA=1\n"},
      {"middle", "[S]\r\nA=1\r\nkey=x\r\nB=2\r\n", "[S]\r\nA=1\r\nB=2\r\n"},
      {"duplicates and second section", "[S]\nKey=1\n[T]\nKey=t\n[s]\nKey=2\n",
       "[S]\n[T]\nKey=t\n[s]\n"},
      {"last line without line end", "[S]\nA=1\nKey=x", "[S]\nA=1\n"},
      {"comment stays", "[S]\n;Key=x\nKey=y\n", "[S]\n;Key=x\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeleteProfileKey(c.before, "S", "Key"), c.after) << c.name;
  }
}

}  // namespace
}  // namespace ebbmark
