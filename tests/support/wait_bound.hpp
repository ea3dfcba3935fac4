#pragma once

// The one bound for a test that waits on a condition: a callback, an answer of the loopback
// service, a request reaching it, a thread or process getting somewhere. Generous, because CI
// machines may have two cores and be loaded; a wait only lasts this long when the condition
// never comes, that is when the test fails.

#include <chrono>

namespace velqo::testing {

inline constexpr std::chrono::seconds kWaitBound{60};

}  // namespace velqo::testing
