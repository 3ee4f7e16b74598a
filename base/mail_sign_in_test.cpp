#include "base/mail_sign_in.h"

#include <gtest/gtest.h>

#include <string>

#include "base/mail_request.h"

namespace ebbmark {
namespace {

// Every byte but CR, LF and NUL, repeated to `size` bytes.
std::string AnyBytes(std::size_t size) {
  std::string s;
  for (int b = 0; s.size() < size; b = (b + 1) % 256) {
    if (b != '\r' && b != '\n' && b != '\0') s += static_cast<char>(b);
  }
  return s;
}

TEST(SignInText, AnyBytesUpToTheLimitAreAcceptedButLineBreaksAndNulAreNot) {
  EXPECT_EQ(CheckPassword(""), SignInProblem::None);
  EXPECT_EQ(CheckPassword(AnyBytes(kMaxPasswordBytes)), SignInProblem::None);
  EXPECT_EQ(CheckPassword(" leading and trailing blanks "), SignInProblem::None);
  EXPECT_EQ(CheckPassword(AnyBytes(kMaxPasswordBytes + 1)), SignInProblem::PasswordTooLong);
  EXPECT_EQ(CheckUserName(AnyBytes(kMaxUserBytes + 1)), SignInProblem::UserTooLong);
  for (const std::string& bad : {std::string("pw\r"), std::string("\npw"), std::string("p\0w", 3),
                                 std::string("a\r\nAUTH x")}) {
    EXPECT_EQ(CheckPassword(bad), SignInProblem::BadPassword);
    EXPECT_EQ(CheckUserName(bad), SignInProblem::BadUser);
  }
}

TEST(SignInText, ProblemTextsNeverEchoWhatWasChecked) {
  for (const auto p : {SignInProblem::BadUser, SignInProblem::UserTooLong,
                       SignInProblem::BadPassword, SignInProblem::PasswordTooLong}) {
    const std::string text = SignInProblemText(p);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
  }
}

TEST(SignInText, OneTrailingLineEndOfTheFileIsNotPartOfThePassword) {
  EXPECT_EQ(PasswordFromFile("secret\n"), "secret");
  EXPECT_EQ(PasswordFromFile("secret\r\n"), "secret");
  EXPECT_EQ(PasswordFromFile("secret"), "secret");
  EXPECT_EQ(PasswordFromFile("secret \n\n"), "secret \n");  // then refused by CheckPassword
  EXPECT_EQ(PasswordFromFile(""), "");
}

// The password reaches the helper only through the request on its pipe; it
// must come out byte for byte, and a request without a sign-in must be the
// same as one from before sign-ins existed.
TEST(MailRequestSignIn, UserAndPasswordCrossThePipeUnchanged) {
  MailRequest r;
  r.url = "smtp://127.0.0.1:2525/host";
  r.from = "a@b";
  r.recipients = {"c@d"};
  r.security = 1;
  r.user = "alerts@example.test";
  r.password = " " + AnyBytes(kMaxPasswordBytes - 1);
  r.ca_file = "/tmp/ca.pem";
  r.text = "Subject: x\r\n\r\nbody\r\n";
  const auto back = DecodeMailRequest(EncodeMailRequest(r));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->security, 1);
  EXPECT_EQ(back->user, r.user);
  EXPECT_EQ(back->password, r.password);
  EXPECT_EQ(back->ca_file, r.ca_file);
  EXPECT_EQ(back->text, r.text);

  MailRequest plain = r;
  plain.security = 0;
  plain.user.clear();
  plain.password = "never sent without a user";
  plain.ca_file.clear();
  const std::string encoded = EncodeMailRequest(plain);
  EXPECT_EQ(encoded.find("password"), std::string::npos);
  EXPECT_EQ(encoded.find("security"), std::string::npos);
  const auto decoded = DecodeMailRequest(encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->user, "");
  EXPECT_EQ(decoded->password, "");
}

TEST(MailRequestSignIn, SecurityOutsideZeroToTwoIsNoRequest) {
  const std::string head = "EBBMARK-MAIL 1\nurl smtp://h:25/x\nto a@b\n";
  EXPECT_TRUE(DecodeMailRequest(head + "security 2\n\nbody"));
  EXPECT_FALSE(DecodeMailRequest(head + "security 3\n\nbody"));
  EXPECT_FALSE(DecodeMailRequest(head + "security -1\n\nbody"));
  EXPECT_FALSE(DecodeMailRequest(head + "security x\n\nbody"));
}

}  // namespace
}  // namespace ebbmark
