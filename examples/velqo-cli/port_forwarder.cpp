#include "port_forwarder.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velqo::cli {
namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Writes all of `data`; false when the peer is gone.
bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

PortForwarder::PortForwarder(std::uint16_t listenPort, std::uint16_t targetPort) : targetPort_(targetPort) {
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  if (listenFd_ >= 0) ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address = loopback(listenPort);
  if (stopFd_ < 0 || listenFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listenFd_, SOMAXCONN) != 0) {
    if (listenFd_ >= 0) ::close(listenFd_);
    if (stopFd_ >= 0) ::close(stopFd_);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(listenPort));
  }
  acceptor_ = std::thread([this] { acceptLoop(); });
}

PortForwarder::~PortForwarder() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(stopFd_, &one, sizeof(one));
  acceptor_.join();
  std::list<Relay> relays;
  {
    std::lock_guard lock(mutex_);
    relays.swap(relays_);
  }
  for (auto& r : relays) r.thread.join();
  ::close(listenFd_);
  ::close(stopFd_);
}

void PortForwarder::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    for (auto it = relays_.begin(); it != relays_.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = relays_.erase(it);
      } else {
        ++it;
      }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    relays_.push_back(Relay{std::thread([this, client, done] { relay(client, *done); }), done});
  }
}

void PortForwarder::relay(int client, std::atomic<bool>& done) {
  struct MarkDone {
    std::atomic<bool>& flag;
    ~MarkDone() { flag = true; }
  } markDone{done};
  const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(targetPort_);
  if (upstream < 0 || ::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    if (upstream >= 0) ::close(upstream);
    ::close(client);
    return;
  }
  std::array<char, 16384> buffer{};
  bool open = true;
  while (open) {
    pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;
    for (int i = 0; i < 2 && open; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      open = n > 0 && sendAll(i == 0 ? upstream : client, buffer.data(), static_cast<std::size_t>(n));
    }
  }
  ::close(upstream);
  ::close(client);
}

}  // namespace velqo::cli
