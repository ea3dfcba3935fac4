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

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The Content-Length of a request head, 0 when absent.
std::size_t contentLength(std::string_view head) {
  std::size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string_view::npos) {
    pos += 2;
    constexpr std::string_view name = "content-length:";
    if (head.size() - pos < name.size()) break;
    bool match = true;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(head[pos + i])) != name[i]) match = false;
    }
    if (match) return std::stoul(std::string(head.substr(pos + name.size(), 20)));
  }
  return 0;
}

}  // namespace

RawHttpServer::RawHttpServer(Responder responder) : responder_(std::move(responder)) {
  std::tie(listenFd_, port_) = bindLoopback();
  if (::listen(listenFd_, 64) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("listen failed");
  }
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
  stopping_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(connectionThreads_);
  }
  for (auto& thread : threads) thread.join();
  ::close(listenFd_);
}

void RawHttpServer::acceptLoop() {
  while (!stopping_) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    ++connections_;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    openFds_.push_back(fd);
    connectionThreads_.emplace_back([this, fd] { serve(fd); });
  }
}

void RawHttpServer::serve(int fd) {
  std::string buffer;
  char chunk[65536];
  bool open = true;
  while (open) {
    // Read one request: the head, then Content-Length bytes of body.
    std::optional<std::size_t> total;
    while (!total || buffer.size() < *total) {
      if (!total) {
        const auto end = buffer.find("\r\n\r\n");
        if (end != std::string::npos) {
          total = end + 4 + contentLength(std::string_view(buffer).substr(0, end + 2));
          continue;
        }
      }
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        open = false;
        break;
      }
      buffer.append(chunk, static_cast<size_t>(n));
    }
    if (!open) break;
    std::string request = buffer.substr(0, *total);
    buffer.erase(0, *total);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    const Reply reply = responder_(request);
    if (!writeAll(fd, reply.bytes) || reply.close) break;
  }
  std::lock_guard lock(mutex_);
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  std::erase(openFds_, fd);
}

std::vector<std::string> RawHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::string RawHttpServer::response(std::string_view status,
                                    const std::vector<std::pair<std::string, std::string>>& headers,
                                    std::string_view body) {
  std::string out = "HTTP/1.1 " + std::string(status) + "\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  out += body;
  return out;
}

RefusingPort::RefusingPort() {
  std::tie(fd_, port_) = bindLoopback();
}

RefusingPort::~RefusingPort() {
  ::close(fd_);
}

}  // namespace velqo::testing
