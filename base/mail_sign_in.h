#pragma once
// Signing in to the mail server: the rules for the user name and password,
// the security choices, and where the password is kept. The password is never
// stored in Ebbmark.ini (desktop users can read it) but in a file of its own
// beside it that only the service's account and administrators can read.

#include <cstddef>
#include <string>
#include <string_view>

namespace ebbmark {

// SMTPSecurity values.
enum class MailSecurity : int {
  // As before: STARTTLS when the server offers it, certificate not checked;
  // port 465 speaks TLS from the first byte.
  Opportunistic = 0,
  RequireStartTls = 1,  // STARTTLS required, certificate and name checked
  ImplicitTls = 2,      // TLS from the first byte, certificate and name checked
};

inline constexpr const char* kSecretFileName = "smtp.secret";
inline constexpr std::size_t kMaxPasswordBytes = 1024;
// A user name is one SMTP argument; no server takes anything near this.
inline constexpr std::size_t kMaxUserBytes = 1024;

enum class SignInProblem { None, BadUser, UserTooLong, BadPassword, PasswordTooLong };

// CR, LF and NUL would let the text end an SMTP command line early (or split
// the helper's request), so they are refused; every other byte is allowed.
SignInProblem CheckUserName(std::string_view user);
SignInProblem CheckPassword(std::string_view password);

// A short English description; never holds the text that was checked.
const char* SignInProblemText(SignInProblem problem);

// The failures a user can act on, worded the same on every platform.
namespace sign_in_texts {
inline constexpr const char* kUntrusted = "the server's certificate is not trusted";
inline constexpr const char* kRefused = "the user name or password was refused";
inline constexpr const char* kNoEncryption = "the server offers no encryption";
inline constexpr const char* kNoPassword = "no password is saved for the sign-in";
}  // namespace sign_in_texts

// The password as read from the file: one trailing line end (left by an
// editor or "echo") is not part of it.
std::string PasswordFromFile(std::string contents);

}  // namespace ebbmark
