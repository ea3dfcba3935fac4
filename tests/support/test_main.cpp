#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_environment.hpp"

// Every test executable gets a private application data directory so that the
// file-backed stores never touch the developer's home directory.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  velqo::testing::installTestEnvironment();
  return RUN_ALL_TESTS();
}
