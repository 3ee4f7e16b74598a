// Email on Windows: a small SMTP client on the program's loop, built from
// asio's asynchronous operations. One conversation per message: the greeting,
// EHLO (HELO for a server that does not know it), STARTTLS and EHLO again
// when encrypting, AUTH when signing in, MAIL FROM, one RCPT TO per
// recipient, DATA with the dot rule applied, QUIT. Encryption is Schannel's
// (tls_stream_windows.h); the security settings mean what they mean on Linux. The message
// itself is formatted as on Linux (common/mail_format.h). Messages go out one
// after another in the order given; the whole of one send is bounded by the
// time-out.

#include <algorithm>
#include <cctype>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <wincrypt.h>
#include <windows.h>

#include "base/mail_sign_in.h"
#include "platform/computer_name.h"
#include "platform/mailer.h"
#include "platform/windows/tls_stream_windows.h"

namespace ebbmark {
namespace {

using asio::ip::tcp;

// Error numbers of results that carry no socket error or server reply: the
// socket control's numbers for a time-out and for anything else.
constexpr int kErrorTimedOut = 10060;
constexpr int kErrorProtocol = 10000;
constexpr int kErrorRefusedMessage = 10022;
constexpr int kErrorAccess = 10013;  // encryption missing or the certificate not trusted

// A reply line longer than this, or more lines than this in one reply, is
// not SMTP: the conversation ends there.
constexpr std::size_t kMaxReplyLine = 4096;
constexpr int kMaxReplyLines = 200;
// The longest initial response put on the AUTH line: with "AUTH PLAIN " and
// CR LF the line stays within the 512 octets every server takes.
constexpr std::size_t kMaxInitialResponse = 497;

// The host part of a Message-ID: letters, digits, "-" and ".".
std::string MessageIdHost() {
  std::string name;
  for (const char c : GetComputerNameText()) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.')
      name += c;
  }
  return name.empty() ? "localhost" : name;
}

// Text that is wiped from memory when it goes and when it is moved away: a
// password, or a line that carries one.
class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string_view text) { Assign(text); }
  SecretText(SecretText&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
  SecretText& operator=(SecretText&& other) noexcept {
    if (this != &other) {
      Wipe();
      text_ = std::move(other.text_);
      other.Wipe();
    }
    return *this;
  }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { Wipe(); }

  // Reserves first, so that no shorter copy is left behind by a reallocation.
  void Assign(std::string_view text) {
    Wipe();
    text_.reserve(text.size());
    text_.append(text);
  }
  const std::string& str() const { return text_; }
  bool empty() const { return text_.empty(); }

  void Wipe() {
    // A moved-from short string keeps its bytes in place: clear up to the
    // capacity, not just the size.
    text_.resize(text_.capacity());
    SecureZeroMemory(text_.data(), text_.size());
    text_.clear();
  }

 private:
  std::string text_;
};

// Base64 without line breaks, as AUTH wants it; empty when the system could
// not encode. Kept as a secret, since it is as good as the password.
SecretText Base64(std::string_view bytes) {
  SecretText result;
  if (bytes.empty()) return result;
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD size = 0;
  if (!::CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size))
    return result;
  std::string out(size, '\0');
  if (::CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, out.data(), &size)) {
    out.resize(std::min<std::size_t>(size, out.size()));
    // Some versions end it with a line break all the same.
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '\0'))
      out.pop_back();
    result.Assign(out);
  }
  SecureZeroMemory(out.data(), out.size());
  return result;
}

struct Job {
  MailProblem problem = MailProblem::None;
  std::string refusal;  // why the message cannot go out, when not a MailProblem
  std::string host;
  int port = 25;
  MailSecurity security = MailSecurity::Opportunistic;
  std::string user;
  SecretText password;
  std::string from;
  std::vector<std::string> recipients;
  bool utf8 = false;  // an address outside ASCII: only with the server's SMTPUTF8
  std::string data;   // the message, dot-stuffed, ending in CR LF
  std::function<void(MailResult)> done;
};

struct Reply {
  int code = 0;
  std::string text;                // the last line
  std::vector<std::string> lines;  // every line, without the code
};

// What the server's EHLO reply offers.
struct Capabilities {
  bool starttls = false;
  bool smtputf8 = false;
  std::vector<std::string> auth;  // SASL mechanisms, upper case
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

Capabilities ParseCapabilities(const Reply& reply) {
  Capabilities caps;
  // The first line is the server's greeting, not an extension.
  for (std::size_t i = 1; i < reply.lines.size(); ++i) {
    const std::string line = Upper(reply.lines[i]);
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
      const std::size_t end = line.find(' ', at);
      const std::string word = line.substr(at, end == std::string::npos ? end : end - at);
      if (!word.empty()) words.push_back(word);
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (words.empty()) continue;
    if (words[0] == "STARTTLS") caps.starttls = true;
    if (words[0] == "SMTPUTF8") caps.smtputf8 = true;
    // Old servers wrote "AUTH=LOGIN PLAIN" beside or instead of "AUTH ...".
    if (words[0] == "AUTH" || words[0].rfind("AUTH=", 0) == 0) {
      if (words[0].size() > 5)
        words[0] = words[0].substr(5);
      else
        words.erase(words.begin());
      for (auto& w : words)
        if (std::find(caps.auth.begin(), caps.auth.end(), w) == caps.auth.end())
          caps.auth.push_back(w);
    }
  }
  return caps;
}

// One connection with its deadline. Abort() ends every operation under way.
struct Session {
  explicit Session(asio::io_context& io) : resolver(io), socket(io), deadline(io) {}

  void Abort() {
    std::error_code ignored;
    resolver.cancel();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }

  // Aborts the session when `limit` has passed; replaces an earlier limit.
  void LimitTo(std::chrono::steady_clock::time_point limit) {
    deadline.expires_at(limit);
    deadline.async_wait([this](const std::error_code& ec) {
      if (ec) return;
      timed_out = true;
      Abort();
    });
  }

  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer deadline;
  std::string input;
  bool timed_out = false;
};

MailResult Failure(int number, std::string text) {
  MailResult r;
  r.error_number = number;
  r.error_text = std::move(text);
  return r;
}

// The server's reply as a record quotes it.
std::string ReplyText(const Reply& reply) {
  return QuotableReply(reply.text);
}

// A failure the user can act on, worded as on Linux: "<cause> (<detail>)".
MailResult CauseFailure(int number, const char* cause, const std::string& detail) {
  return Failure(number, std::string(cause) + " (" + detail + ")");
}

class Conversation {
 public:
  Conversation(asio::io_context& io, Session& s, const MailerOptions& options)
      : io_(io), s_(s), options_(options) {}

  // The conversation, then QUIT after a failure as after a success, so the
  // server ends the session cleanly rather than logging a lost connection.
  asio::awaitable<MailResult> Run(const Job& job) {
    MailResult result = co_await Converse(job);
    if (!result.sent && greeted_ && !broken_ && !s_.timed_out && s_.socket.is_open()) {
      std::error_code ec;
      co_await Command("QUIT", ec);
    }
    co_return result;
  }

  // Ends the encrypted session properly, whatever became of the message.
  asio::awaitable<void> Close() {
    if (tls_ && s_.socket.is_open() && !s_.timed_out) co_await tls_->Close();
  }

 private:
  asio::awaitable<MailResult> Converse(const Job& job) {
    const auto start = std::chrono::steady_clock::now();
    const auto connect_limit = std::min(options_.connect_timeout, options_.timeout);
    s_.LimitTo(start + connect_limit);

    std::string host = job.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    std::error_code ec;
    auto endpoints = co_await s_.resolver.async_resolve(
        host, std::to_string(job.port), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return NetworkFailure(ec, "Could not resolve the mail server " + job.host);
    co_await asio::async_connect(s_.socket, endpoints,
                                 asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return NetworkFailure(ec, "Could not connect to the mail server " + job.host);

    // 0 only encrypts (the notices carry no secrets, and a self-signed
    // certificate on a local server must not cost the user the warning);
    // 1 and 2 check the certificate and the name as well.
    TlsCheck check;
    check.verify = job.security != MailSecurity::Opportunistic;
    check.host = host;
    check.ca_file = options_.ca_file;
    const bool implicit = job.security == MailSecurity::ImplicitTls ||
                          (job.security == MailSecurity::Opportunistic && job.port == 465);
    if (implicit) {
      if (auto failed = co_await StartTls(check)) {
        // A plain SMTP server greets first; some TLS clients then wait on
        // for a handshake that never comes, so a fresh connection asks.
        if (failed->error_number != kErrorAccess && co_await GreetsInPlainText(endpoints))
          co_return Failure(kErrorAccess,
                            "the server does not speak TLS on this port; try SMTPSecurity 1");
        co_return *failed;
      }
    }

    Reply reply = co_await ReadReply(ec);
    if (ec && !implicit && s_.input.empty() && !received_) {
      // Nothing at all came: a server that waits for a TLS handshake before
      // it greets says nothing, which is what port 465 does.
      const bool tls_first = co_await SpeaksTlsFirst(endpoints, host);
      if (tls_first)
        co_return Failure(kErrorTimedOut,
                          "the server expects TLS from the first byte on this port; try "
                          "SMTPSecurity 2");
      if (s_.timed_out)
        co_return Failure(
            kErrorTimedOut,
            "the server sent no greeting within " +
                std::to_string(
                    std::chrono::duration_cast<std::chrono::seconds>(connect_limit).count()) +
                " seconds");
    }
    if (ec) co_return NetworkFailure(ec, "No greeting from the mail server");
    greeted_ = true;
    if (reply.code / 100 != 2) co_return Refused("the connection", reply);
    s_.LimitTo(start + options_.timeout);
    const std::string greeting_name = co_await GreetingName();

    Capabilities caps;
    if (auto failed = co_await Hello(greeting_name, caps)) co_return *failed;

    if (!implicit) {
      // A sign-in is never made in plain text: with a user name the whole
      // session is encrypted or nothing is sent.
      const bool required = job.security != MailSecurity::Opportunistic || !job.user.empty();
      if (!caps.starttls) {
        if (required)
          co_return CauseFailure(kErrorAccess, sign_in_texts::kNoEncryption,
                                 "the server does not offer STARTTLS");
      } else {
        reply = co_await Command("STARTTLS", ec);
        if (ec) co_return NetworkFailure(ec, "STARTTLS failed");
        if (reply.code != 220) {
          if (required)
            co_return CauseFailure(reply.code, sign_in_texts::kNoEncryption,
                                   "the server refused STARTTLS: " + reply.text);
        } else {
          // Whatever came after the reply was sent before the encryption
          // and would be taken as if it came through it: someone on the
          // way is adding to the conversation.
          if (!s_.input.empty()) {
            // Not even a QUIT goes on a connection that may be someone else's.
            broken_ = true;
            co_return Failure(kErrorProtocol,
                              "The mail server sent more after agreeing to STARTTLS; the "
                              "connection may have been tampered with, nothing was sent");
          }
          if (auto failed = co_await StartTls(check)) co_return *failed;
          // What was offered in plain text may have been forged: only the
          // new reply counts.
          caps = Capabilities{};
          if (auto failed = co_await Hello(greeting_name, caps)) co_return *failed;
        }
      }
    }

    if (!job.user.empty()) {
      if (auto failed = co_await SignIn(job, caps)) co_return *failed;
    }

    // An address outside ASCII goes only with SMTPUTF8; never as raw bytes
    // to a server that did not ask for them.
    if (job.utf8 && !caps.smtputf8)
      co_return Failure(kErrorRefusedMessage,
                        "an address holds letters outside ASCII, and the server does not offer "
                        "SMTPUTF8 to carry them; use an address in ASCII letters");
    reply = co_await Command("MAIL FROM:<" + job.from + ">" + (job.utf8 ? " SMTPUTF8" : ""), ec);
    if (ec) co_return NetworkFailure(ec, "MAIL FROM failed");
    if (reply.code / 100 != 2) co_return Refused("the sender " + job.from, reply);

    // Every recipient on its own: one closed mailbox must not cost the
    // others the notice. The send fails only when none is taken.
    std::vector<RecipientRefusal> refused;
    for (const auto& recipient : job.recipients) {
      reply = co_await Command("RCPT TO:<" + recipient + ">", ec);
      if (ec) co_return NetworkFailure(ec, "RCPT TO failed");
      if (reply.code / 100 != 2) refused.push_back({recipient, ReplyText(reply)});
    }
    if (refused.size() == job.recipients.size()) {
      MailResult none = refused.size() == 1
                            ? Refused("the recipient " + refused[0].address, reply)
                            : Failure(reply.code, "the server refused every recipient");
      none.refused = std::move(refused);
      co_return none;
    }

    reply = co_await Command("DATA", ec);
    if (ec) co_return NetworkFailure(ec, "DATA failed");
    if (reply.code != 354) {
      MailResult failed = Refused("the message", reply);
      failed.refused = std::move(refused);
      co_return failed;
    }

    co_await Write(job.data, ec);
    if (ec) co_return NetworkFailure(ec, "Sending the message failed");
    reply = co_await ReadReply(ec);
    if (ec) co_return NetworkFailure(ec, "The mail server did not confirm the message");
    if (reply.code / 100 != 2) {
      MailResult failed = Refused("the message", reply);
      failed.refused = std::move(refused);
      co_return failed;
    }

    // The message has been taken; how QUIT goes does not change that.
    co_await Command("QUIT", ec);
    MailResult sent;
    sent.sent = true;
    sent.refused = std::move(refused);
    co_return sent;
  }

  // The name to greet with (RFC 5321 4.1.4): the computer's fully qualified
  // name when the resolver knows one, else the address literal of this end
  // of the connection. Never a bare or mangled computer name, which strict
  // relays refuse.
  asio::awaitable<std::string> GreetingName() {
    std::error_code ec;
    const std::string computer = GetComputerNameText();
    if (!computer.empty()) {
      auto found =
          co_await s_.resolver.async_resolve(computer, "", tcp::resolver::canonical_name,
                                             asio::redirect_error(asio::use_awaitable, ec));
      if (!ec && !found.empty() && UsableGreetingName(found.begin()->host_name()))
        co_return found.begin()->host_name();
    }
    const auto local = s_.socket.local_endpoint(ec);
    if (!ec) co_return AddressLiteral(local.address().to_string());
    co_return "[127.0.0.1]";
  }

  // Whether the server greets a plain connection with "220", on a short
  // connection of its own.
  asio::awaitable<bool> GreetsInPlainText(const tcp::resolver::results_type& endpoints) {
    Session probe(io_);
    probe.LimitTo(std::chrono::steady_clock::now() + std::chrono::seconds(3));
    std::error_code ec;
    co_await asio::async_connect(probe.socket, endpoints,
                                 asio::redirect_error(asio::use_awaitable, ec));
    std::string first(64, '\0');
    std::size_t n = 0;
    if (!ec)
      n = co_await probe.socket.async_read_some(asio::buffer(first),
                                                asio::redirect_error(asio::use_awaitable, ec));
    probe.deadline.cancel();
    probe.Abort();
    co_return n >= 4 && first.compare(0, 3, "220") == 0;
  }

  // Whether the server completes a TLS handshake from the first byte, on a
  // short connection of its own; the certificate is not checked, since this
  // only decides which advice the record gives.
  asio::awaitable<bool> SpeaksTlsFirst(const tcp::resolver::results_type& endpoints,
                                       const std::string& host) {
    Session probe(io_);
    probe.LimitTo(std::chrono::steady_clock::now() + std::chrono::seconds(3));
    std::error_code ec;
    co_await asio::async_connect(probe.socket, endpoints,
                                 asio::redirect_error(asio::use_awaitable, ec));
    bool ok = false;
    if (!ec) {
      TlsStream tls(probe.socket);
      TlsCheck check;
      check.host = host;
      co_await tls.Handshake(check, ec);
      ok = !ec;
      if (ok) co_await tls.Close();
    }
    probe.deadline.cancel();
    probe.Abort();
    co_return ok;
  }

  asio::awaitable<std::optional<MailResult>> StartTls(const TlsCheck& check) {
    auto tls = std::make_unique<TlsStream>(s_.socket);
    std::error_code ec;
    co_await tls->Handshake(check, ec);
    if (!ec) {
      tls_ = std::move(tls);
      co_return std::nullopt;
    }
    // A half-made TLS session can carry no further command, not even QUIT.
    broken_ = true;
    if (s_.timed_out) co_return NetworkFailure(ec, "");
    if (tls->untrusted())
      co_return CauseFailure(kErrorAccess, sign_in_texts::kUntrusted, tls->failure());
    std::string why = tls->failure().empty() ? ec.message() : tls->failure();
    if (!why.empty()) why[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(why[0])));
    co_return Failure(ec.value(), why);
  }

  // EHLO, or HELO for a server from before ESMTP (which offers nothing).
  asio::awaitable<std::optional<MailResult>> Hello(const std::string& name, Capabilities& caps) {
    std::error_code ec;
    Reply reply = co_await Command("EHLO " + name, ec);
    if (ec) co_return NetworkFailure(ec, "EHLO failed");
    if (reply.code / 100 == 2) {
      caps = ParseCapabilities(reply);
      co_return std::nullopt;
    }
    reply = co_await Command("HELO " + name, ec);
    if (ec) co_return NetworkFailure(ec, "HELO failed");
    if (reply.code / 100 != 2) co_return Refused("the greeting " + name, reply);
    co_return std::nullopt;
  }

  // AUTH PLAIN, or LOGIN for a server that lacks it; only ever reached on an
  // encrypted connection. PLAIN sends the credentials on the AUTH line when
  // they fit within any server's limit for a command; a longer password goes
  // in the answer to 334.
  asio::awaitable<std::optional<MailResult>> SignIn(const Job& job, const Capabilities& caps) {
    if (!tls_)
      co_return CauseFailure(kErrorAccess, sign_in_texts::kNoEncryption,
                             "no sign-in without encryption");
    const auto offers = [&](const char* m) {
      return std::find(caps.auth.begin(), caps.auth.end(), m) != caps.auth.end();
    };
    if (caps.auth.empty())
      co_return Failure(kErrorProtocol,
                        "The mail server does not offer a sign-in (no AUTH after STARTTLS); "
                        "remove the user name or choose another server");
    if (!offers("PLAIN") && !offers("LOGIN")) {
      std::string list;
      for (const auto& m : caps.auth) list += (list.empty() ? "" : " ") + m;
      co_return Failure(kErrorProtocol, "The mail server offers no sign-in this program knows (" +
                                            list + "; it knows PLAIN and LOGIN)");
    }
    std::error_code ec;
    Reply reply;
    const std::string& password = job.password.str();
    if (offers("PLAIN")) {
      SecretText blob;
      {
        std::string joined;
        joined.reserve(job.user.size() + password.size() + 2);
        joined.push_back('\0');
        joined += job.user;
        joined.push_back('\0');
        joined += password;
        blob = Base64(joined);
        SecureZeroMemory(joined.data(), joined.size());
      }
      if (blob.empty()) co_return Failure(kErrorProtocol, "The sign-in could not be encoded");
      if (blob.str().size() <= kMaxInitialResponse) {
        // The credentials on the AUTH line itself (RFC 4954): one round trip.
        SecretText line;
        {
          std::string joined = "AUTH PLAIN " + blob.str();
          line.Assign(joined);
          SecureZeroMemory(joined.data(), joined.size());
        }
        reply = co_await SecretCommand(line, ec);
      } else {
        reply = co_await Command("AUTH PLAIN", ec);
        if (!ec && reply.code == 334) reply = co_await SecretCommand(blob, ec);
      }
    } else {
      reply = co_await Command("AUTH LOGIN", ec);
      if (!ec && reply.code == 334) reply = co_await Command(Base64(job.user).str(), ec);
      if (!ec && reply.code == 334) {
        const SecretText encoded = Base64(password);
        // An empty password is sent as the empty answer it encodes to.
        if (encoded.empty() && !password.empty())
          co_return Failure(kErrorProtocol, "The sign-in could not be encoded");
        reply = co_await SecretCommand(encoded, ec);
      }
    }
    if (ec) co_return NetworkFailure(ec, "Signing in failed");
    if (reply.code == 235) co_return std::nullopt;
    // A server could repeat what it was sent; the password stays out of the
    // result whatever it does.
    if (!password.empty() && reply.text.find(password) != std::string::npos)
      reply.text = std::to_string(reply.code);
    if (reply.code / 100 == 5)
      co_return CauseFailure(reply.code, sign_in_texts::kRefused, reply.text);
    co_return Failure(reply.code, "The mail server could not take the sign-in now: " + reply.text);
  }

  asio::awaitable<Reply> Command(const std::string& line, std::error_code& ec) {
    const std::string out = line + "\r\n";
    co_await Write(out, ec);
    if (ec) co_return Reply{};
    co_return co_await ReadReply(ec);
  }

  // A line that carries a credential: no copy of it is left behind.
  asio::awaitable<Reply> SecretCommand(const SecretText& line, std::error_code& ec) {
    SecretText out;
    {
      std::string joined;
      joined.reserve(line.str().size() + 2);
      joined = line.str();
      joined += "\r\n";
      out.Assign(joined);
      SecureZeroMemory(joined.data(), joined.size());
    }
    co_await Write(out.str(), ec);
    if (ec) co_return Reply{};
    co_return co_await ReadReply(ec);
  }

  asio::awaitable<void> Write(const std::string& data, std::error_code& ec) {
    if (tls_) {
      co_await tls_->Write(data, ec);
    } else {
      co_await asio::async_write(s_.socket, asio::buffer(data),
                                 asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  // Appends what arrives next to the input, decrypted when encrypted.
  asio::awaitable<void> ReadMore(std::error_code& ec) {
    if (tls_) {
      co_await tls_->ReadSome(s_.input, ec);
      co_return;
    }
    char chunk[4096];
    const std::size_t n = co_await s_.socket.async_read_some(
        asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) s_.input.append(chunk, n);
  }

  // One reply, possibly of several lines ("250-..." until "250 ...").
  asio::awaitable<Reply> ReadReply(std::error_code& ec) {
    Reply reply;
    for (int lines = 0; lines < kMaxReplyLines; ++lines) {
      std::size_t end = s_.input.find('\n');
      // Each read adds at least a byte, and the line is bounded: so are these.
      for (std::size_t reads = 0; end == std::string::npos && reads <= kMaxReplyLine; ++reads) {
        if (s_.input.size() >= kMaxReplyLine) break;
        co_await ReadMore(ec);
        if (ec) co_return reply;
        end = s_.input.find('\n');
      }
      if (end == std::string::npos || end >= kMaxReplyLine) {
        ec = std::make_error_code(std::errc::protocol_error);
        co_return reply;
      }
      std::string line = s_.input.substr(0, end);
      s_.input.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const bool digits = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                          std::isdigit(static_cast<unsigned char>(line[1])) &&
                          std::isdigit(static_cast<unsigned char>(line[2]));
      if (!digits || (line.size() > 3 && line[3] != '-' && line[3] != ' ')) {
        ec = std::make_error_code(std::errc::protocol_error);
        co_return reply;
      }
      reply.code = std::stoi(line.substr(0, 3));
      received_ = true;
      reply.text = line;
      reply.lines.push_back(line.size() > 4 ? line.substr(4) : std::string());
      if (line.size() <= 3 || line[3] == ' ') co_return reply;
    }
    ec = std::make_error_code(std::errc::protocol_error);
    co_return reply;
  }

  MailResult NetworkFailure(const std::error_code& ec, const std::string& what) {
    broken_ = true;
    if (s_.timed_out) {
      const auto limit = std::chrono::duration_cast<std::chrono::seconds>(options_.timeout);
      return Failure(kErrorTimedOut, "The mail server did not finish within " +
                                         std::to_string(limit.count()) + " seconds");
    }
    if (ec == std::errc::protocol_error)
      return Failure(kErrorProtocol, what + ": the server's answer is not SMTP");
    return Failure(ec.value(), what + ": " + ec.message());
  }

  static MailResult Refused(const std::string& what, const Reply& reply) {
    return Failure(reply.code, "the server refused " + what + ": " + ReplyText(reply));
  }

  asio::io_context& io_;
  Session& s_;
  const MailerOptions& options_;
  std::unique_ptr<TlsStream> tls_;  // once the connection is encrypted
  bool greeted_ = false;            // the server has spoken SMTP
  bool broken_ = false;             // the connection failed; no QUIT on it
  bool received_ = false;           // any reply line came
};

// What the loop and the conversations share; the mailer itself may go first.
struct Shared {
  Shared(asio::io_context& io, const MailerOptions& o) : io(io), options(o) {}
  asio::io_context& io;
  MailerOptions options;
  bool alive = true;
  bool busy = false;
  std::deque<Job> queue;
  std::shared_ptr<Session> session;              // the send under way
  std::function<void(MailResult)> session_done;  // its caller, until it finishes
  std::uint64_t send_number = 0;                 // which send is under way
};

void StartNext(const std::shared_ptr<Shared>& shared, const std::string& greeting);

void Finish(const std::shared_ptr<Shared>& shared, const std::string& greeting, MailResult result) {
  shared->session.reset();
  shared->busy = false;
  auto done = std::move(shared->session_done);
  shared->session_done = nullptr;
  if (!shared->alive) return;
  if (done) done(std::move(result));
  if (shared->alive) StartNext(shared, greeting);
}

asio::awaitable<MailResult> Transfer(std::shared_ptr<Shared> shared,
                                     std::shared_ptr<Session> session, Job job) {
  Conversation conversation(shared->io, *session, shared->options);
  MailResult result = co_await conversation.Run(job);
  job.password.Wipe();
  co_await conversation.Close();
  session->deadline.cancel();
  session->Abort();
  co_return result;
}

void StartNext(const std::shared_ptr<Shared>& shared, const std::string& greeting) {
  if (shared->busy || shared->queue.empty()) return;
  shared->busy = true;
  Job job = std::move(shared->queue.front());
  shared->queue.pop_front();
  shared->session_done = std::move(job.done);
  const std::uint64_t number = ++shared->send_number;

  if (job.problem != MailProblem::None || !job.refusal.empty()) {
    const MailResult refusal = Failure(
        kErrorRefusedMessage, job.refusal.empty() ? MailProblemText(job.problem) : job.refusal);
    asio::post(shared->io, [shared, greeting, refusal, number]() mutable {
      if (shared->busy && shared->send_number == number) Finish(shared, greeting, refusal);
    });
    return;
  }
  auto session = std::make_shared<Session>(shared->io);
  shared->session = session;
  asio::co_spawn(
      shared->io, Transfer(shared, session, std::move(job)),
      [shared, session, greeting, number](std::exception_ptr error, MailResult result) mutable {
        // A send that was given up has been answered already.
        if (!shared->busy || shared->send_number != number) return;
        if (error) result = Failure(kErrorProtocol, "The mail client failed");
        Finish(shared, greeting, std::move(result));
      });
}

class SmtpMailer final : public Mailer {
 public:
  SmtpMailer(asio::io_context& io, const MailerOptions& options)
      : shared_(std::make_shared<Shared>(io, options)),
        greeting_(MessageIdHost()),
        random_(std::random_device{}()) {
    if (shared_->options.clock == nullptr) shared_->options.clock = &system_clock_;
  }

  // Drops the messages not yet begun and ends the one under way.
  ~SmtpMailer() override {
    shared_->alive = false;
    shared_->queue.clear();
    // The clock may be this object's own; nothing reads it after this.
    if (shared_->session) shared_->session->Abort();
  }

  void GiveUp(const std::string& reason) override {
    std::vector<std::function<void(MailResult)>> dropped;
    if (shared_->busy && shared_->session_done) dropped.push_back(std::move(shared_->session_done));
    shared_->session_done = nullptr;
    for (auto& job : shared_->queue) dropped.push_back(std::move(job.done));
    shared_->queue.clear();
    if (shared_->session) {
      shared_->session->deadline.cancel();
      shared_->session->Abort();
    }
    shared_->session.reset();
    shared_->busy = false;
    ++shared_->send_number;
    for (auto& done : dropped) {
      if (!done) continue;
      asio::post(shared_->io, [alive = shared_, done = std::move(done), reason] {
        if (alive->alive) done(Failure(kErrorTimedOut, reason));
      });
    }
  }

  void Send(const MailMessage& message, std::function<void(MailResult)> done) override {
    Job job;
    job.problem = CheckMailMessage(message);
    if (job.problem == MailProblem::None) {
      job.recipients = SplitRecipients(message.to);
      if (job.recipients.empty()) job.problem = MailProblem::BadRecipient;
    }
    if (job.problem == MailProblem::None) {
      SignInProblem sign_in = CheckUserName(message.user);
      if (sign_in == SignInProblem::None) sign_in = CheckPassword(message.password);
      if (sign_in != SignInProblem::None) job.refusal = SignInProblemText(sign_in);
      // An unknown setting must not be taken for a weaker one.
      if (message.security < 0 || message.security > 2)
        job.refusal =
            "the email security setting " + std::to_string(message.security) + " is not known";
    }
    if (job.problem == MailProblem::None && job.refusal.empty()) {
      job.host = message.host;
      job.port = message.port;
      job.security = static_cast<MailSecurity>(message.security);
      job.user = message.user;
      job.password.Assign(message.password);
      job.from = EnvelopeAddress(message.from);
      job.utf8 = NeedsSmtpUtf8(message);
      const TimePoint now = shared_->options.clock->Now().wall;
      const std::string text =
          FormatMailMessage(message, now, MakeMessageId(now, random_(), greeting_));
      job.data = DotStuff(text) + ".\r\n";
    }
    job.done = std::move(done);
    // Refused messages queue up too, so results come back in the order the
    // messages were given; none comes back before Send has returned.
    shared_->queue.push_back(std::move(job));
    if (!shared_->busy) {
      asio::post(shared_->io, [shared = shared_, greeting = greeting_] {
        if (shared->alive) StartNext(shared, greeting);
      });
    }
  }

 private:
  std::shared_ptr<Shared> shared_;
  SystemClock system_clock_;
  const std::string greeting_;
  std::mt19937_64 random_;
};

}  // namespace

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io) {
  return MakeMailer(io, MailerOptions{});
}

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io, const MailerOptions& options) {
  return std::make_unique<SmtpMailer>(io, options);
}

}  // namespace ebbmark
