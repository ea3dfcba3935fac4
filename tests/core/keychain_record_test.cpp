// The one keychain JSON record helper: stored text, "/" forms, decoding and encoding failures,
// and the wiping of parsed and written documents.

#include "core/storage/keychain_record.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/faulty_item_store.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo {
namespace {

using testing::FaultyItemStore;

struct Sample {
  std::string url;
  int count = 0;
};
void to_json(json::Value& out, const Sample& sample) {
  out["url"] = sample.url;
  out["count"] = sample.count;
}

class KeychainRecordTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::setItemStore(store); }
  void TearDown() override { platform::setItemStore(nullptr); }

  std::shared_ptr<FaultyItemStore> store = FaultyItemStore::create();
  KeychainRecord record{"com.test.records", "ada/1"};
};

TEST_F(KeychainRecordTest, WritesCompactJsonInEitherSlashFormAndReadsBothBack) {
  EXPECT_EQ(recordJson(Sample{"https://a/b", 2}, Slashes::escaped).value(),
            R"({"url":"https:\/\/a\/b","count":2})");
  EXPECT_EQ(recordJson(Sample{"https://a/b", 2}, Slashes::plain).value(),
            R"({"url":"https://a/b","count":2})");

  for (const auto slashes : {Slashes::escaped, Slashes::plain}) {
    ASSERT_TRUE(record.saveText(recordJson(Sample{"a/b", 1}, slashes).value()));
    auto loaded = record.load();
    ASSERT_TRUE(loaded && *loaded);
    EXPECT_EQ(loaded->value().document().at("url"), "a/b");
  }
  EXPECT_EQ(record.loadText()->text(), R"({"url":"a/b","count":1})");

  record.remove();
  EXPECT_FALSE(record.load());
  EXPECT_FALSE(record.loadText());
  record.remove();  // a missing item is no failure
}

TEST_F(KeychainRecordTest, FailuresKeepTheirDomainsAndAFailedWriteKeepsTheEarlierItem) {
  ASSERT_TRUE(record.saveText("not json"));
  auto loaded = record.load();
  ASSERT_TRUE(loaded);
  ASSERT_FALSE(*loaded);
  EXPECT_EQ(loaded->error().domain(), json::decodingDomain);
  EXPECT_EQ(loaded->error().code(), static_cast<long>(json::DecodeFailure::dataCorrupted));

  ASSERT_TRUE(record.saveText(std::string(json::maxNestingDepth + 1, '[') +
                              std::string(json::maxNestingDepth + 1, ']')));
  EXPECT_FALSE(*record.load()) << "nested deeper than the one limit";

  auto invalid = recordJson(Sample{"\xFF", 0}, Slashes::escaped);
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().domain(), json::encodingDomain);

  store->failNext(FaultyItemStore::Operation::replace, platform::status::notAvailable);
  EXPECT_FALSE(record.saveText(R"({"count":3})"));
  EXPECT_EQ(record.loadText()->text(),
            std::string(json::maxNestingDepth + 1, '[') + std::string(json::maxNestingDepth + 1, ']'));
}

TEST(KeychainRecordWipe, WipesEveryTextOfOrderedAndPlainDocumentsButNoKey) {
  json::Value ordered = json::Value::parse(R"({"a":"secret","b":[{"c":"more"}],"n":1})");
  { ScopedTextWipe wipeOrdered(ordered); }
  EXPECT_EQ(ordered.dump(), R"({"a":"","b":[{"c":""}],"n":1})");

  nlohmann::json plain = nlohmann::json::parse(R"(["x",{"y":"z"}])");
  wipeTexts(plain);
  EXPECT_EQ(plain.dump(), R"(["",{"y":""}])");
}

}  // namespace
}  // namespace velqo
