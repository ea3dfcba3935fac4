#include "velqo/platform/user_defaults.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/files.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;

nlohmann::json fileJson(const fs::path& file) {
  return nlohmann::json::parse(textOf(files::read(file).value()));
}

TEST(UserDefaultsTest, ValuesPersistAcrossReopenWithTheirKinds) {
  auto file = testing::makeTempDirectory("defaults") / "sub" / "defaults.json";
  {
    auto d = UserDefaults::open(file);
    d->setString("text", "héllo");
    d->setData("bytes", Bytes{0, 1, 2, 255});
    d->setNumber("number", 12.5);
    d->setNumber("infinite", -std::numeric_limits<double>::infinity());
    d->setString("gone", "x");
    d->remove("gone");
    d->remove("never-there");
    EXPECT_EQ(d->string("text"), "héllo");  // readable before any reload
  }
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->string("text"), "héllo");
  EXPECT_EQ(d->data("bytes"), (Bytes{0, 1, 2, 255}));
  EXPECT_EQ(d->number("number"), 12.5);
  EXPECT_EQ(d->number("infinite"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(d->string("gone"), std::nullopt);

  // Texts and numbers are plain JSON values the host can read.
  auto json = fileJson(file);
  EXPECT_EQ(json.at("text"), "héllo");
  EXPECT_EQ(json.at("number"), 12.5);
  EXPECT_FALSE(json.contains("gone"));

  // Overwriting changes the kind.
  d->setNumber("text", 3);
  EXPECT_EQ(UserDefaults::open(file)->number("text"), 3.0);
  EXPECT_EQ(UserDefaults::open(file)->string("text"), std::nullopt);
}

TEST(UserDefaultsTest, AskingForAnotherKindGivesNothing) {
  auto d = UserDefaults::open(testing::makeTempDirectory("kinds") / "d.json");
  d->setString("s", "aGVsbG8=");  // base64-looking text is still text
  d->setData("b", bytesOf("hello"));
  d->setNumber("n", 1);
  EXPECT_EQ(d->data("s"), std::nullopt);
  EXPECT_EQ(d->number("s"), std::nullopt);
  EXPECT_EQ(d->string("b"), std::nullopt);
  EXPECT_EQ(d->number("b"), std::nullopt);
  EXPECT_EQ(d->string("n"), std::nullopt);
  EXPECT_EQ(d->data("n"), std::nullopt);
  EXPECT_EQ(d->string("missing"), std::nullopt);
  EXPECT_EQ(d->data("b"), bytesOf("hello"));
  d->setNumber("nan", std::nan(""));
  ASSERT_TRUE(d->number("nan"));
  EXPECT_TRUE(std::isnan(*d->number("nan")));
}

TEST(UserDefaultsTest, HostWrittenFilesAreReadAndForeignKeysKept) {
  auto file = testing::makeTempDirectory("host") / "d.json";
  std::ofstream(file) << R"({"hostKey": {"nested": [1, 2]}, "count": 7, "name": "x",
                             "fakeData": {"type": "data", "value": "not base64!"}})";
  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->number("count"), 7.0);
  EXPECT_EQ(d->string("name"), "x");
  EXPECT_EQ(d->data("fakeData"), std::nullopt);
  d->setString("mine", "y");
  auto json = fileJson(file);
  EXPECT_EQ(json.at("hostKey").at("nested"), nlohmann::json::array({1, 2}));
  EXPECT_EQ(json.at("mine"), "y");

  // A file that is not a JSON object starts an empty store.
  auto broken = testing::makeTempDirectory("broken") / "d.json";
  std::ofstream(broken) << "[1, 2";
  auto fresh = UserDefaults::open(broken);
  EXPECT_EQ(fresh->string("anything"), std::nullopt);
  fresh->setString("k", "v");
  EXPECT_EQ(UserDefaults::open(broken)->string("k"), "v");
}

TEST(UserDefaultsTest, StandardLivesInTheDataDirectoryAndCanBeReplaced) {
  UserDefaults::setStandard(nullptr);
  auto standard = UserDefaults::standard();
  EXPECT_EQ(UserDefaults::standard(), standard);
  standard->setString("standard-test", "v");
  EXPECT_EQ(fileJson(applicationDataDirectory() / "defaults.json").at("standard-test"), "v");

  auto other = UserDefaults::open(testing::makeTempDirectory("other") / "d.json");
  UserDefaults::setStandard(other);
  EXPECT_EQ(UserDefaults::standard(), other);
  EXPECT_EQ(UserDefaults::standard()->string("standard-test"), std::nullopt);
  UserDefaults::setStandard(nullptr);
  EXPECT_EQ(UserDefaults::standard()->string("standard-test"), "v");
  UserDefaults::standard()->remove("standard-test");
}

}  // namespace
}  // namespace velqo::platform
