#include "platform/mailer.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <pwd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

extern char** environ;

namespace ebbmark {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPython = "/usr/bin/python3";

// A listening socket on 127.0.0.1 that never accepts: connections complete in
// the kernel's backlog, and no byte is ever sent back.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 8);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() {
    for (const int c : accepted_) close(c);
    close(fd_);
  }
  int port() const { return port_; }
  // True when a client has connected; the connection is kept open, silent.
  bool Connected() {
    const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    accepted_.push_back(c);
    return true;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> accepted_;
};

// An SMTP server on a thread of its own that takes the whole message and then
// never confirms it: the stall libcurl's own time-outs do not bound. It notes
// the account that owns the client's socket, from the kernel's socket table.
class StallAfterDataServer {
 public:
  StallAfterDataServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 4);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~StallAfterDataServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  bool got_message() const { return got_message_; }
  std::optional<uid_t> client_uid() const { return client_uid_; }

 private:
  // Waits up to 100 ms for `fd` to be readable.
  static bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 100) == 1;
  }

  void Serve() {
    int c = -1;
    for (int i = 0; i < 300 && !stop_ && c < 0; ++i) {
      if (Readable(fd_)) c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (c < 0) return;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    getpeername(c, reinterpret_cast<sockaddr*>(&peer), &len);
    client_uid_ = SocketOwner(ntohs(peer.sin_port));
    Say(c, "220 stall.test ESMTP\r\n");
    std::string in;
    bool data = false;
    for (int i = 0; i < 600 && !stop_; ++i) {  // at most about a minute
      if (!Readable(c)) continue;
      char buf[4096];
      const ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      in.append(buf, static_cast<std::size_t>(n));
      if (data) {
        if (in.find("\r\n.\r\n") != std::string::npos) got_message_ = true;  // and no reply
        continue;
      }
      for (auto eol = in.find("\r\n"); eol != std::string::npos; eol = in.find("\r\n")) {
        const std::string line = in.substr(0, eol);
        in.erase(0, eol + 2);
        if (line.rfind("DATA", 0) == 0) {
          Say(c, "354 go ahead\r\n");
          data = true;
          break;
        }
        Say(c, "250 ok\r\n");
      }
    }
    close(c);
  }

  static void Say(int c, const std::string& text) {
    [[maybe_unused]] const ssize_t n = write(c, text.data(), text.size());
  }

  // The uid column of the client's line in /proc/net/tcp.
  static std::optional<uid_t> SocketOwner(int client_port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", client_port);
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local_address, remote, state, queues, timer, retransmits, uid;
      fields >> slot >> local_address >> remote >> state >> queues >> timer >> retransmits >> uid;
      if (local_address == local) return static_cast<uid_t>(std::stoul(uid));
    }
    return std::nullopt;
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> got_message_{false};
  std::optional<uid_t> client_uid_;
  std::thread thread_;
};

// A stand-in for the helper: a shell script in a folder of its own.
class FakeHelper {
 public:
  explicit FakeHelper(const std::string& script) {
    folder_ = std::filesystem::temp_directory_path() /
              ("ebbmark-helper-" + std::to_string(getpid()) + "-" + std::to_string(++count_));
    std::filesystem::create_directories(folder_);
    path_ = (folder_ / "ebbmark-mail").string();
    std::ofstream(path_) << "#!/bin/sh\n" << script << "\n";
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  ~FakeHelper() { std::filesystem::remove_all(folder_); }
  const std::string& path() const { return path_; }

 private:
  static inline int count_ = 0;
  std::filesystem::path folder_;
  std::string path_;
};

int FreePort() {
  SilentListener l;
  return l.port();
}

bool PortOpen(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The received messages of the debugging server's output, each as printed:
// header lines, its X-Peer line, a blank line, then the body lines, "\n" ends.
std::vector<std::string> Messages(const std::string& output) {
  static const std::string kStart = "---------- MESSAGE FOLLOWS ----------\n";
  static const std::string kEnd = "------------ END MESSAGE ------------\n";
  std::vector<std::string> out;
  std::size_t pos = 0;
  while ((pos = output.find(kStart, pos)) != std::string::npos) {
    pos += kStart.size();
    const auto end = output.find(kEnd, pos);
    if (end == std::string::npos) break;
    out.push_back(output.substr(pos, end - pos));
    pos = end + kEnd.size();
  }
  return out;
}

std::string BodyOf(const std::string& printed) {
  const auto blank = printed.find("\n\n");
  return blank == std::string::npos ? std::string{} : printed.substr(blank + 2);
}

// Undoes quoted-printable on lines ended by "\n".
std::string DecodeQuotedPrintable(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '=') {
      out += s[i];
    } else if (i + 1 < s.size() && s[i + 1] == '\n') {
      ++i;
    } else {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

class MailerPosix : public ::testing::Test {
 protected:
  // Runs the loop until `done` holds; at most about twenty seconds.
  bool RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 400 && !done(); ++i) {
      io_.restart();
      io_.run_for(50ms);
    }
    return done();
  }

  // The helper built with these tests, not one installed on the machine.
  static MailerOptions Options(MailerOptions o = {}) {
    o.helper_path = EBBMARK_MAIL_HELPER;
    return o;
  }

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

  asio::io_context io_;
};

// A real SMTP server (the debugging server of python3-aiosmtpd) on 127.0.0.1
// that prints every message it receives.
class MailerWithServer : public MailerPosix {
 protected:
  void SetUp() override {
    if (std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "python3-aiosmtpd is not installed";
    output_ = (std::filesystem::temp_directory_path() /
               ("ebbmark-smtp-" + std::to_string(getpid()) + ".out"))
                  .string();
    port_ = FreePort();
    const std::string listen = "127.0.0.1:" + std::to_string(port_);
    std::vector<std::string> args = {kPython, "-u", "-m", "aiosmtpd", "-n", "-l", listen};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int rc = posix_spawn(&server_, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0);
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
      up = PortOpen(port_);
      if (!up) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(up) << "the SMTP server did not start";
  }

  void TearDown() override {
    if (server_ > 0) {
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
    if (!output_.empty()) std::filesystem::remove(output_);
  }

  // The messages the server has printed, once there are `count` of them.
  std::vector<std::string> Received(std::size_t count) {
    std::vector<std::string> got;
    for (int i = 0; i < 200; ++i) {
      got = Messages(ReadAll(output_));
      if (got.size() >= count) break;
      std::this_thread::sleep_for(50ms);
    }
    return got;
  }

  pid_t server_ = -1;
  int port_ = 0;
  std::string output_;
};

TEST_F(MailerWithServer, MessagesArriveWholeAndInOrder) {
  auto mailer = MakeMailer(io_, Options());

  // A line holding a single "." would end the data early if sent unescaped.
  std::string template_text = "Power event on the inverter\n.\n..two dots\n";
  for (int i = 0; i < 400; ++i)
    template_text +=
        "Line " + std::to_string(i) + ": Battery Charge: 45% \xE2\x80\x93 AC Input: 0\n";
  template_text += "last line";
  MailMessage first = Message(port_);
  first.body = template_text;

  // A line longer than SMTP allows arrives too, as quoted-printable.
  const std::string long_line(3000, 'x');
  MailMessage second = Message(port_);
  second.subject = "[Ebbmark] Shutdown Event";
  second.body = "before\r\n" + long_line + "\r\nafter";

  std::vector<MailResult> results;
  mailer->Send(first, [&](MailResult r) { results.push_back(r); });
  mailer->Send(second, [&](MailResult r) { results.push_back(r); });
  ASSERT_TRUE(RunUntil([&] { return results.size() == 2; }));
  for (const auto& r : results) EXPECT_TRUE(r.sent) << r.error_number << " " << r.error_text;

  const auto got = Received(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find("\nSubject: [Ebbmark] Power Event\n"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\nTo: Admin <admin@example.test>\n"), std::string::npos);
  EXPECT_NE(got[0].find("From: ebbmark@example.test\n"), std::string::npos);
  EXPECT_EQ(BodyOf(got[0]), template_text + "\n");

  EXPECT_NE(got[1].find("\nSubject: [Ebbmark] Shutdown Event\n"), std::string::npos) << got[1];
  EXPECT_NE(got[1].find("Content-Transfer-Encoding: quoted-printable"), std::string::npos);
  EXPECT_EQ(DecodeQuotedPrintable(BodyOf(got[1])), "before\n" + long_line + "\nafter\n");
}

TEST_F(MailerPosix, AServerThatNeverAnswersCostsOnlyTheTimeOut) {
  SilentListener silent;
  MailerOptions options;
  options.timeout = 2s;
  options.connect_timeout = 1s;
  auto mailer = MakeMailer(io_, Options(options));
  std::optional<MailResult> result;
  mailer->Send(Message(silent.port()), [&](MailResult r) { result = r; });
  ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
  EXPECT_FALSE(result->sent);
  EXPECT_EQ(result->error_number, CURLE_OPERATION_TIMEDOUT);
  EXPECT_FALSE(result->error_text.empty());
}

TEST_F(MailerPosix, NoServerGivesCurlsConnectError) {
  MailerOptions options;
  options.timeout = 5s;
  auto mailer = MakeMailer(io_, Options(options));
  std::optional<MailResult> result;
  mailer->Send(Message(FreePort()), [&](MailResult r) { result = r; });
  ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
  EXPECT_FALSE(result->sent);
  EXPECT_EQ(result->error_number, CURLE_COULDNT_CONNECT);
  EXPECT_FALSE(result->error_text.empty());
}

TEST_F(MailerPosix, RefusedMessagesNeverReachTheNetwork) {
  SilentListener listener;
  auto mailer = MakeMailer(io_, Options());
  std::vector<MailMessage> bad(4, Message(listener.port()));
  bad[0].from = "a@example.test\r\nRCPT TO:<victim@example.test>";
  bad[1].to = "admin@example.test\nBcc: victim@example.test";
  bad[2].to = "";
  bad[3].host = "";
  std::vector<MailResult> results;
  for (const auto& m : bad) mailer->Send(m, [&](MailResult r) { results.push_back(r); });
  ASSERT_TRUE(RunUntil([&] { return results.size() == bad.size(); }));
  for (const auto& r : results) {
    EXPECT_FALSE(r.sent);
    EXPECT_NE(r.error_number, 0);
    EXPECT_FALSE(r.error_text.empty());
  }
  EXPECT_FALSE(listener.Connected());
}

TEST_F(MailerPosix, DestroyingTheMailerEndsWithoutCallingBack) {
  SilentListener silent;
  MailerOptions options;
  options.timeout = 1s;
  bool called = false;
  {
    auto mailer = MakeMailer(io_, Options(options));
    mailer->Send(Message(silent.port()), [&](MailResult) { called = true; });
    mailer->Send(Message(silent.port()), [&](MailResult) { called = true; });
    // The first send is under way once the server sees the connection.
    for (int i = 0; i < 200 && !silent.Connected(); ++i) std::this_thread::sleep_for(10ms);
  }
  io_.restart();
  io_.run_for(100ms);
  EXPECT_FALSE(called);
}

// The server has the whole message and never confirms it: the helper is
// killed at the deadline, whatever its library would have waited.
TEST_F(MailerPosix, AStallAfterTheMessageEndsAtTheDeadline) {
  StallAfterDataServer server;
  MailerOptions options;
  options.timeout = 2s;
  auto mailer = MakeMailer(io_, Options(options));
  std::optional<MailResult> result;
  const auto start = std::chrono::steady_clock::now();
  mailer->Send(Message(server.port()), [&](MailResult r) { result = r; });
  ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(server.got_message());
  EXPECT_FALSE(result->sent);
  EXPECT_EQ(result->error_text, "the mail server did not finish within 2 seconds");
  EXPECT_LT(took, 15s) << "bounded by the deadline, not by the server";
}

TEST_F(MailerPosix, TheHelperTalksToTheServerWithoutPrivileges) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to see the helper leave it";
  StallAfterDataServer server;
  MailerOptions options;
  options.timeout = 1s;
  auto mailer = MakeMailer(io_, Options(options));
  std::optional<MailResult> result;
  mailer->Send(Message(server.port()), [&](MailResult r) { result = r; });
  ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
  ASSERT_TRUE(server.client_uid());
  EXPECT_NE(*server.client_uid(), 0u);
  // Never an account other processes share: the package's own, or one of its own.
  if (const passwd* own = ::getpwnam("ebbmark")) {
    EXPECT_EQ(*server.client_uid(), own->pw_uid);
  } else {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody != nullptr) {
      EXPECT_NE(*server.client_uid(), nobody->pw_uid);
    }
    EXPECT_EQ(::getpwuid(*server.client_uid()), nullptr) << "no account has it";
  }
}

// A broken helper is a failed send with a reason, never a hang or a success.
TEST_F(MailerPosix, ABrokenHelperGivesAFailureThatSaysSo) {
  struct Case {
    const char* script;
    const char* reason;
  };
  const Case cases[] = {
      {"cat >/dev/null; echo 'this is not an answer'; exit 0",
       "the mail helper gave an answer that could not be read"},
      {"cat >/dev/null; echo '0 sent'; exit 3",
       "the mail helper gave an answer that could not be read"},
      {"kill -SEGV $$", "the mail helper ended abnormally (signal 11)"},
      {"exec 1>&-; sleep 30", "the mail server did not finish within 1 seconds"},
      {"cat >/dev/null; echo '535 the user name or password was refused'; exit 1",
       "the user name or password was refused"},
  };
  for (const auto& c : cases) {
    FakeHelper helper(c.script);
    MailerOptions options;
    options.timeout = 1s;
    options.helper_path = helper.path();
    auto mailer = MakeMailer(io_, options);
    std::optional<MailResult> result;
    mailer->Send(Message(FreePort()), [&](MailResult r) { result = r; });
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); })) << c.script;
    EXPECT_FALSE(result->sent) << c.script;
    EXPECT_EQ(result->error_text, c.reason) << c.script;
  }
  MailerOptions missing;
  missing.helper_path = "/nonexistent/ebbmark-mail";
  auto mailer = MakeMailer(io_, missing);
  std::optional<MailResult> result;
  mailer->Send(Message(FreePort()), [&](MailResult r) { result = r; });
  ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
  EXPECT_EQ(result->error_text.rfind("could not start the mail helper", 0), 0u)
      << result->error_text;
}

TEST_F(MailerPosix, GivingUpAnswersEveryOpenMessageAtOnce) {
  SilentListener silent;
  auto mailer = MakeMailer(io_, Options());
  std::vector<MailResult> results;
  for (int i = 0; i < 3; ++i)
    mailer->Send(Message(silent.port()), [&](MailResult r) { results.push_back(r); });
  for (int i = 0; i < 200 && !silent.Connected(); ++i) {
    io_.restart();
    io_.run_for(10ms);
  }
  mailer->GiveUp("the service was stopping");
  ASSERT_TRUE(RunUntil([&] { return results.size() == 3; }));
  for (const auto& r : results) {
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(r.error_text, "the service was stopping");
  }
}

}  // namespace
}  // namespace ebbmark
