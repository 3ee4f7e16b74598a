#include "platform/listener.h"

namespace ebbmark {

std::error_code PrepareListener(asio::ip::tcp::acceptor& acceptor) {
  // SO_REUSEADDR here still refuses a port with a listener on it.
  std::error_code ec;
  acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  return ec;
}

}  // namespace ebbmark
