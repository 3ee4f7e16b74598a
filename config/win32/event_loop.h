#pragma once
// The program's one loop: Windows messages, with the asio io_context polled
// from a thread timer. A thread timer's procedure also runs inside the
// system's own modal loops (menus, message boxes, moving the window), so the
// relay link and the model's timers keep going there too.

#include <windows.h>

#include <functional>

#include <asio/io_context.hpp>

namespace ebbmark::win32view {

class EventLoop {
 public:
  // How often the io_context is polled. The model's timers run at 100 ms
  // and more and the relay sends a line a second, so a handler that waits
  // up to this long changes nothing anyone sees, while every wake-up costs
  // a trip through the system (a large one under Wine). User input does not
  // wait for it: messages are handled as they come.
  static constexpr UINT kPollMilliseconds = 50;

  // Messages the windows want to see before they are dispatched (keyboard
  // navigation); true when the message was handled.
  using PreTranslate = std::function<bool(MSG&)>;

  EventLoop(asio::io_context& io, PreTranslate pre_translate);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Runs until Quit, or until `done` returns true (checked after every
  // message). Loops may nest: a modal window runs one inside a handler.
  void Run(const std::function<bool()>& done = {});
  // Ends every running loop; the outermost returns last.
  void Quit();
  bool Quitting() const { return quitting_; }

  // Runs the handlers that are ready, unless a poll is already under way
  // further up the stack (a handler showing a message box).
  void Poll();

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);

  asio::io_context& io_;
  PreTranslate pre_translate_;
  UINT_PTR timer_ = 0;
  bool quitting_ = false;
  bool polling_ = false;
};

}  // namespace ebbmark::win32view
