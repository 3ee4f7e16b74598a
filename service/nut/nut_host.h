#pragma once
// Where the NUT server runs, as the service sees it: told where to listen,
// the sign-in and each new snapshot, it answers with the secondaries signed
// in now. On Linux it is ebbmark-nut, a helper process without privileges;
// on Windows the server runs on the service's own loop.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "base/clock.h"
#include "common/nut_protocol.h"
#include "platform/event_log.h"
#include "service/nut/nut_server.h"

namespace ebbmark::nut {

class NutHost {
 public:
  virtual ~NutHost() = default;

  // Starts, moves or (with no addresses) stops the server. Records of the
  // server go to the service's log.
  virtual void Configure(const ListenConfig& listen, const ServerConfig& config) = 0;
  // What the server answers from from now on; the caller sends only changes.
  virtual void Publish(const Snapshot& snapshot) = 0;
  // Peer addresses of the secondaries signed in with LOGIN now.
  virtual std::vector<std::string> LoggedIn() const = 0;
  // Ends the server and every connection.
  virtual void Stop() = 0;

  // Runs on the loop whenever LoggedIn() changed.
  std::function<void()> on_logins_changed;
};

// The server on this loop.
std::unique_ptr<NutHost> MakeLocalNutHost(asio::io_context& io, const Clock& clock, EventLog& log,
                                          ServerLimits limits);

// This platform's: ebbmark-nut on Linux, the server on this loop on Windows.
std::unique_ptr<NutHost> MakeNutHost(asio::io_context& io, const Clock& clock, EventLog& log);

// The limits in force: the defaults, except that EBBMARK_NUT_RETRY_SECONDS
// (1 to 3600, for tests) shortens the minute after which an address that
// could not be opened is tried again.
ServerLimits LimitsFromEnvironment();

}  // namespace ebbmark::nut
