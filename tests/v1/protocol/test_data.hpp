#pragma once

// Reads a JSON data file from the "data" directory beside the calling test file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <source_location>

namespace velqo::testing {

inline nlohmann::json testData(const char* name,
                               std::source_location caller = std::source_location::current()) {
  std::ifstream in(std::filesystem::path(caller.file_name()).parent_path() / "data" / name);
  EXPECT_TRUE(in.good()) << name;
  return in.good() ? nlohmann::json::parse(in) : nlohmann::json::object();
}

}  // namespace velqo::testing
