#include "platform/listener.h"

#include <winsock2.h>

namespace ebbmark {

std::error_code PrepareListener(asio::ip::tcp::acceptor& acceptor) {
  // SO_REUSEADDR would let this socket take a port another program listens
  // on; exclusive use makes the bind fail instead, as on Linux.
  std::error_code ec;
  acceptor.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true),
                      ec);
  return ec;
}

}  // namespace ebbmark
