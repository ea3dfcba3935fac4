// The libcurl-backed URL session.
//
// One session = one curl multi handle driven by one worker thread. Data tasks are prepared
// (URL, method and headers checked, header list built) on the caller's thread, queued, and
// picked up by the worker, which runs every transfer of the session, keeps the connection
// pool of the multi handle warm between requests and calls the completions itself, one at
// a time. The worker starts with the first task and stops when the session is destroyed.
//
// Choices worth knowing:
// - Redirects are not followed. Our callers post JSON to fixed endpoints; a 3xx answer is
//   handed over as the response, so a redirect can never move a body or a bearer token to
//   another host behind the caller's back.
// - Only "http" and "https" URLs are accepted (no "file", no "ftp"), also for redirects.
//   Plain "http" goes to loopback hosts only, unless the session's options allow more, so
//   identifiers, codes and credentials never cross a network unencrypted by mistake.
// - Answers are bounded: past the session's maximum size a transfer is aborted, so a
//   hostile or broken server cannot make us buffer without end.
// - libcurl's own "Accept", "Expect" and form "Content-Type" headers are suppressed, and no
//   "User-Agent" is set, so what goes out is the caller's header list plus "Host" and
//   "Content-Length".
// - TLS peer and host verification are always on; an extra CA file is added to the
//   system's trust store, never used instead of it.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/curl_support.hpp"
#include "platform/queue_detail.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/http.hpp"

namespace velqo::platform {

namespace detail {

void ensureCurlGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace detail

namespace {

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

}  // namespace

void HttpRequest::setHeader(std::string name, std::string value) {
  auto sameName = [&name](const std::pair<std::string, std::string>& h) {
    return equalsIgnoringCase(h.first, name);
  };
  auto first = std::find_if(headers.begin(), headers.end(), sameName);
  if (first == headers.end()) {
    headers.emplace_back(std::move(name), std::move(value));
    return;
  }
  headers.erase(std::remove_if(std::next(first), headers.end(), sameName), headers.end());
  first->first = std::move(name);
  first->second = std::move(value);
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

namespace {

using detail::CurlEasyPtr;
using detail::CurlMultiPtr;
using detail::CurlSlistPtr;
using detail::CurlStringPtr;
using detail::CurlUrlPtr;

// ---------------------------------------------------------------------------------------
// Errors of the URL domain.

const char* describeUrlError(long code) {
  switch (code) {
    case urlError::cancelled:
      return "The request was cancelled.";
    case urlError::badURL:
      return "The URL is not valid.";
    case urlError::timedOut:
      return "The request timed out.";
    case urlError::unsupportedURL:
      return "The URL's scheme is not supported.";
    case urlError::cannotFindHost:
      return "A server with the specified hostname could not be found.";
    case urlError::cannotConnectToHost:
      return "Could not connect to the server.";
    case urlError::networkConnectionLost:
      return "The network connection was lost.";
    case urlError::badServerResponse:
      return "The server's response could not be read.";
    case urlError::cleartextNotPermitted:
      return "Plain HTTP is not allowed for this host; a secure connection is required.";
    case urlError::dataLengthExceedsMaximum:
      return "The response exceeds the maximum size accepted.";
    case urlError::secureConnectionFailed:
      return "A secure connection to the server could not be made.";
    case urlError::serverCertificateUntrusted:
      return "The server's certificate is not trusted.";
    default:
      return "An unknown network error occurred.";
  }
}

PlatformError urlErrorOf(long code) {
  return PlatformError(domain::url, code, describeUrlError(code));
}

PlatformError invalidRequest(const char* what) {
  return PlatformError(domain::url, urlError::unknown, std::string("The request could not be sent: ") + what);
}

long urlErrorCodeFor(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return urlError::timedOut;
    case CURLE_COULDNT_CONNECT:
      return urlError::cannotConnectToHost;
    case CURLE_URL_MALFORMAT:
      return urlError::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return urlError::cannotFindHost;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return urlError::serverCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return urlError::secureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
      return urlError::networkConnectionLost;
    // Schemes are checked before a task reaches libcurl, so an unsupported protocol here is
    // the server's: an answer that is not HTTP/1.x or later (an HTTP/0.9 reply).
    case CURLE_FILESIZE_EXCEEDED:
      return urlError::dataLengthExceedsMaximum;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return urlError::badServerResponse;
    default:
      return urlError::unknown;
  }
}

// ---------------------------------------------------------------------------------------
// Extra trusted certificates.

struct X509Deleter {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using CertificateList = std::vector<X509Ptr>;

struct BioDeleter {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

std::shared_ptr<const CertificateList> loadCertificates(const std::string& path) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new_file(path.c_str(), "r"));
  auto certs = std::make_shared<CertificateList>();
  if (bio) {
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) certs->emplace_back(cert);
  }
  ERR_clear_error();  // the end of the file reads as an error
  if (certs->empty()) throw std::invalid_argument("HttpSession: no readable certificate in CA file " + path);
  return certs;
}

// Called by libcurl for every new TLS connection, after it has set up its own trust store.
CURLcode addTrustedCertificates(CURL* /*easy*/, void* sslContext, void* userData) noexcept {
  const auto* certs = static_cast<const CertificateList*>(userData);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  if (store == nullptr) return CURLE_SSL_CERTPROBLEM;
  for (const auto& cert : *certs) X509_STORE_add_cert(store, cert.get());  // duplicates are fine
  ERR_clear_error();
  return CURLE_OK;
}

// ---------------------------------------------------------------------------------------
// Request checks.

bool isTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return isTokenChar(static_cast<unsigned char>(c)); });
}

bool isSafeHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

long timeoutMillis(double seconds) {
  if (!std::isfinite(seconds) || !(seconds > 0)) seconds = 60.0;
  const double millis = std::ceil(seconds * 1000.0);
  if (millis >= static_cast<double>(INT_MAX)) return INT_MAX;
  return std::max(1L, static_cast<long>(millis));
}

bool methodSendsBody(const HttpRequest& request) {
  return !request.body.empty() || request.method == "POST" || request.method == "PUT" ||
         request.method == "PATCH";
}

// ---------------------------------------------------------------------------------------
// One data task.

struct Transfer {
  HttpRequest request;
  DataTaskCompletion completion;
  std::optional<PlatformError> earlyError;  // set when the task fails before it is sent
  CurlSlistPtr headerList;
  long timeoutMs = 60000;
  bool sendsBody = false;

  CurlEasyPtr easy;  // while the transfer runs
  std::string responseBody;
  HeaderList responseHeaders;
  bool inHeaderBlock = false;
  std::size_t maxResponseBytes = 0;
  std::size_t headerBytes = 0;
  bool tooLarge = false;  // aborted for passing maxResponseBytes

  // Counts `length` more bytes of the answer; false (and marked) once past the limit.
  bool admit(std::size_t already, std::size_t length) {
    if (length > maxResponseBytes || already > maxResponseBytes - length) tooLarge = true;
    return !tooLarge;
  }

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Request bodies and headers carry tokens and codes: wipe our copies when done.
  ~Transfer() {
    wipe(request.body);
    for (auto& header : request.headers) wipe(header.second);
    for (curl_slist* node = headerList.get(); node != nullptr; node = node->next) {
      OPENSSL_cleanse(node->data, std::strlen(node->data));
    }
  }
};

// 127.0.0.0/8, ::1 (written "[::1]" in a URL) and "localhost", as libcurl gives the host.
bool isLoopbackHost(std::string_view host) {
  if (equalsIgnoringCase(host, "localhost") || equalsIgnoringCase(host, "localhost.")) return true;
  const std::string text(host);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    in6_addr v6{};
    const std::string inner = text.substr(1, text.size() - 2);
    return ::inet_pton(AF_INET6, inner.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

// Checks the request and builds its header list. Runs on the caller's thread.
std::optional<PlatformError> prepare(Transfer& transfer, bool allowsCleartextHTTP) {
  const HttpRequest& request = transfer.request;

  if (request.url.find('\0') != std::string::npos) return urlErrorOf(urlError::badURL);
  CurlUrlPtr url(curl_url());
  if (!url) return urlErrorOf(urlError::unknown);
  // Without CURLU_GUESS_SCHEME: a URL without a scheme is malformed, not "http".
  if (curl_url_set(url.get(), CURLUPART_URL, request.url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return urlErrorOf(urlError::badURL);
  }
  char* rawScheme = nullptr;
  if (curl_url_get(url.get(), CURLUPART_SCHEME, &rawScheme, 0) != CURLUE_OK)
    return urlErrorOf(urlError::badURL);
  CurlStringPtr scheme(rawScheme);
  if (!equalsIgnoringCase(scheme.get(), "http") && !equalsIgnoringCase(scheme.get(), "https")) {
    return urlErrorOf(urlError::unsupportedURL);
  }
  char* rawHost = nullptr;
  if (curl_url_get(url.get(), CURLUPART_HOST, &rawHost, 0) != CURLUE_OK) return urlErrorOf(urlError::badURL);
  CurlStringPtr host(rawHost);
  if (host == nullptr || *host == '\0') return urlErrorOf(urlError::badURL);
  if (!allowsCleartextHTTP && equalsIgnoringCase(scheme.get(), "http") && !isLoopbackHost(host.get())) {
    return urlErrorOf(urlError::cleartextNotPermitted);
  }

  if (!isToken(request.method)) return invalidRequest("the HTTP method is not valid.");

  bool hasAccept = false;
  bool hasExpect = false;
  bool hasContentType = false;
  CurlSlistPtr list;
  auto append = [&list](const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    (void)list.release();  // `grown` is the same list with one more node
    list.reset(grown);
  };
  for (const auto& [name, value] : request.headers) {
    if (!isToken(name) || !isSafeHeaderValue(value))
      return invalidRequest("a header name or value is not valid.");
    if (equalsIgnoringCase(name, "Content-Length") || equalsIgnoringCase(name, "Transfer-Encoding")) continue;
    hasAccept = hasAccept || equalsIgnoringCase(name, "Accept");
    hasExpect = hasExpect || equalsIgnoringCase(name, "Expect");
    hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
    // libcurl drops "Name:" (no value); "Name;" is its spelling of an empty header.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    append(line);
    wipe(line);
  }
  // A bare "Name:" tells libcurl not to send a header of its own under that name.
  if (!hasAccept) append("Accept:");
  if (!hasExpect) append("Expect:");
  if (!hasContentType) append("Content-Type:");

  transfer.headerList = std::move(list);
  transfer.timeoutMs = timeoutMillis(request.timeoutSeconds);
  transfer.sendsBody = methodSendsBody(request);
  return std::nullopt;
}

// libcurl callbacks: they must not throw; returning a short count aborts the transfer.
size_t onBodyData(char* data, size_t size, size_t count, void* user) noexcept {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  if (!transfer->admit(transfer->responseBody.size(), length)) return 0;
  try {
    transfer->responseBody.append(data, length);
  } catch (...) {
    return 0;
  }
  return length;
}

std::string_view trimmed(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const auto end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

size_t onHeaderLine(char* data, size_t size, size_t count, void* user) noexcept {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  if (!transfer->admit(transfer->headerBytes, length)) return 0;
  transfer->headerBytes += length;
  try {
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
      // A new status line: interim (1xx) or proxy answers before it are not the response.
      transfer->responseHeaders.clear();
      transfer->inHeaderBlock = true;
    } else if (line.empty()) {
      transfer->inHeaderBlock = false;
    } else if (!transfer->inHeaderBlock) {
      // Trailers after the body are not part of the response's header fields.
    } else if (line.front() == ' ' || line.front() == '\t') {
      if (!transfer->responseHeaders.empty()) {
        auto& value = transfer->responseHeaders.back().second;
        value += ' ';
        value += trimmed(line);
      }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
      transfer->responseHeaders.emplace_back(std::string(line.substr(0, colon)),
                                             std::string(trimmed(line.substr(colon + 1))));
    }
  } catch (...) {
    return 0;
  }
  return length;
}

bool configure(CURL* easy, Transfer& transfer, const CertificateList* extraCertificates) {
  const HttpRequest& request = transfer.request;
  bool ok = true;
  auto check = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  check(curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer));
  check(curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str()));
  check(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  check(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  check(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
  check(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
  check(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, transfer.timeoutMs));
  // Refuses an announced length over the limit before any of the body is read.
  check(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(std::min<std::size_t>(
                             transfer.maxResponseBytes, static_cast<std::size_t>(LLONG_MAX)))));
  check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headerList.get()));
  check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onBodyData));
  check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer));
  check(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeaderLine));
  check(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer));
  if (request.method == "HEAD") {
    check(curl_easy_setopt(easy, CURLOPT_NOBODY, 1L));
  } else if (transfer.sendsBody) {
    check(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size())));
    check(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data()));
    if (request.method != "POST")
      check(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str()));
  } else {
    check(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
    if (request.method != "GET") check(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str()));
  }
  if (extraCertificates != nullptr) {
    check(curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &addTrustedCertificates));
    check(curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, extraCertificates));
  }
  return ok;
}

// ---------------------------------------------------------------------------------------
// The worker.

class Engine;
thread_local const Engine* tCurrentWorker = nullptr;

class Engine : public std::enable_shared_from_this<Engine> {
 public:
  Engine(int maxConcurrentTransfers, std::shared_ptr<const CertificateList> extraCertificates)
      : maxActive_(static_cast<std::size_t>(std::max(1, maxConcurrentTransfers))),
        extraCertificates_(std::move(extraCertificates)) {}

  ~Engine() {
    if (thread_.joinable()) thread_.detach();  // not reached: shutdown() takes the thread first
  }

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void submit(std::unique_ptr<Transfer> transfer) {
    std::unique_ptr<Transfer> dropped;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    if (stopping_) {
      dropped = std::move(transfer);
      return;
    }
    if (!multi_) {
      CurlMultiPtr multi(curl_multi_init());
      if (!multi) throw std::bad_alloc();
      thread_ = std::thread([self = shared_from_this()] { self->run(); });
      multi_ = std::move(multi);
    }
    incoming_.push_back(std::move(transfer));
    curl_multi_wakeup(multi_.get());
  }

  // Stops the worker; pending completions are dropped. When called on the worker itself
  // (the session released inside one of its completions) the worker is left to finish on
  // its own: it holds the engine and stops as soon as the running completion returns.
  void shutdown() noexcept {
    std::thread worker;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      stopRequested_.store(true, std::memory_order_release);
      if (multi_) curl_multi_wakeup(multi_.get());
      worker = std::move(thread_);
    }
    if (!worker.joinable()) return;
    if (worker.get_id() == std::this_thread::get_id()) {
      worker.detach();
    } else {
      worker.join();
    }
  }

  bool isWorkerThread() const noexcept { return tCurrentWorker == this; }

 private:
  using TransferQueue = std::deque<std::unique_ptr<Transfer>>;

  bool stopped() const noexcept { return stopRequested_.load(std::memory_order_acquire); }

  // Calls the completion once (unless the session is stopping) and releases it here, on
  // the worker thread.
  void deliver(Transfer& transfer, std::optional<std::string> body, std::optional<HttpResponse> response,
               std::optional<PlatformError> error) {
    DataTaskCompletion completion = std::move(transfer.completion);
    transfer.completion = nullptr;
    if (!completion || stopped()) return;
    try {
      completion(std::move(body), std::move(response), std::move(error));
    } catch (...) {
      // A completion's exception must not take the session's worker down.
    }
  }

  void fail(Transfer& transfer, PlatformError error) {
    deliver(transfer, std::nullopt, std::nullopt, std::move(error));
  }

  CurlEasyPtr takeHandle() {
    if (idleHandles_.empty()) return CurlEasyPtr(curl_easy_init());
    CurlEasyPtr handle = std::move(idleHandles_.back());
    idleHandles_.pop_back();
    curl_easy_reset(handle.get());
    return handle;
  }

  void recycleHandle(CurlEasyPtr handle) {
    if (handle && idleHandles_.size() < maxActive_) idleHandles_.push_back(std::move(handle));
  }

  // Moves waiting transfers into the multi handle while there is room.
  void startWaiting(CURLM* multi) {
    while (active_.size() < maxActive_ && !waiting_.empty() && !stopped()) {
      std::unique_ptr<Transfer> transfer = std::move(waiting_.front());
      waiting_.pop_front();
      CurlEasyPtr easy = takeHandle();
      if (!easy || !configure(easy.get(), *transfer, extraCertificates_.get()) ||
          curl_multi_add_handle(multi, easy.get()) != CURLM_OK) {
        fail(*transfer, urlErrorOf(urlError::unknown));
        continue;
      }
      transfer->easy = std::move(easy);
      CURL* key = transfer->easy.get();
      active_.emplace(key, std::move(transfer));
    }
  }

  void finish(CURLM* multi, CURL* easy, CURLcode result) {
    curl_multi_remove_handle(multi, easy);
    auto found = active_.find(easy);
    if (found == active_.end()) return;
    std::unique_ptr<Transfer> transfer = std::move(found->second);
    active_.erase(found);

    if (result != CURLE_OK) {
      recycleHandle(std::move(transfer->easy));
      wipe(transfer->responseBody);
      fail(*transfer,
           urlErrorOf(transfer->tooLarge ? urlError::dataLengthExceedsMaximum : urlErrorCodeFor(result)));
      return;
    }
    HttpResponse response;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.statusCode);
    char* effectiveUrl = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effectiveUrl);
    response.url = effectiveUrl != nullptr ? effectiveUrl : transfer->request.url;
    response.headers = std::move(transfer->responseHeaders);
    recycleHandle(std::move(transfer->easy));
    deliver(*transfer, std::move(transfer->responseBody), std::move(response), std::nullopt);
  }

  void run() {
    detail::nameCurrentThread("velqo-http");
    tCurrentWorker = this;
    CURLM* multi = nullptr;
    {
      std::lock_guard lock(mutex_);
      multi = multi_.get();
    }
    while (!stopped()) {
      TransferQueue fresh;
      {
        std::lock_guard lock(mutex_);
        fresh.swap(incoming_);
      }
      for (auto& transfer : fresh) {
        if (transfer->earlyError) {
          fail(*transfer, std::move(*transfer->earlyError));
          if (stopped()) break;
        } else {
          waiting_.push_back(std::move(transfer));
        }
      }
      fresh.clear();
      if (stopped()) break;
      startWaiting(multi);

      int running = 0;
      curl_multi_perform(multi, &running);
      std::vector<std::pair<CURL*, CURLcode>> done;
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE) done.emplace_back(message->easy_handle, message->data.result);
      }
      for (const auto& [easy, result] : done) {
        if (stopped()) break;
        finish(multi, easy, result);
      }
      if (!done.empty()) continue;  // slots were freed: start waiting transfers at once
      bool more = false;
      {
        std::lock_guard lock(mutex_);
        more = !incoming_.empty();
      }
      if (!more) curl_multi_poll(multi, nullptr, 0, kPollMillis, nullptr);
    }
    cleanUp(multi);
    tCurrentWorker = nullptr;
  }

  void cleanUp(CURLM* multi) {
    for (auto& [easy, transfer] : active_) curl_multi_remove_handle(multi, easy);
    CurlMultiPtr owned;
    TransferQueue leftovers;
    {
      std::lock_guard lock(mutex_);
      owned = std::move(multi_);  // no wake-up can reach it any more
      leftovers.swap(incoming_);
    }
    owned.reset();
    // Dropped completions (and whatever they hold) are released here, on the worker.
    active_.clear();
    waiting_.clear();
    leftovers.clear();
    idleHandles_.clear();
  }

  static constexpr int kPollMillis = 10000;

  const std::size_t maxActive_;
  const std::shared_ptr<const CertificateList> extraCertificates_;

  std::mutex mutex_;
  bool stopping_ = false;   // guarded by mutex_
  CurlMultiPtr multi_;      // guarded by mutex_ (created with the worker)
  TransferQueue incoming_;  // guarded by mutex_
  std::thread thread_;      // guarded by mutex_
  std::atomic<bool> stopRequested_{false};

  // Worker thread only.
  TransferQueue waiting_;
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> active_;
  std::vector<CurlEasyPtr> idleHandles_;
};

class CurlHttpSession final : public HttpSession {
 public:
  CurlHttpSession(const Options& options, std::shared_ptr<const CertificateList> extraCertificates)
      : engine_(std::make_shared<Engine>(options.maxConcurrentTransfers, std::move(extraCertificates))),
        maxResponseBytes_(options.maxResponseBytes),
        allowsCleartextHTTP_(options.allowsCleartextHTTP) {}

  ~CurlHttpSession() override { engine_->shutdown(); }

  CurlHttpSession(const CurlHttpSession&) = delete;
  CurlHttpSession& operator=(const CurlHttpSession&) = delete;

  void dataTask(HttpRequest request, DataTaskCompletion completion) override {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    transfer->maxResponseBytes = maxResponseBytes_;
    transfer->earlyError = prepare(*transfer, allowsCleartextHTTP_);
    engine_->submit(std::move(transfer));
  }

  bool isCompletionThread() const noexcept override { return engine_->isWorkerThread(); }

 private:
  std::shared_ptr<Engine> engine_;
  const std::size_t maxResponseBytes_;
  const bool allowsCleartextHTTP_;
};

}  // namespace

std::shared_ptr<HttpSession> HttpSession::create(Options options) {
  // libcurl (and with it OpenSSL) is initialised before the first session exists, so its
  // exit-time clean-up runs after the process-wide session has been stopped.
  detail::ensureCurlGlobalInit();
  std::shared_ptr<const CertificateList> extra;
  if (options.caFile) extra = loadCertificates(*options.caFile);
  return std::make_shared<CurlHttpSession>(options, std::move(extra));
}

std::shared_ptr<HttpSession> HttpSession::shared() {
  // Destroyed at exit, which stops and joins its worker before libcurl is torn down.
  static const std::shared_ptr<HttpSession> session = create();
  return session;
}

}  // namespace velqo::platform
