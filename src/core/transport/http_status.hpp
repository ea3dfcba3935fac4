#pragma once

// The one rule for a successful HTTP status (not installed).

namespace velqo {

/// True for the 2xx statuses (200 to 299).
[[nodiscard]] constexpr bool isSuccessStatus(long status) noexcept {
  return status >= 200 && status <= 299;
}

}  // namespace velqo
