#pragma once
// What a listening socket needs from the system before it binds.

#include <system_error>

#include <asio/ip/tcp.hpp>

namespace ebbmark {

// Sets the options under which an open, not yet bound `acceptor` may bind
// its port: on Linux again at once after a restart (old connections in
// TIME-WAIT do not hold it), on Windows never while another program
// listens there. A port another program listens on must fail to bind on
// both. Returns the system's refusal.
std::error_code PrepareListener(asio::ip::tcp::acceptor& acceptor);

}  // namespace ebbmark
