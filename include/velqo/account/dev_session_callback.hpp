#pragma once

#include "velqo/export.hpp"

namespace velqo {

/// The outcome of one device-list fetch. Passed with the call and kept by the pending
/// request until it completes; called once, on the main queue (or on the caller's thread,
/// before the call returns, when no user is signed in or no access token is stored).
class VELQO_API DevSessionCallback {
 public:
  virtual ~DevSessionCallback() = default;

  /// The device list was fetched and stored.
  virtual void onSuccess() = 0;
  /// The fetch failed; no detail is given.
  virtual void showError() = 0;
};

}  // namespace velqo
