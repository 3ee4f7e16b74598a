#pragma once
// Whether this computer can hibernate, asked of the system without waiting:
// the window warns when hibernation is chosen on a computer that cannot.

#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

namespace ebbmark {

enum class HibernateSupport {
  Unknown,  // the system could not be asked, or did not answer in time
  Able,
  Unable,
};

class HibernationCheck {
 public:
  virtual ~HibernationCheck() = default;
  // Asks once. `done` runs later on the program's loop, never inside this
  // call, exactly once per call; not at all when the check is destroyed
  // before the answer has come.
  virtual void Ask(std::function<void(HibernateSupport)> done) = 0;
};

// Linux: logind's CanHibernate on the system bus (or on `bus_address` when
// given); anything but "yes" is Unable. Windows: the power capabilities,
// Able only with the S4 state and a hibernation file.
std::unique_ptr<HibernationCheck> MakeHibernationCheck(asio::io_context& io,
                                                       const std::string& bus_address = {});

}  // namespace ebbmark
