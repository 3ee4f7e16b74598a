// One notice sent through the mail helper process (what the service does)
// against the same send made in-process with libcurl (what it did before), to
// aiosmtpd on 127.0.0.1. Run: build/release/bench/mail_send_bench

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

#include "base/mail_request.h"
#include "bench/local_net.h"
#include "platform/mailer.h"
#include "service/mail/curl_send.h"

extern char** environ;

namespace {

using ebbmark::bench::FreePort;
using ebbmark::bench::Notice;
using ebbmark::bench::PortOpen;

using namespace std::chrono_literals;

int g_port = 0;

void InProcess(benchmark::State& state) {
  ebbmark::MailRequest r;
  r.url = "smtp://127.0.0.1:" + std::to_string(g_port) + "/bench";
  r.from = "ups@localhost";
  r.recipients = {"admin@localhost"};
  r.text = ebbmark::FormatMailMessage(
      Notice(g_port), ebbmark::TimePoint{std::chrono::seconds{1'800'000'000}}, "<bench@localhost>");
  for (auto _ : state) {
    const auto result = ebbmark::SendWithCurl(r);
    if (!result.sent) state.SkipWithError(result.error_text.c_str());
  }
}

void ThroughTheHelper(benchmark::State& state) {
  asio::io_context io;
  ebbmark::MailerOptions options;
  options.helper_path = EBBMARK_MAIL_HELPER;
  auto mailer = ebbmark::MakeMailer(io, options);
  for (auto _ : state) {
    std::optional<ebbmark::MailResult> result;
    mailer->Send(Notice(g_port), [&](ebbmark::MailResult r) { result = r; });
    for (int i = 0; i < 1000 && !result; ++i) {
      io.restart();
      io.run_one_for(50ms);
    }
    if (!result || !result->sent) state.SkipWithError("the helper did not send");
  }
}

BENCHMARK(InProcess)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ThroughTheHelper)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  g_port = FreePort();
  std::string listen = "127.0.0.1:" + std::to_string(g_port);
  std::vector<std::string> args = {"/usr/bin/python3",       "-m", "aiosmtpd", "-n", "-c",
                                   "aiosmtpd.handlers.Sink", "-l", listen};
  std::vector<char*> argv_server;
  for (auto& a : args) argv_server.push_back(a.data());
  argv_server.push_back(nullptr);
  pid_t server = -1;
  if (posix_spawn(&server, argv_server[0], nullptr, nullptr, argv_server.data(), environ) != 0) {
    std::fprintf(stderr, "could not start aiosmtpd\n");
    return 1;
  }
  for (int i = 0; i < 200 && !PortOpen(g_port); ++i) std::this_thread::sleep_for(50ms);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  return 0;
}
