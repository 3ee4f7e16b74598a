#include "platform/mailer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include "base/mail_sign_in.h"
#include "platform/windows/windows_test_support.h"

namespace ebbmark {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

MailMessage Message(int port) {
  MailMessage m;
  m.host = "127.0.0.1";
  m.port = port;
  m.from = "ebbmark@example.test";
  m.to = "Admin <admin@example.test>";
  m.subject = "[Ebbmark] Power Event";
  m.body = "The monitored inverter has begun inverting.";
  return m;
}

// A listening socket on 127.0.0.1 that never accepts: connections complete in
// the backlog and no byte ever comes back.
class SilentListener {
 public:
  SilentListener() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {}
  int port() const { return acceptor_.local_endpoint().port(); }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
};

int FreePort() {
  return SilentListener().port();
}

// An SMTP server on 127.0.0.1 that plays a script: for each command (by its
// first word) the reply to give. It serves one connection on a thread and
// records what it was told.
class ScriptedServer {
 public:
  ScriptedServer() : ScriptedServer(std::map<std::string, std::string>{}) {}
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  explicit ScriptedServer(std::map<std::string, std::string> replies)
      : replies_(std::move(replies)),
        acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    std::error_code ignored;
    acceptor_.close(ignored);
    thread_.join();
  }
  int port() const { return acceptor_.local_endpoint().port(); }
  std::vector<std::string> Commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  std::string Data() {
    std::lock_guard lock(mutex_);
    return data_;
  }

 private:
  void Serve() {
    std::error_code ec;
    tcp::socket s(io_);
    acceptor_.accept(s, ec);
    if (ec) return;
    std::string in;
    asio::write(s, asio::buffer(std::string("220 scripted ESMTP\r\n")), ec);
    while (!ec) {
      const std::size_t n = asio::read_until(s, asio::dynamic_buffer(in), "\r\n", ec);
      if (ec) return;
      const std::string line = in.substr(0, n - 2);
      in.erase(0, n);
      {
        std::lock_guard lock(mutex_);
        commands_.push_back(line);
      }
      const std::string verb = line.substr(0, line.find_first_of(" :"));
      // A reply scripted for the whole line wins over one for its verb.
      auto it = replies_.find(line);
      if (it == replies_.end()) it = replies_.find(verb);
      const std::string reply = it != replies_.end() ? it->second
                                : verb == "DATA"     ? "354 end with <CRLF>.<CRLF>"
                                : verb == "QUIT"     ? "221 bye"
                                                     : "250 OK";
      asio::write(s, asio::buffer(reply + "\r\n"), ec);
      if (verb == "QUIT") return;
      if (verb == "DATA" && reply.rfind("354", 0) == 0) {
        const std::size_t m = asio::read_until(s, asio::dynamic_buffer(in), "\r\n.\r\n", ec);
        if (ec) return;
        {
          std::lock_guard lock(mutex_);
          data_ = in.substr(0, m);
        }
        in.erase(0, m);
        asio::write(s, asio::buffer(std::string("250 queued\r\n")), ec);
      }
    }
  }

  std::map<std::string, std::string> replies_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> commands_;
  std::string data_;
};

class WindowsMailerTest : public ::testing::Test {
 protected:
  std::optional<MailResult> SendOne(const MailMessage& m, MailerOptions options = {}) {
    auto mailer = MakeMailer(io_, options);
    std::optional<MailResult> result;
    mailer->Send(m, [&](MailResult r) { result = r; });
    testing::RunUntil(
        io_, [&] { return result.has_value(); }, 1000);
    return result;
  }

  asio::io_context io_;
};

TEST_F(WindowsMailerTest, SpeaksSmtpInOrderWithTheDotRule) {
  ScriptedServer server;
  MailMessage m = Message(server.port());
  m.to = "Admin <admin@example.test>, ops@example.test";
  m.body = "first\n.\n..two\nlast";
  const auto result = SendOne(m);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->sent) << result->error_text;

  const auto commands = server.Commands();
  ASSERT_EQ(commands.size(), 6u);
  EXPECT_EQ(commands[0].rfind("EHLO ", 0), 0u) << commands[0];
  EXPECT_EQ(commands[1], "MAIL FROM:<ebbmark@example.test>");
  EXPECT_EQ(commands[2], "RCPT TO:<admin@example.test>");
  EXPECT_EQ(commands[3], "RCPT TO:<ops@example.test>");
  EXPECT_EQ(commands[4], "DATA");
  EXPECT_EQ(commands[5], "QUIT");
  const std::string data = server.Data();
  EXPECT_NE(data.find("\r\nSubject: [Ebbmark] Power Event\r\n"), std::string::npos) << data;
  EXPECT_NE(data.find("\r\n\r\nfirst\r\n..\r\n...two\r\nlast\r\n.\r\n"), std::string::npos) << data;
}

TEST_F(WindowsMailerTest, FallsBackToHeloForAnOldServer) {
  ScriptedServer server(
      std::map<std::string, std::string>{{"EHLO", "502 command not implemented"}});
  const auto result = SendOne(Message(server.port()));
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->sent) << result->error_text;
  const auto commands = server.Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0].rfind("EHLO ", 0), 0u);
  EXPECT_EQ(commands[1].rfind("HELO ", 0), 0u);
}

TEST_F(WindowsMailerTest, ARefusedRecipientCostsOnlyItselfAndFailuresStillSayQuit) {
  {
    ScriptedServer server(
        std::map<std::string, std::string>{{"RCPT TO:<former.staff@example.test>",
                                            "550 5.1.1 <former.staff@example.test>: User "
                                            "unknown"}});
    MailMessage m = Message(server.port());
    m.to = "admin@example.test, former.staff@example.test, ops@example.test";
    const auto result = SendOne(m);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->sent) << result->error_text;
    ASSERT_EQ(result->refused.size(), 1u);
    EXPECT_EQ(result->refused[0].address, "former.staff@example.test");
    EXPECT_EQ(result->refused[0].reply, "550 5.1.1 <former.staff@example.test>: User unknown");
    const auto commands = server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "RCPT TO:<ops@example.test>"),
              commands.end())
        << "the one after the refused one is still tried";
    EXPECT_NE(std::find(commands.begin(), commands.end(), "DATA"), commands.end());
  }
  {
    ScriptedServer server(std::map<std::string, std::string>{{"RCPT", "550 5.1.1 unknown"}});
    MailMessage m = Message(server.port());
    m.to = "a@example.test, b@example.test";
    const auto result = SendOne(m);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->sent);
    EXPECT_EQ(result->error_text, "the server refused every recipient");
    EXPECT_EQ(result->refused.size(), 2u);
    const auto commands = server.Commands();
    EXPECT_EQ(std::find(commands.begin(), commands.end(), "DATA"), commands.end());
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "QUIT") << "after a failure as after a success";
  }
  {
    ScriptedServer server(
        std::map<std::string, std::string>{{"DATA", "550 5.6.0 improper use of 8-bit data"}});
    const auto result = SendOne(Message(server.port()));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error_text,
              "the server refused the message: 550 5.6.0 improper use of "
              "8-bit data");
    EXPECT_EQ(server.Commands().back(), "QUIT");
  }
}

TEST_F(WindowsMailerTest, GreetsWithAFullNameOrTheAddressLiteral) {
  ScriptedServer server;
  ASSERT_TRUE(SendOne(Message(server.port())));
  const auto commands = server.Commands();
  ASSERT_FALSE(commands.empty());
  const std::string name = commands[0].substr(5);
  EXPECT_TRUE(UsableGreetingName(name) || name == "[127.0.0.1]") << name;
}

TEST_F(WindowsMailerTest, AnAddressOutsideAsciiGoesOnlyWithSmtpUtf8) {
  {
    ScriptedServer server(
        std::map<std::string, std::string>{{"EHLO", "250-scripted\r\n250 SMTPUTF8"}});
    MailMessage m = Message(server.port());
    m.to = "j\xc3\xb6rg@example.test";
    const auto result = SendOne(m);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->sent) << result->error_text;
    EXPECT_EQ(server.Commands()[1], "MAIL FROM:<ebbmark@example.test> SMTPUTF8");
  }
  {
    ScriptedServer server;
    MailMessage m = Message(server.port());
    m.to = "j\xc3\xb6rg@example.test";
    const auto result = SendOne(m);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->sent);
    EXPECT_NE(result->error_text.find("does not offer SMTPUTF8"), std::string::npos)
        << result->error_text;
    for (const auto& c : server.Commands()) EXPECT_NE(c.rfind("MAIL", 0), 0u) << c;
  }
}

TEST_F(WindowsMailerTest, RefusalsCarryTheServersCodeAndText) {
  struct Case {
    std::map<std::string, std::string> replies;
    int code;
  };
  const Case cases[] = {
      {{{"MAIL", "553 sender rejected"}}, 553},
      {{{"RCPT", "550 no such user"}}, 550},
      {{{"DATA", "554 no thanks"}}, 554},
      {{{"EHLO", "500 what"}, {"HELO", "501 no"}}, 501},
  };
  for (const auto& c : cases) {
    ScriptedServer server(c.replies);
    const auto result = SendOne(Message(server.port()));
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->sent);
    EXPECT_EQ(result->error_number, c.code);
    EXPECT_NE(result->error_text.find(std::to_string(c.code)), std::string::npos)
        << result->error_text;
  }
}

TEST_F(WindowsMailerTest, AServerThatNeverAnswersCostsOnlyTheTimeOut) {
  SilentListener silent;
  MailerOptions options;
  options.timeout = 2s;
  options.connect_timeout = 1s;
  const auto result = SendOne(Message(silent.port()), options);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->sent);
  EXPECT_EQ(result->error_number, 10060);
  EXPECT_FALSE(result->error_text.empty());
}

TEST_F(WindowsMailerTest, NoServerGivesTheConnectError) {
  MailerOptions options;
  options.timeout = 5s;
  const auto result = SendOne(Message(FreePort()), options);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->sent);
  EXPECT_EQ(result->error_number, 10061);
  EXPECT_FALSE(result->error_text.empty());
}

TEST_F(WindowsMailerTest, RefusedMessagesNeverReachTheNetworkAndKeepTheirOrder) {
  ScriptedServer server;
  auto mailer = MakeMailer(io_);
  std::vector<MailMessage> bad(4, Message(server.port()));
  bad[0].from = "a@example.test\r\nRCPT TO:<victim@example.test>";
  bad[1].to = "admin@example.test\nBcc: victim@example.test";
  bad[2].to = "";
  bad[3].host = "";
  std::vector<int> order;
  for (int i = 0; i < 4; ++i) {
    mailer->Send(bad[static_cast<std::size_t>(i)], [&, i](MailResult r) {
      EXPECT_FALSE(r.sent);
      EXPECT_NE(r.error_number, 0);
      EXPECT_FALSE(r.error_text.empty());
      order.push_back(i);
    });
  }
  testing::RunUntil(io_, [&] { return order.size() == 4; });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_TRUE(server.Commands().empty());
  // Unblocks the server's accept.
  SendOne(Message(server.port()));
}

// A server that offers no STARTTLS gets no message that asks for encryption
// and no user name or password: each fails and says why, before MAIL FROM.
TEST_F(WindowsMailerTest, NoEncryptionOfferedMeansNoSignInAndNoRequiredMessage) {
  std::vector<MailMessage> asks(4, Message(0));
  asks[0].security = 1;
  asks[1].user = "alerts@example.test";
  asks[1].password = "s3cret";
  asks[2].user = "alerts@example.test";
  asks[2].password = "line\r\nbreak";
  asks[3].security = 7;
  std::vector<std::vector<std::string>> commands;
  std::vector<MailResult> results;
  for (auto& m : asks) {
    // Offers AUTH in plain text, which must not tempt the client.
    ScriptedServer server(
        std::map<std::string, std::string>{{"EHLO", "250-scripted\r\n250 AUTH PLAIN LOGIN"}});
    m.port = server.port();
    auto result = SendOne(m);
    ASSERT_TRUE(result);
    results.push_back(*result);
    if (!server.Commands().empty()) commands.push_back(server.Commands());
    // Unblocks the accept of a server that was never reached.
    if (server.Commands().empty()) SendOne(Message(server.port()));
  }
  for (const auto& r : results) {
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(r.error_text.find("s3cret"), std::string::npos);
  }
  EXPECT_EQ(results[0].error_text.rfind(sign_in_texts::kNoEncryption, 0), 0u)
      << results[0].error_text;
  EXPECT_EQ(results[1].error_text.rfind(sign_in_texts::kNoEncryption, 0), 0u)
      << results[1].error_text;
  EXPECT_NE(results[2].error_text.find("line break"), std::string::npos) << results[2].error_text;
  EXPECT_NE(results[3].error_text.find("not known"), std::string::npos) << results[3].error_text;
  // Only the first two reached the server, and neither got past EHLO; each
  // still ended with QUIT.
  ASSERT_EQ(commands.size(), 2u);
  for (const auto& c : commands) {
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].rfind("EHLO ", 0), 0u);
    EXPECT_EQ(c[1], "QUIT");
  }
}

// Bytes that arrive with the STARTTLS reply were sent in plain text and
// would be read as if encrypted: the conversation ends there.
TEST_F(WindowsMailerTest, DataSentAheadOfTheHandshakeEndsTheConversation) {
  ScriptedServer server(std::map<std::string, std::string>{
      {"EHLO", "250-scripted\r\n250 STARTTLS"},
      {"STARTTLS", "220 go ahead\r\n250-injected\r\n250 AUTH PLAIN"}});
  const auto result = SendOne(Message(server.port()));
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->sent);
  EXPECT_NE(result->error_text.find("tampered"), std::string::npos) << result->error_text;
  const auto commands = server.Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[1], "STARTTLS");
}

// Refusing STARTTLS fails a message that requires it; with the first setting
// and no user name the message still goes, unencrypted as before.
TEST_F(WindowsMailerTest, ARefusedStartTlsFailsOnlyWhereEncryptionIsRequired) {
  const std::map<std::string, std::string> refusing{{"EHLO", "250-scripted\r\n250 STARTTLS"},
                                                    {"STARTTLS", "454 TLS not available"}};
  {
    ScriptedServer server(refusing);
    MailMessage m = Message(server.port());
    m.security = 1;
    const auto result = SendOne(m);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->sent);
    EXPECT_EQ(result->error_text.rfind(sign_in_texts::kNoEncryption, 0), 0u) << result->error_text;
    EXPECT_NE(result->error_text.find("454"), std::string::npos) << result->error_text;
  }
  {
    ScriptedServer server(refusing);
    const auto result = SendOne(Message(server.port()));
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->sent) << result->error_text;
    const auto commands = server.Commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[1], "STARTTLS");
    EXPECT_EQ(commands[2], "MAIL FROM:<ebbmark@example.test>");
  }
}

TEST_F(WindowsMailerTest, GivingUpAnswersEveryOpenMessageAtOnceAndTheNextStillGoes) {
  SilentListener silent;
  auto mailer = MakeMailer(io_);
  std::vector<MailResult> results;
  for (int i = 0; i < 3; ++i) {
    mailer->Send(Message(silent.port()), [&](MailResult r) { results.push_back(r); });
  }
  io_.run_for(100ms);
  mailer->GiveUp("the service was stopping");
  testing::RunUntil(io_, [&] { return results.size() == 3; });
  ASSERT_EQ(results.size(), 3u);
  for (const auto& r : results) {
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(r.error_text, "the service was stopping");
  }
  // The mailer still works for a message given after it gave up.
  ScriptedServer server;
  std::optional<MailResult> later;
  mailer->Send(Message(server.port()), [&](MailResult r) { later = r; });
  testing::RunUntil(io_, [&] { return later.has_value(); });
  ASSERT_TRUE(later);
  EXPECT_TRUE(later->sent) << later->error_text;
}

TEST_F(WindowsMailerTest, DestroyingTheMailerEndsWithoutCallingBack) {
  SilentListener silent;
  MailerOptions options;
  options.timeout = 1s;
  bool called = false;
  {
    auto mailer = MakeMailer(io_, options);
    mailer->Send(Message(silent.port()), [&](MailResult) { called = true; });
    mailer->Send(Message(silent.port()), [&](MailResult) { called = true; });
    io_.run_for(100ms);
  }
  for (int i = 0; i < 10; ++i) {
    io_.restart();
    io_.run_for(20ms);
  }
  EXPECT_FALSE(called);
}

// A real SMTP server (python3-aiosmtpd's debugging server) started outside
// the test, since under Wine it is a native program: scripts/test-windows
// gives its port and the file it prints the messages to.
TEST_F(WindowsMailerTest, MessagesReachARealServerWholeAndInOrder) {
  const char* port = std::getenv("EBBMARK_TEST_SMTP_PORT");
  const char* output = std::getenv("EBBMARK_TEST_SMTP_OUTPUT");
  if (port == nullptr || output == nullptr || !*port || !*output)
    GTEST_SKIP() << "no SMTP server given (EBBMARK_TEST_SMTP_PORT and EBBMARK_TEST_SMTP_OUTPUT)";
  const std::size_t before = testing::ReadBytes(output).value_or("").size();

  std::string body = "Power event on the inverter\n.\n..two dots\n";
  for (int i = 0; i < 200; ++i)
    body += "Line " + std::to_string(i) + ": Battery Charge: 45% \xE2\x80\x93 AC Input: 0\n";
  body += "last line";
  MailMessage first = Message(std::atoi(port));
  first.subject = "[Ebbmark] Power Event " + std::to_string(::GetCurrentProcessId());
  first.body = body;
  MailMessage second = Message(std::atoi(port));
  second.subject = "[Ebbmark] Shutdown Event " + std::to_string(::GetCurrentProcessId());
  second.body = "before\r\n" + std::string(3000, 'x') + "\r\nafter";

  auto mailer = MakeMailer(io_);
  std::vector<MailResult> results;
  mailer->Send(first, [&](MailResult r) { results.push_back(r); });
  mailer->Send(second, [&](MailResult r) { results.push_back(r); });
  ASSERT_TRUE(testing::RunUntil(
      io_, [&] { return results.size() == 2; }, 1000));
  for (const auto& r : results) EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;

  std::string printed;
  for (int i = 0; i < 100; ++i) {
    printed = testing::ReadBytes(output).value_or("").substr(before);
    if (printed.find(second.subject) != std::string::npos) break;
    ::Sleep(50);
  }
  const auto at_first = printed.find("Subject: " + first.subject);
  const auto at_second = printed.find("Subject: " + second.subject);
  ASSERT_NE(at_first, std::string::npos) << printed;
  ASSERT_NE(at_second, std::string::npos) << printed;
  EXPECT_LT(at_first, at_second);
  EXPECT_NE(printed.find("\n.\n..two dots\n"), std::string::npos) << "dots come back undoubled";
  EXPECT_NE(printed.find("Line 199: Battery Charge: 45% \xE2\x80\x93 AC Input: 0\nlast line"),
            std::string::npos);
  EXPECT_NE(printed.find("Content-Transfer-Encoding: quoted-printable"), std::string::npos);
}

}  // namespace
}  // namespace ebbmark
