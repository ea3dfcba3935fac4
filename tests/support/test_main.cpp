#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_environment.hpp"

// ThreadSanitizer cannot see the synchronisation inside the uninstrumented cpp-httplib
// library that runs the loopback reference service, and reports races between its own
// worker threads. Every test executable links this main, so the suppression applies to all.
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((used, visibility("default"))) const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\nrace:libcpp-httplib.so\n";
}
#endif

// Every test executable gets a private application data directory so that the
// file-backed stores never touch the developer's home directory.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The environment holds its directory's path itself and removes it when destroyed: at the
  // end of the run, or when a test (a death test's child, say) leaves through exit().
  static const velqo::testing::TestEnvironment environment;
  return RUN_ALL_TESTS();
}
