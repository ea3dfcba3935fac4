#include "velqo_localservice/local_service.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "id_token_keys.hpp"

namespace velqo::localservice {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

std::int64_t threadCpuNanoseconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Set by a handler that asks to drop its connection; read by the connection's own thread
// (handlers run on the thread that serves their connection).
thread_local bool t_dropConnection = false;

// How long one read or write may wait for the peer.
constexpr int kIoTimeoutMs = 30000;

// The HTTP library's request parsing, routing and response writing, driven over connections
// this service accepts and owns itself: so it can wake every connection at once when it stops,
// and reset one without answering, with no descriptor ever touched by two threads.
class RoutingServer : public httplib::Server {
 public:
  using httplib::Server::process_request;
};

// One accepted connection as the HTTP library's stream. Every wait also watches the service's
// stop event, so a stopping service never waits for a peer.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}

  // Waits until the descriptor is ready for `events`; false on stop, time-out or error.
  bool waitFor(short events, int timeoutMs) const {
    pollfd fds[2] = {{fd_, events, 0}, {stopFd_, POLLIN, 0}};
    int ready = 0;
    do {
      ready = ::poll(fds, 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || fds[1].revents != 0) return false;
    return fds[0].revents != 0;
  }

  bool is_readable() const override { return buffered() > 0 || waitFor(POLLIN, kIoTimeoutMs); }
  bool is_writable() const override { return waitFor(POLLOUT, kIoTimeoutMs); }

  // Reads through a small buffer: the HTTP library reads request lines one byte at a time.
  ssize_t read(char* ptr, size_t size) override {
    if (buffered() == 0) {
      if (!waitFor(POLLIN, kIoTimeoutMs)) return -1;
      ssize_t n = 0;
      do {
        n = ::recv(fd_, buffer_, sizeof(buffer_), 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    size_t count = std::min(size, buffered());
    std::memcpy(ptr, buffer_ + begin_, count);
    begin_ += count;
    return static_cast<ssize_t>(count);
  }

  size_t buffered() const { return end_ - begin_; }

  ssize_t write(const char* ptr, size_t size) override {
    if (t_dropConnection || !waitFor(POLLOUT, kIoTimeoutMs)) return -1;
    ssize_t n = 0;
    do {
      n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { describe(false, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { describe(true, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  void describe(bool local, std::string& ip, int& port) const {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if ((local ? ::getsockname(fd_, raw, &length) : ::getpeername(fd_, raw, &length)) != 0) return;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    ip = text;
    port = ntohs(address.sin_port);
  }

  int fd_;
  int stopFd_;
  char buffer_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
};

RecordedRequest record(const httplib::Request& req) {
  RecordedRequest out;
  out.method = req.method;
  out.path = req.path;
  if (auto mark = req.target.find('?'); mark != std::string::npos) out.query = req.target.substr(mark + 1);
  for (const auto& [name, value] : req.headers) {
    // The library adds these two bookkeeping entries itself; they never came over the wire.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
      continue;
    out.headers.emplace_back(name, value);
  }
  out.body = req.body;
  return out;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto& h) { return equalsIgnoringCase(h.first, name); }));
}

Reply Reply::json(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

Reply Reply::empty(int status) {
  Reply reply;
  reply.status = status;
  reply.contentType.clear();
  return reply;
}

Reply Reply::drop() {
  Reply reply;
  reply.dropConnection = true;
  return reply;
}

struct LocalService::Impl {
  RoutingServer server;
  detail::IdTokenKeys keys;
  int listenFd = -1;
  int stopFd = -1;  // an eventfd that becomes readable, and stays so, when the service stops
  int port = 0;

  // One thread listens at a time. The one that accepts a connection starts the next listener
  // and serves that connection itself, so a request is never handed from thread to thread.
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  std::list<Worker> workers;  // guarded by mutex

  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // a request arrived, or the service stops
  std::map<std::pair<std::string, std::string>, Handler> routes;
  std::vector<RecordedRequest> log;
  RawResponder rawResponder;
  std::vector<std::string> rawLog;
  std::size_t accepted = 0;
  bool stopping = false;
  std::atomic<std::int64_t> handlerCpuNanoseconds{0};

  ~Impl() {
    if (listenFd >= 0) ::close(listenFd);
    if (stopFd >= 0) ::close(stopFd);
  }

  void serve(const httplib::Request& req, httplib::Response& res);
  // Starts a listening thread; false when the service stops or no thread can start. Caller
  // holds the mutex.
  bool startListenerLocked();
  void listen();
  void serveConnection(int fd);
  void serveRaw(ConnectionStream& stream, const RawResponder& responder);
  // Sleeps up to `delay`; false when the service stops meanwhile.
  bool waitOut(std::chrono::milliseconds delay);
};

bool LocalService::Impl::waitOut(std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex);
  return !changed.wait_for(lock, delay, [this] { return stopping; });
}

void LocalService::Impl::serve(const httplib::Request& req, httplib::Response& res) {
  RecordedRequest request = record(req);
  Handler handler;
  {
    std::lock_guard lock(mutex);
    log.push_back(request);
    if (auto it = routes.find({request.method, request.path}); it != routes.end()) handler = it->second;
  }
  changed.notify_all();

  Reply reply;
  if (!handler) {
    reply = Reply::json(404, R"({"detail":"not found"})");
  } else {
    const std::int64_t cpuBefore = threadCpuNanoseconds();
    try {
      reply = handler(request);
    } catch (...) {
      reply = Reply::json(500, R"({"detail":"handler failed"})");
    }
    handlerCpuNanoseconds.fetch_add(threadCpuNanoseconds() - cpuBefore, std::memory_order_relaxed);
  }

  if (reply.delay.count() > 0 && !waitOut(reply.delay)) reply.dropConnection = true;
  if (reply.dropConnection) {
    t_dropConnection = true;  // the stream refuses to write; the connection is then reset
    return;
  }
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name, value);
  if (!reply.body.empty() || !reply.contentType.empty()) res.set_content(reply.body, reply.contentType);
}

// The Content-Length of a request head, 0 when absent or unreadable.
static std::size_t contentLength(std::string_view head) {
  constexpr std::string_view name = "\r\ncontent-length:";
  for (std::size_t pos = 0; pos + name.size() <= head.size(); ++pos) {
    if (!equalsIgnoringCase(head.substr(pos, name.size()), name)) continue;
    std::size_t value = 0;
    for (std::size_t i = pos + name.size(); i < head.size() && head[i] != '\r'; ++i) {
      if (head[i] >= '0' && head[i] <= '9') value = value * 10 + static_cast<std::size_t>(head[i] - '0');
      if (value > (std::size_t{1} << 30)) return 0;
    }
    return value;
  }
  return 0;
}

void LocalService::Impl::serveRaw(ConnectionStream& stream, const RawResponder& responder) {
  std::string buffer;
  char chunk[4096];
  for (;;) {
    std::optional<std::size_t> total;
    while (!total || buffer.size() < *total) {
      if (!total) {
        if (const auto end = buffer.find("\r\n\r\n"); end != std::string::npos) {
          total = end + 4 + contentLength(std::string_view(buffer).substr(0, end + 2));
          continue;
        }
      }
      const ssize_t n = stream.read(chunk, sizeof(chunk));
      if (n <= 0) return;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    std::string request = buffer.substr(0, *total);
    buffer.erase(0, *total);
    {
      std::lock_guard lock(mutex);
      rawLog.push_back(request);
    }
    changed.notify_all();
    const RawReply reply = responder(request);
    for (std::string_view rest = reply.bytes; !rest.empty();) {
      const ssize_t n = stream.write(rest.data(), rest.size());
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (reply.close) return;
  }
}

void LocalService::Impl::serveConnection(int fd) {
  ConnectionStream stream(fd, stopFd);
  t_dropConnection = false;
  RawResponder responder;
  {
    std::lock_guard lock(mutex);
    responder = rawResponder;
  }
  if (responder) {
    serveRaw(stream, responder);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return;
  }
  // Requests follow one another on a kept-alive connection until the peer closes it, asks
  // for "Connection: close", a reply drops it, or the service stops.
  while (stream.buffered() > 0 || stream.waitFor(POLLIN, -1)) {
    bool closed = false;
    bool ok = server.process_request(stream, false, closed, [](httplib::Request&) {});
    if (!ok || closed || t_dropConnection) break;
  }
  if (t_dropConnection) {
    linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  }
  ::close(fd);
}

bool LocalService::Impl::startListenerLocked() {
  if (stopping) return false;
  // Threads whose connections have ended are joined as new ones start.
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->finished->load()) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  try {
    workers.push_back(Worker{std::thread([this, finished] {
                               (void)::pthread_setname_np(::pthread_self(), "localservice");
                               listen();
                               finished->store(true);
                             }),
                             finished});
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void LocalService::Impl::listen() {
  while (true) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));  // no Nagle stall per request
    bool handedOver = false;
    {
      std::lock_guard lock(mutex);
      ++accepted;
      handedOver = startListenerLocked();
    }
    try {
      serveConnection(fd);
    } catch (...) {
      ::close(fd);  // nothing may escape the thread
    }
    // Without a successor (no thread could start) this thread goes on listening.
    if (handedOver) return;
  }
}

LocalService::LocalService() : LocalService(0) {}

LocalService::LocalService(std::uint16_t port) : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  auto dispatch = [&impl](const httplib::Request& req, httplib::Response& res) { impl.serve(req, res); };
  const std::string any = ".*";
  impl.server.Get(any, dispatch);
  impl.server.Post(any, dispatch);
  impl.server.Put(any, dispatch);
  impl.server.Patch(any, dispatch);
  impl.server.Delete(any, dispatch);
  impl.server.Options(any, dispatch);

  impl.stopFd = ::eventfd(0, EFD_CLOEXEC);
  impl.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);  // 0: ephemeral
  socklen_t length = sizeof(address);
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (port != 0 && impl.listenFd >= 0) {
    // A chosen port is bound again right after a previous run, while its old connections
    // linger in TIME_WAIT.
    int on = 1;
    ::setsockopt(impl.listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  if (impl.stopFd < 0 || impl.listenFd < 0 || ::bind(impl.listenFd, raw, sizeof(address)) != 0 ||
      ::listen(impl.listenFd, SOMAXCONN) != 0 || ::getsockname(impl.listenFd, raw, &length) != 0) {
    const std::string reason = std::strerror(errno);
    throw std::runtime_error("local service: cannot listen on 127.0.0.1:" + std::to_string(port) + " (" +
                             reason + ")");
  }
  impl.port = ntohs(address.sin_port);
  // The socket listens already, so clients may connect at once; the listener picks them up.
  std::lock_guard lock(impl.mutex);
  if (!impl.startListenerLocked()) throw std::runtime_error("local service: cannot start a thread");
}

LocalService::~LocalService() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->changed.notify_all();
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(impl_->stopFd, &one, sizeof(one));
  // No thread starts once stopping is set, so the list is final.
  std::list<Impl::Worker> workers;
  {
    std::lock_guard lock(impl_->mutex);
    workers.swap(impl_->workers);
  }
  for (auto& worker : workers) worker.thread.join();
}

std::string LocalService::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port);
}
int LocalService::port() const {
  return impl_->port;
}

void LocalService::route(std::string method, std::string path, Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->routes[{std::move(method), std::move(path)}] = std::move(handler);
}

void LocalService::route(std::string method, std::string path, Reply reply) {
  route(std::move(method), std::move(path), [reply](const RecordedRequest&) { return reply; });
}

void LocalService::removeRoute(const std::string& method, const std::string& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->routes.erase({method, path});
}

std::vector<RecordedRequest> LocalService::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

std::size_t LocalService::requestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log.size();
}

bool LocalService::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->log.size() >= count; });
}

std::chrono::nanoseconds LocalService::handlerCpuTime() const {
  return std::chrono::nanoseconds(impl_->handlerCpuNanoseconds.load(std::memory_order_relaxed));
}

void LocalService::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
}

std::string LocalService::publicKeyPem(Curve curve) const {
  return impl_->keys.publicKeyPem(curve);
}

std::string LocalService::issueIdToken(Curve curve, std::string_view claimsJson) const {
  std::string header =
      std::string(R"({"alg":")") + detail::IdTokenKeys::algorithm(curve) + R"(","typ":"JWT"})";
  return impl_->keys.sign(curve, header, claimsJson);
}

std::string LocalService::signJwt(Curve curve, std::string_view headerJson,
                                  std::string_view claimsJson) const {
  return impl_->keys.sign(curve, headerJson, claimsJson);
}

void LocalService::setRawResponder(RawResponder responder) {
  std::lock_guard lock(impl_->mutex);
  impl_->rawResponder = std::move(responder);
}

std::vector<std::string> LocalService::rawRequests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->rawLog;
}

std::size_t LocalService::connectionCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepted;
}

std::string LocalService::rawResponse(std::string_view status, const HeaderList& headers,
                                      std::string_view body) {
  std::string out = "HTTP/1.1 " + std::string(status) + "\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  out += body;
  return out;
}

}  // namespace velqo::localservice
