#include "service/nut/nut_host.h"

namespace ebbmark::nut {

// The service runs as SYSTEM on Windows either way; the server shares its
// loop, as the other network code of the service does.
std::unique_ptr<NutHost> MakeNutHost(asio::io_context& io, const Clock& clock, EventLog& log) {
  return MakeLocalNutHost(io, clock, log, LimitsFromEnvironment());
}

}  // namespace ebbmark::nut
