#include "base/mail_sign_in.h"

namespace ebbmark {
namespace {

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

SignInProblem CheckUserName(std::string_view user) {
  if (HasLineBreakOrNul(user)) return SignInProblem::BadUser;
  if (user.size() > kMaxUserBytes) return SignInProblem::UserTooLong;
  return SignInProblem::None;
}

SignInProblem CheckPassword(std::string_view password) {
  if (HasLineBreakOrNul(password)) return SignInProblem::BadPassword;
  if (password.size() > kMaxPasswordBytes) return SignInProblem::PasswordTooLong;
  return SignInProblem::None;
}

const char* SignInProblemText(SignInProblem problem) {
  switch (problem) {
    case SignInProblem::None:
      return "";
    case SignInProblem::BadUser:
      return "the user name holds a line break or a NUL character";
    case SignInProblem::UserTooLong:
      return "the user name is longer than 1024 bytes";
    case SignInProblem::BadPassword:
      return "the password holds a line break or a NUL character";
    case SignInProblem::PasswordTooLong:
      return "the password is longer than 1024 bytes";
  }
  return "the sign-in cannot be used";
}

std::string PasswordFromFile(std::string contents) {
  if (!contents.empty() && contents.back() == '\n') contents.pop_back();
  if (!contents.empty() && contents.back() == '\r') contents.pop_back();
  return contents;
}

}  // namespace ebbmark
