// Encryption and sign-in against real servers: tests/support/auth_smtp.py in
// each of its modes, started by tests/wine_unit_tests.py with a CA and a
// server certificate it signed, a self-signed certificate nothing trusts, and
// a 1024-byte password. Without them (a plain ctest run) these tests skip.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "base/mail_sign_in.h"
#include "platform/mailer.h"
#include "platform/windows/windows_test_support.h"

namespace ebbmark {
namespace {

using namespace std::chrono_literals;

constexpr const char* kUser = "alerts@example.test";

std::string Env(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  return v == nullptr ? std::string() : std::string(v);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// One of the servers: its port, and what it printed since the test began.
struct Server {
  int port = 0;
  std::string output;
  std::size_t seen = 0;

  std::vector<std::string> Events(const std::string& prefix) const {
    std::vector<std::string> found;
    const std::string text = testing::ReadBytes(output).value_or("");
    for (const auto& l : Lines(text.substr(std::min(seen, text.size()))))
      if (l.rfind(prefix, 0) == 0) found.push_back(l);
    return found;
  }
};

class WindowsMailerSignIn : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = Env("EBBMARK_TEST_TLS_CA");
    const std::string password_file = Env("EBBMARK_TEST_AUTH_PASSWORD_FILE");
    if (ca_.empty() || password_file.empty())
      GTEST_SKIP() << "no sign-in servers given (run through tests/wine_unit_tests.py)";
    password_ = testing::ReadBytes(password_file).value_or("");
    ASSERT_FALSE(password_.empty());
  }

  Server Use(const std::string& name) {
    Server s;
    s.port = std::atoi(Env("EBBMARK_TEST_AUTH_" + name + "_PORT").c_str());
    s.output = Env("EBBMARK_TEST_AUTH_" + name + "_OUTPUT");
    if (s.port == 0 || s.output.empty()) {
      ADD_FAILURE() << "the " << name << " server did not start";
      return s;
    }
    s.seen = testing::ReadBytes(s.output).value_or("").size();
    return s;
  }

  MailMessage Message(const Server& server, int security, const std::string& user = kUser) const {
    MailMessage m;
    m.host = "127.0.0.1";
    m.port = server.port;
    m.from = "ebbmark@example.test";
    m.to = "admin@example.test";
    m.subject = "[Ebbmark] Test Email";
    m.body = "This is a test message.";
    m.security = security;
    m.user = user;
    m.password = user.empty() ? std::string() : password_;
    return m;
  }

  // `trusted`: the test's CA stands in for the system's store.
  MailResult Send(const MailMessage& m, bool trusted = true) {
    return Send(m, trusted ? ca_ : std::string());
  }
  MailResult Send(const MailMessage& m, const std::string& ca_file) {
    MailerOptions o;
    o.timeout = 20s;
    o.ca_file = ca_file;
    auto mailer = MakeMailer(io_, o);
    std::optional<MailResult> result;
    mailer->Send(m, [&](MailResult r) { result = r; });
    testing::RunUntil(
        io_, [&] { return result.has_value(); }, 1500);
    return result.value_or(MailResult{false, -1, "no answer"});
  }

  // The server prints a message after it has answered it: wait for `count`.
  static std::vector<std::string> Messages(const Server& s, std::size_t count) {
    std::vector<std::string> got;
    for (int i = 0; i < 100; ++i) {
      got = s.Events("message ");
      if (got.size() >= count) break;
      ::Sleep(20);
    }
    return got;
  }

  static bool Starts(const std::string& text, const char* cause) {
    return text.rfind(cause, 0) == 0;
  }

  std::string ca_;
  std::string password_;
  asio::io_context io_;
};

const std::vector<std::string> kSentOverTls = {
    "message tls=1 ebbmark@example.test -> admin@example.test"};
const std::vector<std::string> kSignedInOverTls = {"auth alerts@example.test ok tls=1"};

// The password the servers take is 1024 bytes with every byte above ASCII,
// so each sign-in here also shows it arrives whole.
TEST_F(WindowsMailerSignIn, SignInSucceedsOverStartTlsAndTlsFromTheFirstByte) {
  ASSERT_EQ(password_.size(), kMaxPasswordBytes);
  {
    SCOPED_TRACE("STARTTLS, checked");
    const Server s = Use("STARTTLS");
    const MailResult r = Send(Message(s, 1));
    EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;
    EXPECT_EQ(s.Events("auth "), kSignedInOverTls);
    EXPECT_EQ(Messages(s, 1), kSentOverTls);
  }
  {
    SCOPED_TRACE("STARTTLS when offered");
    const Server s = Use("STARTTLS");
    const MailResult r = Send(Message(s, 0), /*trusted=*/false);
    EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;
    EXPECT_EQ(s.Events("auth "), kSignedInOverTls);
  }
  {
    SCOPED_TRACE("TLS from the first byte, checked");
    const Server s = Use("IMPLICIT");
    const MailResult r = Send(Message(s, 2));
    EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;
    EXPECT_EQ(s.Events("auth "), kSignedInOverTls);
    EXPECT_EQ(Messages(s, 1), kSentOverTls);
  }
  {
    SCOPED_TRACE("the name checked as well: the certificate also names localhost");
    const Server s = Use("STARTTLS");
    MailMessage m = Message(s, 1);
    m.host = "localhost";
    const MailResult r = Send(m);
    EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;
  }
}

// A server that knows only LOGIN gets the user name and the long password
// one at a time.
TEST_F(WindowsMailerSignIn, SignInWithLoginWhereThatIsAllTheServerOffers) {
  const Server s = Use("LOGIN_ONLY");
  const MailResult r = Send(Message(s, 1));
  EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;
  EXPECT_EQ(s.Events("auth "), kSignedInOverTls);
  EXPECT_EQ(Messages(s, 1), kSentOverTls);
}

TEST_F(WindowsMailerSignIn, AWrongPasswordIsNamedAsSuchAndNeverEchoed) {
  const Server s = Use("STARTTLS");
  MailMessage m = Message(s, 1);
  m.password = "the wrong one";
  const MailResult r = Send(m);
  EXPECT_FALSE(r.sent);
  EXPECT_TRUE(Starts(r.error_text, sign_in_texts::kRefused))
      << r.error_number << " " << r.error_text;
  EXPECT_EQ(r.error_text.find("wrong"), std::string::npos) << r.error_text;
  EXPECT_EQ(s.Events("auth "), std::vector<std::string>{"auth alerts@example.test refused tls=1"});
  EXPECT_TRUE(Messages(s, 0).empty());
}

// With 1 and 2 a certificate nobody vouches for ends the send before any
// password is offered; with 0 the message goes out all the same.
TEST_F(WindowsMailerSignIn, AnUntrustedCertificateStopsTheCheckedSettingsOnly) {
  const Server s = Use("UNTRUSTED");
  const MailResult checked = Send(Message(s, 1));
  EXPECT_FALSE(checked.sent);
  EXPECT_TRUE(Starts(checked.error_text, sign_in_texts::kUntrusted)) << checked.error_text;

  const Server implicit = Use("IMPLICIT");
  const MailResult first_byte = Send(Message(implicit, 2), /*trusted=*/false);
  EXPECT_FALSE(first_byte.sent);
  EXPECT_TRUE(Starts(first_byte.error_text, sign_in_texts::kUntrusted)) << first_byte.error_text;
  EXPECT_TRUE(implicit.Events("auth ").empty());

  EXPECT_TRUE(s.Events("auth ").empty()) << "no password offered to an unchecked server";
  const MailResult opportunistic = Send(Message(s, 0, ""));
  EXPECT_TRUE(opportunistic.sent) << opportunistic.error_text;
  EXPECT_EQ(Messages(s, 1), kSentOverTls);
}

// A trusted root does not make a certificate good for another server: the
// untrusted server's certificate, trusted here as its own root, names
// other.example.test only.
TEST_F(WindowsMailerSignIn, ACertificateForAnotherNameIsNotTrusted) {
  const Server s = Use("UNTRUSTED");
  const MailResult r = Send(Message(s, 1), Env("EBBMARK_TEST_TLS_UNTRUSTED"));
  EXPECT_FALSE(r.sent);
  EXPECT_TRUE(Starts(r.error_text, sign_in_texts::kUntrusted)) << r.error_text;
  EXPECT_TRUE(s.Events("auth ").empty());
}

// A server that offers AUTH in plain text and no encryption never sees the
// password, whatever the setting; without a user name it still gets mail.
TEST_F(WindowsMailerSignIn, NoSignInIsEverMadeInPlainText) {
  const Server s = Use("PLAIN_AUTH");
  for (const int security : {0, 1}) {
    SCOPED_TRACE(security);
    const MailResult r = Send(Message(s, security));
    EXPECT_FALSE(r.sent);
    EXPECT_TRUE(Starts(r.error_text, sign_in_texts::kNoEncryption)) << r.error_text;
    EXPECT_EQ(r.error_text.find(password_.substr(0, 8)), std::string::npos);
  }
  EXPECT_TRUE(s.Events("auth ").empty());
  EXPECT_TRUE(Send(Message(s, 0, "")).sent);
  EXPECT_EQ(Messages(s, 1),
            std::vector<std::string>{"message tls=0 ebbmark@example.test -> admin@example.test"});
}

TEST_F(WindowsMailerSignIn, AuthOfferedBeforeStartTlsWaitsForTheEncryption) {
  const Server s = Use("AUTH_BEFORE_TLS");
  for (const int security : {0, 1}) {
    SCOPED_TRACE(security);
    const MailResult r = Send(Message(s, security));
    EXPECT_TRUE(r.sent) << r.error_text;
  }
  EXPECT_EQ(s.Events("auth "), (std::vector<std::string>{"auth alerts@example.test ok tls=1",
                                                         "auth alerts@example.test ok tls=1"}));
}

}  // namespace
}  // namespace ebbmark
