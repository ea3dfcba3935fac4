#include "support/loopback_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>

namespace velqo::testing {
namespace {

// Binds a TCP socket to 127.0.0.1 on an ephemeral port; returns the descriptor and port.
std::pair<int, int> bindLoopback() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  return {fd, ntohs(address.sin_port)};
}

}  // namespace

RefusingPort::RefusingPort() {
  std::tie(fd_, port_) = bindLoopback();
}

RefusingPort::~RefusingPort() {
  ::close(fd_);
}

}  // namespace velqo::testing
