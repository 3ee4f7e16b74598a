#include "config/win32/event_loop.h"

namespace ebbmark::win32view {
namespace {
// The thread timer's procedure has no context argument; the program has one
// loop on its one thread.
EventLoop* g_loop = nullptr;
}  // namespace

EventLoop::EventLoop(asio::io_context& io, PreTranslate pre_translate)
    : io_(io), pre_translate_(std::move(pre_translate)) {
  g_loop = this;
  timer_ = ::SetTimer(nullptr, 0, kPollMilliseconds, &EventLoop::Tick);
}

EventLoop::~EventLoop() {
  if (timer_ != 0) ::KillTimer(nullptr, timer_);
  if (g_loop == this) g_loop = nullptr;
}

void CALLBACK EventLoop::Tick(HWND, UINT, UINT_PTR, DWORD) {
  if (g_loop != nullptr) g_loop->Poll();
}

void EventLoop::Poll() {
  if (polling_) return;
  polling_ = true;
  io_.poll();
  // poll() leaves the context stopped once it ran out of work; the next
  // poll must find it ready again.
  if (io_.stopped()) io_.restart();
  polling_ = false;
}

void EventLoop::Quit() {
  if (quitting_) return;
  quitting_ = true;
  ::PostQuitMessage(0);
}

void EventLoop::Run(const std::function<bool()>& done) {
  Poll();
  MSG msg;
  while (!quitting_ && !(done && done())) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      quitting_ = true;
      break;
    }
    if (pre_translate_ && pre_translate_(msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  // An outer loop must see the quit too.
  if (quitting_) ::PostQuitMessage(0);
}

}  // namespace ebbmark::win32view
