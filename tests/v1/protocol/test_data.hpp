#pragma once

// Shared V1 test helpers: JSON data files beside the calling test, and the error a call throws.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <source_location>
#include <string>
#include <utility>

namespace velqo::testing {

inline nlohmann::json testData(const char* name,
                               std::source_location caller = std::source_location::current()) {
  std::ifstream in(std::filesystem::path(caller.file_name()).parent_path() / "data" / name);
  EXPECT_TRUE(in.good()) << name;
  return in.good() ? nlohmann::json::parse(in) : nlohmann::json::object();
}

/// A data file's optional text: null is nothing.
inline std::optional<std::string> optionalText(const nlohmann::json& j) {
  return j.is_null() ? std::nullopt : std::optional(j.get<std::string>());
}

/// The `E` that `call` throws; nothing, and a test failure, when it returns.
template <class E, class F>
std::optional<E> thrown(F&& call) {
  try {
    std::forward<F>(call)();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "nothing thrown";
  return std::nullopt;
}

/// The case of the `E` that `call` throws.
template <class E, class F>
std::optional<typename E::Case> thrownCase(F&& call) {
  const auto e = thrown<E>(std::forward<F>(call));
  return e ? std::optional(e->errorCase()) : std::nullopt;
}

}  // namespace velqo::testing
