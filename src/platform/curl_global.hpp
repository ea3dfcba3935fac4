#pragma once

// One-time process-wide libcurl initialisation (not installed).
//
// The one definition lives with the HTTP session (http_session.cpp), which also declares this
// function in curl_support.hpp; both declarations must stay identical.

namespace velqo::platform::detail {

/// Runs curl_global_init(CURL_GLOBAL_DEFAULT) once per process, the first time any caller
/// reaches it; later calls return at once. Thread-safe. Call it before the first use of any
/// libcurl function (easy, multi or URL handles).
void ensureCurlGlobalInit();

}  // namespace velqo::platform::detail
