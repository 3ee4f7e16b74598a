#include "platform/windows/text_windows.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace ebbmark::win {
namespace {

TEST(WindowsTextTest, Utf16RoundTripKeepsEveryCharacter) {
  const std::string text = "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x94\x8B end";
  EXPECT_EQ(Narrow(Widen(text)), text);
  EXPECT_EQ(Widen("C:\\x"), L"C:\\x");
  EXPECT_EQ(Widen(""), L"");
}

TEST(WindowsTextTest, TextFilesAreReadAsUtf8) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {"plain ASCII", "TCPHost=relay\r\n", "TCPHost=relay\r\n"},
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBFx=Caf\xC3\xA9", "x=Caf\xC3\xA9"},
      {"UTF-8 without a mark", "x=Caf\xC3\xA9", "x=Caf\xC3\xA9"},
      {"UTF-16 with a byte-order mark", std::string("\xFF\xFEx\0=\0\xE9\0", 8), "x=\xC3\xA9"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TextFileToUtf8(c.bytes), c.utf8) << c.what;
}

TEST(WindowsTextTest, AnsiFilesAreConvertedBothWays) {
  if (::GetACP() != 1252)
    GTEST_SKIP() << "the ANSI code page here is " << ::GetACP() << ", not 1252";
  // "Café" as the settings file has always stored it.
  EXPECT_EQ(TextFileToUtf8("x=Caf\xE9"), "x=Caf\xC3\xA9");
  EXPECT_EQ(Utf8ToTextFile("x=Caf\xC3\xA9"), "x=Caf\xE9");
  // A character the code page has no place for is kept by writing UTF-8,
  // marked so that it reads back the same.
  const std::string japanese = "x=\xE6\x97\xA5\xE6\x9C\xAC";
  EXPECT_EQ(Utf8ToTextFile(japanese), "\xEF\xBB\xBF" + japanese);
  EXPECT_EQ(TextFileToUtf8(Utf8ToTextFile(japanese)), japanese);
}

TEST(WindowsTextTest, ErrorsCarryTheSystemsTextWithoutLineEnd) {
  const std::string text = Win32Error(ERROR_FILE_NOT_FOUND).message();
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(text.back(), '.');
  EXPECT_EQ(Win32Error(ERROR_FILE_NOT_FOUND), std::errc::no_such_file_or_directory);
  EXPECT_EQ(Win32Error(ERROR_ACCESS_DENIED), std::errc::permission_denied);
}

TEST(WindowsTextTest, PathsWithNulNameNothing) {
  EXPECT_TRUE(PathArgument("").empty());
  EXPECT_TRUE(PathArgument(std::string("C:\\a\0b", 6)).empty());
  EXPECT_EQ(PathArgument("C:\\a b\\c.ini"), L"C:\\a b\\c.ini");
}

}  // namespace
}  // namespace ebbmark::win
