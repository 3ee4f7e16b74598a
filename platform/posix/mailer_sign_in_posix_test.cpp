// Sign-in and TLS through the real mail helper against a real server
// (tests/support/auth_smtp.py on python3-aiosmtpd) with a certificate made
// for the test: what is sent, what is refused, and that no password is ever
// offered on a connection that is not encrypted.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

#include "base/mail_sign_in.h"
#include "platform/mailer.h"
#include "platform/posix/posix_test_support.h"

extern char** environ;

namespace ebbmark {
namespace {

using namespace std::chrono_literals;
using testing::TempFolder;
using testing::WriteText;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kUser = "alerts@example.test";

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::vector<std::string> LinesOf(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A password with blanks, punctuation SASL cares about and bytes beyond ASCII.
std::string HardPassword() {
  std::string p = " p@ss:w0rd=with \"quotes\" and \\backslash ";
  for (int b = 0x80; b < 0x100; b += 7) p += static_cast<char>(b);
  return p;
}

class MailerSignIn : public ::testing::Test {
 protected:
  enum class Mode { StartTls, Implicit, PlainAuth, AuthBeforeTls };

  static void SetUpTestSuite() {
    if (std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") != 0) return;
    certs_ = new TempFolder;
    const std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        (*certs_ / "key.pem") + " -out " + (*certs_ / "cert.pem") + " >/dev/null 2>&1";
    have_cert_ = std::system(cmd.c_str()) == 0;
    // The helper reads it after leaving root for an unprivileged account.
    ::chmod(certs_->path().c_str(), 0755);
    ::chmod((*certs_ / "cert.pem").c_str(), 0644);
  }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }

  void SetUp() override {
    if (!have_cert_) GTEST_SKIP() << "python3-aiosmtpd or openssl is not installed";
  }

  void TearDown() override {
    if (server_ <= 0) return;
    kill(server_, SIGTERM);
    int status = 0;
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
      gone = waitpid(server_, &status, WNOHANG) == server_;
      if (!gone) std::this_thread::sleep_for(20ms);
    }
    if (!gone) {
      kill(server_, SIGKILL);
      waitpid(server_, &status, 0);
    }
  }

  // Starts the server; it accepts kUser with `password`.
  void StartServer(Mode mode, const std::string& password = HardPassword()) {
    WriteText(dir_ / "password", password);
    port_ = FreePort();
    const char* names[] = {"starttls", "implicit", "plain-auth", "auth-before-tls"};
    std::vector<std::string> args = {
        kPython,           std::string(EBBMARK_SOURCE_DIR) + "/tests/support/auth_smtp.py",
        "--port",          std::to_string(port_),
        "--mode",          names[static_cast<int>(mode)],
        "--password-file", dir_ / "password"};
    if (mode != Mode::PlainAuth) {
      args.insert(args.end(), {"--cert", *certs_ / "cert.pem", "--key", *certs_ / "key.pem"});
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = output();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Its complaints about handshakes the tests break on purpose.
    const std::string err = dir_ / "server.err";
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = posix_spawn(&server_, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0);
    bool ready = false;
    for (int i = 0; i < 200 && !ready; ++i) {
      const auto lines = LinesOf(out);
      ready = !lines.empty() && lines[0] == "ready";
      if (!ready) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(ready) << "the SMTP server did not start";
  }

  std::string output() const { return dir_ / "server.out"; }

  // The server's lines that begin with `prefix`.
  std::vector<std::string> Events(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& l : LinesOf(output()))
      if (l.rfind(prefix, 0) == 0) found.push_back(l);
    return found;
  }

  MailMessage Message(int security, const std::string& user = kUser,
                      const std::string& password = HardPassword()) const {
    MailMessage m;
    m.host = "127.0.0.1";
    m.port = port_;
    m.from = "ebbmark@example.test";
    m.to = "admin@example.test";
    m.subject = "[Ebbmark] Test Email";
    m.body = "This is a test message.";
    m.security = security;
    m.user = user;
    m.password = password;
    return m;
  }

  // Sends one message through the real helper; `trusted` names the test's
  // certificate as the one to trust.
  MailResult Send(const MailMessage& m, bool trusted = true) {
    MailerOptions o;
    o.helper_path = EBBMARK_MAIL_HELPER;
    o.timeout = 20s;
    if (trusted) o.ca_file = *certs_ / "cert.pem";
    auto mailer = MakeMailer(io_, o);
    std::optional<MailResult> result;
    mailer->Send(m, [&](MailResult r) { result = r; });
    for (int i = 0; i < 500 && !result; ++i) {
      io_.restart();
      io_.run_for(50ms);
    }
    return result.value_or(MailResult{false, -1, "no answer"});
  }

  // The server has written its lines by the time the client has its answer,
  // except for a message still being printed: wait for `count` of them.
  std::vector<std::string> Messages(std::size_t count) {
    std::vector<std::string> got;
    for (int i = 0; i < 100; ++i) {
      got = Events("message ");
      if (got.size() >= count) break;
      std::this_thread::sleep_for(20ms);
    }
    return got;
  }

  static inline TempFolder* certs_ = nullptr;
  static inline bool have_cert_ = false;
  TempFolder dir_;
  asio::io_context io_;
  pid_t server_ = -1;
  int port_ = 0;
};

TEST_F(MailerSignIn, SignInOverStartTlsWithACheckedCertificateSends) {
  StartServer(Mode::StartTls);
  const MailResult r = Send(Message(1));
  EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;
  EXPECT_EQ(Events("auth "), std::vector<std::string>{"auth alerts@example.test ok tls=1"});
  EXPECT_EQ(Messages(1),
            std::vector<std::string>{"message tls=1 ebbmark@example.test -> admin@example.test"});
}

TEST_F(MailerSignIn, SignInWithTlsFromTheFirstByteSends) {
  StartServer(Mode::Implicit);
  const MailResult r = Send(Message(2));
  EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;
  EXPECT_EQ(Events("auth "), std::vector<std::string>{"auth alerts@example.test ok tls=1"});
}

TEST_F(MailerSignIn, AWrongPasswordIsNamedAsSuchAndNeverEchoed) {
  StartServer(Mode::StartTls, "the right one");
  const MailResult r = Send(Message(1, kUser, "the wrong one"));
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.error_text.rfind(sign_in_texts::kRefused, 0), 0u)
      << r.error_number << " " << r.error_text;
  EXPECT_EQ(r.error_text.find("wrong"), std::string::npos) << r.error_text;
  EXPECT_TRUE(Messages(0).empty());
}

// With 1 and 2 a certificate that the trust store does not vouch for, or
// that names another server, ends the send; with 0 it goes out as before.
TEST_F(MailerSignIn, AnUntrustedCertificateStopsTheCheckedSettingsOnly) {
  StartServer(Mode::StartTls);
  const MailResult untrusted = Send(Message(1), /*trusted=*/false);
  EXPECT_FALSE(untrusted.sent);
  EXPECT_EQ(untrusted.error_text.rfind(sign_in_texts::kUntrusted, 0), 0u) << untrusted.error_text;

  MailMessage by_name = Message(1);
  by_name.host = "localhost";  // the certificate names 127.0.0.1 only
  const MailResult wrong_name = Send(by_name);
  EXPECT_FALSE(wrong_name.sent);
  EXPECT_EQ(wrong_name.error_text.rfind(sign_in_texts::kUntrusted, 0), 0u) << wrong_name.error_text;
  EXPECT_TRUE(Events("auth ").empty()) << "no password offered to an unchecked server";

  const MailResult opportunistic = Send(Message(0, ""), /*trusted=*/false);
  EXPECT_TRUE(opportunistic.sent) << opportunistic.error_text;
  EXPECT_EQ(Messages(1).size(), 1u);
}

TEST_F(MailerSignIn, AnUntrustedCertificateStopsTlsFromTheFirstByte) {
  StartServer(Mode::Implicit);
  const MailResult r = Send(Message(2), /*trusted=*/false);
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.error_text.rfind(sign_in_texts::kUntrusted, 0), 0u) << r.error_text;
  EXPECT_TRUE(Events("auth ").empty());
}

// A server that offers AUTH in plain text and no encryption never sees the
// password, whatever the setting; without a user name it still gets mail.
TEST_F(MailerSignIn, NoSignInIsEverMadeInPlainText) {
  StartServer(Mode::PlainAuth);
  for (const int security : {0, 1}) {
    SCOPED_TRACE(security);
    const MailResult r = Send(Message(security));
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(r.error_text.rfind(sign_in_texts::kNoEncryption, 0), 0u) << r.error_text;
  }
  EXPECT_TRUE(Events("auth ").empty());
  EXPECT_TRUE(Send(Message(0, "")).sent);
  EXPECT_EQ(Messages(1),
            std::vector<std::string>{"message tls=0 ebbmark@example.test -> admin@example.test"});
}

TEST_F(MailerSignIn, AuthOfferedBeforeStartTlsWaitsForTheEncryption) {
  StartServer(Mode::AuthBeforeTls);
  for (const int security : {0, 1}) {
    SCOPED_TRACE(security);
    const MailResult r = Send(Message(security));
    EXPECT_TRUE(r.sent) << r.error_text;
  }
  EXPECT_EQ(Events("auth "), (std::vector<std::string>{"auth alerts@example.test ok tls=1",
                                                       "auth alerts@example.test ok tls=1"}));
}

TEST_F(MailerSignIn, ALineBreakInTheSignInIsRefusedBeforeAnyConnection) {
  StartServer(Mode::StartTls);
  for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
           {"alerts\r\nRSET", "x"}, {kUser, "pw\nQUIT"}, {kUser, std::string("p\0w", 3)}}) {
    const MailResult r = Send(Message(1, user, password));
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(r.error_number, 3);
    EXPECT_EQ(r.error_text.find("QUIT"), std::string::npos);
  }
  EXPECT_TRUE(Events("auth ").empty());
}

}  // namespace
}  // namespace ebbmark
