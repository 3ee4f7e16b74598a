// One notice through the mail helper over STARTTLS with a checked
// certificate and a sign-in, against the same notice in plain SMTP, in the
// same run and to the same server program (tests/support/auth_smtp.py on
// aiosmtpd) on 127.0.0.1. Run: build/release/bench/mail_sign_in_bench

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

#include "bench/local_net.h"
#include "platform/mailer.h"

extern char** environ;

namespace {

using ebbmark::bench::FreePort;
using ebbmark::bench::Notice;
using ebbmark::bench::PortOpen;

using namespace std::chrono_literals;

std::string g_folder;
int g_plain_port = 0;
int g_tls_port = 0;

pid_t StartServer(int port, const char* mode) {
  std::vector<std::string> args = {"/usr/bin/python3",
                                   EBBMARK_SOURCE_DIR "/tests/support/auth_smtp.py",
                                   "--port",
                                   std::to_string(port),
                                   "--mode",
                                   mode,
                                   "--password-file",
                                   g_folder + "/password",
                                   "--cert",
                                   g_folder + "/cert.pem",
                                   "--key",
                                   g_folder + "/key.pem"};
  if (std::string(mode) == "plain-auth") args.resize(8);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; i < 200 && !PortOpen(port); ++i) std::this_thread::sleep_for(50ms);
  return pid;
}

void SendLoop(benchmark::State& state, const ebbmark::MailMessage& m) {
  asio::io_context io;
  ebbmark::MailerOptions options;
  options.helper_path = EBBMARK_MAIL_HELPER;
  options.ca_file = g_folder + "/cert.pem";
  auto mailer = ebbmark::MakeMailer(io, options);
  for (auto _ : state) {
    std::optional<ebbmark::MailResult> result;
    mailer->Send(m, [&](ebbmark::MailResult r) { result = r; });
    for (int i = 0; i < 1000 && !result; ++i) {
      io.restart();
      io.run_one_for(50ms);
    }
    if (!result || !result->sent) {
      state.SkipWithError(result ? result->error_text.c_str() : "no answer");
      break;
    }
  }
}

void PlainSmtp(benchmark::State& state) {
  SendLoop(state, Notice(g_plain_port));
}

void StartTlsWithSignIn(benchmark::State& state) {
  ebbmark::MailMessage m = Notice(g_tls_port);
  m.security = 1;
  m.user = "alerts@example.test";
  m.password = "bench password";
  SendLoop(state, m);
}

// The time that counts is the wall clock's: most of a send is spent waiting
// for the helper and the server, not on this process's CPU.
BENCHMARK(PlainSmtp)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(StartTlsWithSignIn)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char folder[] = "/tmp/ebbmark-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  g_folder = folder;
  std::ofstream(g_folder + "/password") << "bench password";
  const std::string cert =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
      g_folder + "/key.pem -out " + g_folder + "/cert.pem >/dev/null 2>&1";
  if (std::system(cert.c_str()) != 0) {
    std::fprintf(stderr, "could not make a certificate with openssl\n");
    return 1;
  }
  // The helper reads the certificate after leaving root.
  chmod(folder, 0755);
  chmod((g_folder + "/cert.pem").c_str(), 0644);
  g_plain_port = FreePort();
  const pid_t plain = StartServer(g_plain_port, "plain-auth");
  g_tls_port = FreePort();
  const pid_t tls = StartServer(g_tls_port, "starttls");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const pid_t pid : {plain, tls}) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  std::system(("rm -rf " + g_folder).c_str());
  return 0;
}
