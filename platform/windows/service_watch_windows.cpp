// The Windows service control manager answers at once: its state is asked
// for directly and watched with a one-second timer.

#include "platform/service_watch.h"

namespace ebbmark {

std::unique_ptr<ServiceWatch> MakeServiceWatch(asio::io_context& io, const std::string& name,
                                               const std::string&) {
  return std::make_unique<PolledServiceWatch>(SystemServiceControl(), name, &io);
}

}  // namespace ebbmark
