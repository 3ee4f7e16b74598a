#pragma once
// Runs the program's asio loop on the GUI thread, from Qt's event loop: the
// sockets and timers of the windows stay on the one thread that also draws
// them, so no handler ever needs a lock.

#include <memory>
#include <vector>

#include <QObject>
#include <QTimer>
#include <asio/io_context.hpp>

namespace ebbmark {

class AsioPump : public QObject {
  Q_OBJECT

 public:
  // How long the loop may wait when nothing was ready at the last poll. A
  // short wait keeps socket data and the windows' timers prompt; between
  // polls the process sleeps, so an idle window costs almost nothing.
  static constexpr int kIdleMilliseconds = 15;
  // Nested event loops (a message box shown by a loop handler) get a timer
  // of their own, up to this depth; deeper ones wait for the outer box.
  static constexpr int kMaxDepth = 4;

  explicit AsioPump(asio::io_context& io, QObject* parent = nullptr);
  ~AsioPump() override;

  void Start();
  void Stop();

  // Handlers run so far, for diagnostics and tests.
  std::size_t HandlersRun() const { return handlers_run_; }

 private:
  void Tick(int level);
  QTimer* TimerAt(int level);

  asio::io_context& io_;
  // A Qt timer does not fire again while its own slot runs, so a modal loop
  // opened inside a handler would stop the asio loop: each nesting level
  // polls from a timer of its own.
  std::vector<std::unique_ptr<QTimer>> timers_;
  int depth_ = 0;
  bool running_ = false;
  std::size_t handlers_run_ = 0;
};

}  // namespace ebbmark
