// One email sent with libcurl's SMTP client, start to end, on the calling
// thread. Only the mail helper (and its benchmark) link this.

#include "service/mail/curl_send.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/mail_sign_in.h"

namespace ebbmark {
namespace {

// What the conversation showed, read from libcurl's protocol trace: libcurl
// itself reports a refused recipient only as a count and a failed DATA as
// "Weird server reply", but a user needs the server's own words.
struct Trace {
  std::string last_reply;    // the last complete reply line
  std::string last_command;  // the verb of the last command ("MAIL", "RCPT", ...)
  std::string pending_rcpt;  // the address of a RCPT TO not yet answered
  bool received = false;     // any reply at all came
  bool data_sent = false;    // the message itself went out
  bool utf8_offered = false;
  std::vector<RecipientRefusal> refused;
};

std::string Verb(std::string_view line) {
  const auto end = line.find_first_of(" :\r\n");
  std::string verb(line.substr(0, end));
  for (auto& c : verb) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return verb;
}

int OnTrace(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
  auto* t = static_cast<Trace*>(user);
  const std::string_view text(data, size);
  if (type == CURLINFO_DATA_OUT) {
    t->data_sent = true;
    t->last_command = "DATA";
  } else if (type == CURLINFO_HEADER_OUT) {
    // Only the verb is kept: an AUTH line carries the credentials.
    t->last_command = Verb(text);
    constexpr std::string_view kRcpt = "RCPT TO:<";
    if (t->last_command == "RCPT" && text.size() > kRcpt.size()) {
      const auto close = text.find('>', kRcpt.size());
      t->pending_rcpt = std::string(text.substr(kRcpt.size(), close - kRcpt.size()));
    }
  } else if (type == CURLINFO_HEADER_IN) {
    t->received = true;
    // "250-SMTPUTF8" in the EHLO reply.
    if (text.size() >= 12 && Verb(text.substr(4)) == "SMTPUTF8") t->utf8_offered = true;
    const bool last_line = text.size() < 4 || text[3] != '-';
    if (!last_line) return 0;
    t->last_reply = QuotableReply(text);
    if (!t->pending_rcpt.empty()) {
      if (text.empty() || text[0] != '2') t->refused.push_back({t->pending_rcpt, t->last_reply});
      t->pending_rcpt.clear();
    }
  }
  return 0;
}

bool ErrorReply(const std::string& reply) {
  return !reply.empty() && (reply[0] == '4' || reply[0] == '5');
}

// The name the client greets the server with (RFC 5321 4.1.4): the computer's
// fully qualified name when the resolver knows one, else the address literal
// of the local end of a connection to the server. Never a bare or mangled
// computer name, which strict relays refuse.
std::string GreetingName(const std::string& host, int port) {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) == 0) {
      const std::string canonical =
          found->ai_canonname != nullptr ? found->ai_canonname : std::string();
      ::freeaddrinfo(found);
      if (UsableGreetingName(canonical)) return canonical;
    }
    if (UsableGreetingName(name)) return name;
  }
  // The local end of a route to the server: a datagram socket "connected"
  // to it sends nothing, yet the system picks the address it would use.
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::string literal;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) {
    for (addrinfo* a = found; a != nullptr && literal.empty(); a = a->ai_next) {
      const int fd = ::socket(a->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (fd < 0) continue;
      sockaddr_storage local{};
      socklen_t length = sizeof local;
      char text[INET6_ADDRSTRLEN] = {};
      if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 &&
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        const void* address =
            local.ss_family == AF_INET6
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                : &reinterpret_cast<sockaddr_in*>(&local)->sin_addr;
        if (::inet_ntop(local.ss_family, address, text, sizeof text) != nullptr)
          literal = AddressLiteral(text);
      }
      ::close(fd);
    }
    ::freeaddrinfo(found);
  }
  return literal.empty() ? "[127.0.0.1]" : literal;
}

// The URL's path is what libcurl greets with; brackets and colons of an
// address literal are escaped so the URL parser leaves them to the path.
std::string WithGreeting(const std::string& url, const std::string& greeting) {
  std::string out = url + '/';
  for (const char c : greeting) {
    if (c == '[')
      out += "%5B";
    else if (c == ']')
      out += "%5D";
    else if (c == ':')
      out += "%3A";
    else
      out += c;
  }
  return out;
}

// "smtp://host:port" without a path: the helper picks the greeting.
bool HasPath(const std::string& url, std::string& host, int& port) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos) return true;
  const std::string rest = url.substr(scheme + 3);
  const auto slash = rest.find('/');
  if (slash != std::string::npos) return true;
  const auto colon = rest.rfind(':');
  const bool bracketed = !rest.empty() && rest.front() == '[';
  const auto close = rest.find(']');
  if (colon == std::string::npos || (bracketed && colon < close)) {
    host = rest;
    port = url.compare(0, 5, "smtps") == 0 ? 465 : 25;
  } else {
    host = rest.substr(0, colon);
    port = std::atoi(rest.c_str() + colon + 1);
  }
  if (bracketed && host.size() > 2) host = host.substr(1, host.size() - 2);
  return false;
}

struct Upload {
  const std::string* text;
  std::size_t pos = 0;
};

// Replies to a command (the NOOP) would otherwise land on standard output,
// where the helper's answer goes.
std::size_t DropOutput(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* up = static_cast<Upload*>(user);
  const std::size_t n = std::min(size * count, up->text->size() - up->pos);
  std::memcpy(buffer, up->text->data() + up->pos, n);
  up->pos += n;
  return n;
}

void ApplySecurity(CURL* curl, const MailRequest& job) {
  const auto security = static_cast<MailSecurity>(job.security);
  const bool sign_in = !job.user.empty();
  if (security == MailSecurity::Opportunistic) {
    // Encrypt when the server offers it. The notices carry no secrets, so a
    // self-signed certificate on a local server must not cost the user the
    // warning that the power is failing: this guards against passive
    // listeners only. A sign-in, though, is never made in plain text: with a
    // user name the whole session must be encrypted or nothing is sent (the
    // certificate stays unchecked, as this setting promises; the checked
    // settings are the ones that also stop an active attacker).
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     static_cast<long>(sign_in ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  } else {
    // STARTTLS required (the URL says smtps:// for TLS from the first byte),
    // and the certificate and the server's name checked against the
    // system's trust store: a failure ends the send, never a fallback.
    curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  }
  if (!job.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, job.ca_file.c_str());
  if (sign_in) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, job.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, job.password.c_str());
  }
}

// Whether the server at `url` (smtp://) completes a TLS handshake from the
// first byte: a server that said nothing to a plain client may be waiting
// for one. A short, separate try; its certificate is not checked, since it
// only decides which advice the record gives.
bool SpeaksTlsFirst(const std::string& url) {
  CURL* probe = curl_easy_init();
  if (probe == nullptr) return false;
  const std::string tls_url = "smtps://" + url.substr(url.find("://") + 3);
  curl_easy_setopt(probe, CURLOPT_URL, tls_url.c_str());
  curl_easy_setopt(probe, CURLOPT_PROTOCOLS_STR, "smtps");
  curl_easy_setopt(probe, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(probe, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(probe, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(probe, CURLOPT_CONNECTTIMEOUT_MS, 3000L);
  curl_easy_setopt(probe, CURLOPT_NOSIGNAL, 1L);
  const bool ok = curl_easy_perform(probe) == CURLE_OK;
  curl_easy_cleanup(probe);
  return ok;
}

std::string WithoutFullStop(std::string text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

// The causes a user can act on, in their words, with the server's reply or
// libcurl's detail after.
std::string FailureText(CURLcode code, std::string detail, const Trace& t, const MailRequest& job,
                        const std::string& url, bool implicit_tls) {
  detail = WithoutFullStop(std::move(detail));
  if (!t.refused.empty() && t.refused.size() >= job.recipients.size()) {
    if (t.refused.size() == 1)
      return "the server refused the recipient " + t.refused[0].address + ": " + t.refused[0].reply;
    return "the server refused every recipient";
  }
  if (code == CURLE_SSL_CONNECT_ERROR && implicit_tls && !t.received)
    return "the server does not speak TLS on this port; try SMTPSecurity 1";
  const bool no_reply = code == CURLE_OPERATION_TIMEDOUT || code == CURLE_RECV_ERROR ||
                        code == CURLE_GOT_NOTHING || code == CURLE_WEIRD_SERVER_REPLY;
  if (no_reply && !t.received && !implicit_tls) {
    // A server that waits for a TLS handshake before it greets says nothing
    // at all, which is what port 465 does.
    if (SpeaksTlsFirst(url))
      return "the server expects TLS from the first byte on this port; try SMTPSecurity 2";
    if (code == CURLE_OPERATION_TIMEDOUT)
      return "the server sent no greeting within " +
             std::to_string(job.connect_timeout.count() / 1000) + " seconds";
  }
  if (code != CURLE_LOGIN_DENIED && code != CURLE_USE_SSL_FAILED && ErrorReply(t.last_reply)) {
    if (t.data_sent || t.last_command == "DATA")
      return "the server refused the message: " + t.last_reply;
    if (t.last_command == "MAIL")
      return "the server refused the sender " + job.from + ": " + t.last_reply;
    if (t.last_command == "EHLO" || t.last_command == "HELO")
      return "the server refused the greeting: " + t.last_reply;
    if (t.last_command == "STARTTLS")
      return std::string(sign_in_texts::kNoEncryption) + ": " + t.last_reply;
    if (t.last_command.empty()) return "the server refused the connection: " + t.last_reply;
  }
  const char* cause = nullptr;
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
      cause = sign_in_texts::kUntrusted;
      break;
    case CURLE_LOGIN_DENIED:
      cause = sign_in_texts::kRefused;
      if (ErrorReply(t.last_reply)) detail = t.last_reply;
      break;
    case CURLE_USE_SSL_FAILED:
      cause = sign_in_texts::kNoEncryption;
      break;
    default:
      return detail;
  }
  return std::string(cause) + " (" + detail + ")";
}

}  // namespace

MailResult SendWithCurl(const MailRequest& job) {
  MailResult result;
  static std::once_flag ready;
  std::call_once(ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    result.error_number = CURLE_FAILED_INIT;
    result.error_text = curl_easy_strerror(CURLE_FAILED_INIT);
    return result;
  }
  curl_slist* rcpt = nullptr;
  for (const auto& r : job.recipients) rcpt = curl_slist_append(rcpt, r.c_str());
  Upload upload{&job.text};
  char error_text[CURL_ERROR_SIZE] = {};
  Trace trace;
  std::string url = job.url;
  std::string host;
  int port = 25;
  if (!HasPath(url, host, port)) url = WithGreeting(url, GreetingName(host, port));
  const bool implicit_tls = url.compare(0, 8, "smtps://") == 0;

  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, job.from.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
  // Every recipient on its own: one closed mailbox must not cost the others
  // the notice. The send fails only when the server takes none of them.
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DropOutput);
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnTrace);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &trace);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  // The whole send is bounded by the caller, which kills this process at the
  // deadline; this only makes an unanswered connect fail with its own reason.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(job.connect_timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  ApplySecurity(curl, job);

  // An address outside ASCII may only go to a server that offers SMTPUTF8
  // (libcurl then says SMTPUTF8 on its own). The offer is only known after
  // EHLO, so the session is first opened without a message; the send then
  // goes over the same connection.
  bool needs_utf8 = false;
  for (const auto& a : job.recipients)
    for (const char c : a) needs_utf8 = needs_utf8 || static_cast<unsigned char>(c) >= 0x80;
  for (const char c : job.from) needs_utf8 = needs_utf8 || static_cast<unsigned char>(c) >= 0x80;
  CURLcode code = CURLE_OK;
  if (needs_utf8) {
    // A NOOP alone: neither the message nor a recipient goes out yet.
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, static_cast<curl_slist*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "NOOP");
    code = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    if (code == CURLE_OK && !trace.utf8_offered) {
      curl_slist_free_all(rcpt);
      curl_easy_cleanup(curl);  // says QUIT
      result.error_number = CURLE_SEND_ERROR;
      result.error_text =
          "an address holds letters outside ASCII, and the server does not offer SMTPUTF8 "
          "to carry them; use an address in ASCII letters";
      return result;
    }
  }
  if (code == CURLE_OK) code = curl_easy_perform(curl);
  curl_slist_free_all(rcpt);
  // Closing the connection says QUIT, after a failure as after a success.
  curl_easy_cleanup(curl);

  result.refused = trace.refused;
  result.sent = code == CURLE_OK;
  if (!result.sent) {
    result.error_number = static_cast<int>(code);
    result.error_text =
        FailureText(code, error_text[0] != '\0' ? error_text : curl_easy_strerror(code), trace, job,
                    url, implicit_tls);
  }
  return result;
}

}  // namespace ebbmark
