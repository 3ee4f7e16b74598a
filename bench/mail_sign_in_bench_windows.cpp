// The Windows mail client's cost of encryption: one notice over STARTTLS
// with a checked certificate and a sign-in, against the same notice in plain
// SMTP, alternating in the same run, to the same server program
// (tests/support/auth_smtp.py) on 127.0.0.1. tests/wine_unit_tests.py starts
// the servers and names them in the environment:
//
//   python3 tests/wine_unit_tests.py wine build/win64/bench/mail_sign_in_bench_windows.exe [N]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "bench/notice.h"
#include "platform/mailer.h"

namespace {

using ebbmark::bench::Notice;

using namespace std::chrono_literals;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

// One send, start to answer, in milliseconds; nothing when it failed.
std::optional<double> TimeOne(const ebbmark::MailMessage& m, const std::string& ca) {
  asio::io_context io;
  ebbmark::MailerOptions options;
  options.ca_file = ca;
  auto mailer = ebbmark::MakeMailer(io, options);
  std::optional<ebbmark::MailResult> result;
  const auto start = std::chrono::steady_clock::now();
  mailer->Send(m, [&](ebbmark::MailResult r) { result = r; });
  for (int i = 0; i < 2000 && !result; ++i) {
    io.restart();
    io.run_one_for(50ms);
  }
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  if (!result || !result->sent) {
    std::fprintf(stderr, "send failed: %s\n", result ? result->error_text.c_str() : "no answer");
    return std::nullopt;
  }
  return took.count();
}

void Print(const char* name, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (const double v : ms) sum += v;
  std::printf("%-24s n=%zu  median %.1f ms  mean %.1f ms  min %.1f ms  max %.1f ms\n", name,
              ms.size(), ms[ms.size() / 2], sum / static_cast<double>(ms.size()), ms.front(),
              ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::min(200, std::atoi(argv[1]))) : 20;
  const int plain_port = std::atoi(Env("EBBMARK_TEST_AUTH_PLAIN_AUTH_PORT").c_str());
  const int tls_port = std::atoi(Env("EBBMARK_TEST_AUTH_STARTTLS_PORT").c_str());
  const std::string ca = Env("EBBMARK_TEST_TLS_CA");
  std::ifstream in(Env("EBBMARK_TEST_AUTH_PASSWORD_FILE"), std::ios::binary);
  const std::string password((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (plain_port == 0 || tls_port == 0 || ca.empty() || password.empty()) {
    std::fprintf(stderr, "run through tests/wine_unit_tests.py, which starts the servers\n");
    return 2;
  }
  ebbmark::MailMessage signed_in = Notice(tls_port);
  signed_in.security = 1;
  signed_in.user = "alerts@example.test";
  signed_in.password = password;

  std::vector<double> plain, tls;
  // One of each first, not counted: the first TLS send loads Schannel.
  if (!TimeOne(Notice(plain_port), ca) || !TimeOne(signed_in, ca)) return 1;
  for (int i = 0; i < rounds; ++i) {
    const auto p = TimeOne(Notice(plain_port), ca);
    const auto t = TimeOne(signed_in, ca);
    if (!p || !t) return 1;
    plain.push_back(*p);
    tls.push_back(*t);
  }
  Print("plain SMTP", plain);
  Print("STARTTLS + sign-in", tls);
  return 0;
}
