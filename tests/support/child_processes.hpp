#pragma once

// Forked child processes for tests of what several processes sharing one data directory do.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velqo::testing {

/// Runs `body(i)` for i in [0, count) in as many forked children, released together once all
/// exist, and returns what each body returned, in order; nothing for a child that threw,
/// died or did not finish within 60 seconds (it is killed then). A child ends with _exit, so
/// it never runs the parent's destructors or the test framework.
std::vector<std::optional<std::string>> runInChildProcesses(int count,
                                                            const std::function<std::string(int)>& body);

/// Forks a child that runs `body` and then ends with _exit(0); the parent gets its pid.
pid_t forkChild(const std::function<void()>& body);

}  // namespace velqo::testing
