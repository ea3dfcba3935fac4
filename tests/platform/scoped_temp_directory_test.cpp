#include "support/scoped_temp_directory.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "support/test_environment.hpp"

namespace velqo::testing {
namespace {

namespace fs = std::filesystem;

TEST(ScopedTempDirectoryTest, RemovesWhatItMadeAndNothingPutInItsPlace) {
  // Its own directory goes, with what the test wrote into it.
  fs::path made;
  {
    ScopedTempDirectory directory("velqo-scoped");
    made = directory.path();
    EXPECT_EQ(made.parent_path(), fs::temp_directory_path());
    std::ofstream(made / "item") << "x";
  }
  EXPECT_FALSE(fs::exists(made));

  // A link put where the directory was is not followed: what it names stays whole.
  const fs::path keep = makeTempDirectory("keep");
  std::ofstream(keep / "precious") << "x";
  {
    ScopedTempDirectory directory("velqo-scoped");
    made = directory.path();
    fs::remove_all(made);
    fs::create_directory_symlink(keep, made);
  }
  EXPECT_TRUE(fs::exists(keep / "precious"));
  fs::remove(made);

  // A forked child that leaves through exit() does not remove its parent's directory.
  std::optional<ScopedTempDirectory> directory;
  directory.emplace("velqo-scoped");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    directory.reset();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(fs::is_directory(directory->path()));
}

}  // namespace
}  // namespace velqo::testing
