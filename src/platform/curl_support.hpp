#pragma once

// Shared libcurl plumbing of the platform layer: the one-time global initialisation and
// owning handles for the curl objects the layer creates.

#include <curl/curl.h>

#include <memory>

namespace velqo::platform::detail {

/// Runs curl_global_init once per process (thread-safe). Call it before the first use
/// of any libcurl function that may start threads or TLS.
void ensureCurlGlobalInit();

struct CurlEasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};
struct CurlStringDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};

using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlStringPtr = std::unique_ptr<char, CurlStringDeleter>;

}  // namespace velqo::platform::detail
