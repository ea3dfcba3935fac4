#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "api/json_support.hpp"
#include "api/models/device_records.hpp"
#include "api/models/oauth_records.hpp"
#include "api/models/push_records.hpp"
#include "api/models/v4_records.hpp"
#include "api/models/v5_records.hpp"
#include "api/models/web_login_records.hpp"
#include "support/test_environment.hpp"

namespace velqo {
namespace {

using json::DecodeFailure;

const MobileDeviceInfoV1 kInfo{"mobile_v1", "ab12", {"com.velqo.tests", "arm64", "iPhone15,2", "17.4"}};
const std::string kInfoJson =
    R"({"fp_version":"mobile_v1","fingerprint_hash":"ab12","sdab_attributes":{"appBundleId":"com.velqo.tests",)"
    R"("cpuArch":"arm64","deviceModel":"iPhone15,2","osVersion":"17.4"}})";

template <class T>
std::string encoded(const T& record) {
  auto text = encodeRecord(record);
  EXPECT_TRUE(text.ok());
  return text.ok() ? text.value() : std::string();
}

template <class T>
T decoded(const std::string& text) {
  auto record = decodeRecord<T>(text);
  EXPECT_TRUE(record.ok()) << text << "\n" << (record.ok() ? "" : record.error().what());
  return record.ok() ? record.value() : T{};
}

// The decoding failure of a text as T: its code, or 0 when it decodes.
template <class T>
long failureCode(const std::string& text) {
  auto record = decodeRecord<T>(text);
  if (record.ok()) return 0;
  EXPECT_EQ(record.error().domain(), json::decodingDomain);
  return record.error().code();
}

constexpr long kMissing = static_cast<long>(DecodeFailure::keyNotFound);
constexpr long kNull = static_cast<long>(DecodeFailure::valueNotFound);
constexpr long kType = static_cast<long>(DecodeFailure::typeMismatch);
constexpr long kCorrupt = static_cast<long>(DecodeFailure::dataCorrupted);

// Encodes byte-exact (declaration order, absent optionals left out) and decodes back.
template <class T>
void expectWire(const T& record, const std::string& expected) {
  SCOPED_TRACE(expected);
  EXPECT_EQ(encoded(record), expected);
  EXPECT_TRUE(decoded<T>(expected) == record);
}

// Decodes every field and encodes back to the same bytes.
template <class T>
void expectRoundTrip(const std::string& text) {
  SCOPED_TRACE(text);
  EXPECT_EQ(encoded(decoded<T>(text)), text);
}

TEST(RequestRecordsTest, EncodeByteExactInFieldOrderAndDecodeBack) {
  const std::string info = R"("device_info":)" + kInfoJson;
  expectWire(AuthInitRequest{"u1", kInfo, "dt", "ci", "h-1", "h-2"},
             R"({"userid":"u1",)" + info + R"(,"device_token":"dt","cipher":"ci","h1":"h-1","h2":"h-2"})");
  expectWire(AuthInitRequest{"u1", kInfo, {}, {}, {}, {}}, R"({"userid":"u1",)" + info + "}");
  expectWire(OTPVerificationRequestV4{"dt", "123456", kInfo},
             R"({"device_token":"dt","otp":"123456",)" + info + "}");
  expectWire(VerifyDeviceRequestV4{"u1", kInfo, "dt", "h-1", "h-2"},
             R"({"userid":"u1",)" + info + R"(,"device_token":"dt","h1":"h-1","h2":"h-2"})");
  expectWire(VerifyCipherRequestV4{"u1", "m2v", kInfo, "dt"},
             R"({"userid":"u1","m2":"m2v",)" + info + R"(,"device_token":"dt"})");
  expectWire(AuthInitV5Request{"u1", kInfo, {}, {}}, R"({"userid":"u1",)" + info + "}");
  expectWire(AuthInitV5Request{"u1", kInfo, "hx", "s2"},
             R"({"userid":"u1",)" + info + R"(,"hindex":"hx","sk2":"s2"})");
  expectWire(VerifyOtpV5Request{"dt", "654321", kInfo, "ks", "hx"},
             R"({"device_token":"dt","otp":"654321",)" + info + R"(,"keyset":"ks","hindex":"hx"})");
  expectWire(VerifyDeviceV5Request{"u1", kInfo, "dt", "hx"},
             R"({"userid":"u1",)" + info + R"(,"device_token":"dt","hindex":"hx"})");
  expectWire(
      VerifyCipherV5Request{"u1", "sig", "hx", kInfo, "dt", "mp"},
      R"({"userid":"u1","signature":"sig","hindex":"hx",)" + info + R"(,"device_token":"dt","mapp":"mp"})");
  expectWire(VerifyCipherV5Request{"u1", "sig", "hx", kInfo, {}, "mp"},
             R"({"userid":"u1","signature":"sig","hindex":"hx",)" + info + R"(,"mapp":"mp"})");
  expectWire(RegisterPushTokenRequest{"0aff", "fp", "Pixel"},
             R"({"push_token":"0aff","device_fingerprint":"fp","device_name":"Pixel"})");
  expectWire(PushActionRequest{"req-1"}, R"({"request_id":"req-1"})");
  expectWire(WebLoginRequest{"1234"}, R"({"web_pin":"1234"})");
  expectWire(WebLoginApproveRequest{"wt"}, R"({"token":"wt"})");
}

TEST(ResponseRecordsTest, DecodeEveryFieldAndEncodeBackUnchanged) {
  const std::map<std::string, void (*)(const std::string&)> byType = {
      {"AuthInitResponse", expectRoundTrip<AuthInitResponse>},
      {"OTPVerificationResponseV4", expectRoundTrip<OTPVerificationResponseV4>},
      {"VerifyDeviceResponseV4", expectRoundTrip<VerifyDeviceResponseV4>},
      {"VerifyCipherResponseV4", expectRoundTrip<VerifyCipherResponseV4>},
      {"AuthInitV5Response", expectRoundTrip<AuthInitV5Response>},
      {"VerifyOtpV5Response", expectRoundTrip<VerifyOtpV5Response>},
      {"VerifyDeviceV5Response", expectRoundTrip<VerifyDeviceV5Response>},
      {"VerifyCipherV5Response", expectRoundTrip<VerifyCipherV5Response>},
      {"OAuthTokenResponse", expectRoundTrip<OAuthTokenResponse>},
      {"GenericSuccessResponse", expectRoundTrip<GenericSuccessResponse>},
      {"PushLoginDetailsResponse", expectRoundTrip<PushLoginDetailsResponse>},
      {"WebLoginResponse", expectRoundTrip<WebLoginResponse>},
      {"WebLoginApproveResponse", expectRoundTrip<WebLoginApproveResponse>},
      {"GetDeviceDetailsResponse", expectRoundTrip<GetDeviceDetailsResponse>},
  };
  const auto rows =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/response_round_trips.json");
  ASSERT_EQ(rows.size(), 15u);
  for (const auto& row : rows) byType.at(row[0])(row[1]);
}

TEST(ResponseRecordsTest, NullOrMissingFieldsReadAsAbsentOnlyWhenOptional) {
  auto cipher = decoded<VerifyCipherV5Response>(R"({"token":null,"code":"c","expires_in":null})");
  EXPECT_FALSE(cipher.token.has_value());
  EXPECT_EQ(cipher.code, "c");
  EXPECT_FALSE(cipher.expires_in.has_value());
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":null,"data":{}})"), kNull);

  const std::string details =
      R"({"request_id":"r","ip_address":"ip","browser":"b","timestamp":"t"})";  // location absent: fine
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":true,"data":)" + details + "}"), 0);
  for (const char* key : {"request_id", "ip_address", "browser", "timestamp"}) {
    auto object = nlohmann::json::parse(details);
    object.erase(key);
    EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":true,"data":)" + object.dump() + "}"),
              kMissing)
        << key;
  }
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"data":)" + details + "}"), kMissing);
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":true})"), kMissing);
  // Requests as the reference service reads them.
  EXPECT_EQ(failureCode<AuthInitV5Request>(R"({"userid":"u"})"), kMissing);
  EXPECT_EQ(failureCode<AuthInitV5Request>(R"({"userid":"u","device_info":{"fp_version":"v"}})"), kMissing);
}

TEST(ResponseRecordsTest, WrongTypesAndBadTextFail) {
  EXPECT_EQ(failureCode<AuthInitResponse>(R"({"statusCode":"200"})"), kType);
  EXPECT_EQ(failureCode<AuthInitResponse>(R"({"device_token":5})"), kType);
  EXPECT_EQ(failureCode<OAuthTokenResponse>(R"({"expires_in":1.5})"), kCorrupt);
  EXPECT_EQ(failureCode<OAuthTokenResponse>(R"({"expires_in":true})"), kType);
  EXPECT_EQ(failureCode<OAuthTokenResponse>(R"({"expires_in":9223372036854775808})"), kCorrupt);
  EXPECT_EQ(decoded<OAuthTokenResponse>(R"({"expires_in":3600.0})").expires_in, 3600);
  EXPECT_EQ(failureCode<VerifyDeviceV5Response>(R"({"is_new_user":1})"), kType);
  EXPECT_EQ(failureCode<GetDeviceDetailsResponse>(R"({"data":{}})"), kType);
  EXPECT_EQ(failureCode<GetDeviceDetailsResponse>(R"({"data":[null]})"), kNull);
  EXPECT_EQ(failureCode<WebLoginResponse>(R"({"data":{"session_details":{"city":["x"]}}})"), kType);
  EXPECT_EQ(failureCode<WebLoginResponse>(R"({"data":{"session_details":{"device_info":"Linux"}}})"), kType);
  EXPECT_EQ(failureCode<AuthInitV5Request>(R"({"userid":"u","device_info":{"fp_version":1}})"), kType);
  EXPECT_EQ(failureCode<AuthInitResponse>(R"(["not","an","object"])"), kType);
  EXPECT_EQ(failureCode<AuthInitResponse>(R"({"message":"unterminated)"), kCorrupt);
  EXPECT_EQ(failureCode<AuthInitResponse>(""), kCorrupt);
  // The description names where decoding failed.
  auto failure = decodeRecord<GetDeviceDetailsResponse>(R"({"data":[{"id":"a"},{"id":5}]})");
  ASSERT_FALSE(failure.ok());
  EXPECT_EQ(failure.error().code(), kType);
  EXPECT_NE(failure.error().localizedDescription().find("\"data[1].id\""), std::string::npos)
      << failure.error().localizedDescription();
}

TEST(ResponseRecordsTest, R2ComesFromTheFirstKeyHoldingAValue) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {R"({"r2":"a","c2":"b","combinedsalt":"c","combined_salt":"d"})", "a"},
      {R"({"c2":"b","combinedsalt":"c","combined_salt":"d"})", "b"},
      {R"({"combined_salt":"d","combinedsalt":"c"})", "c"},
      {R"({"combined_salt":"d"})", "d"},
      {R"({"r2":null,"c2":"b"})", "b"},
      {R"({"r2":"a","c2":5})", "a"},  // a later key is not read once one holds a value
      {R"({"otp":"o"})", std::nullopt},
  };
  for (const auto& [text, r2] : cases) {
    EXPECT_EQ(decoded<AuthInitV5Response>(text).r2, r2) << text;
  }
  EXPECT_EQ(failureCode<AuthInitV5Response>(R"({"r2":5,"c2":"b"})"), kType);
  // Written back under "r2" only.
  EXPECT_EQ(encoded(decoded<AuthInitV5Response>(R"({"combinedsalt":"c"})")), R"({"r2":"c"})");
}

TEST(PublicRecordsTest, EveryDecodedDeviceGetsAFreshLocalIdThatIsNeverWritten) {
  const std::string text = R"({"data":[{"id":"srv-1","platform":"ios"},{"id":"srv-1","platform":"ios"}]})";
  auto first = decoded<GetDeviceDetailsResponse>(text);
  auto second = decoded<GetDeviceDetailsResponse>(text);
  ASSERT_EQ(first.data->size(), 2u);
  std::set<std::string> ids = {(*first.data)[0].id, (*first.data)[1].id, (*second.data)[0].id,
                               (*second.data)[1].id};
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_EQ((*first.data)[0].id.size(), 36u);
  EXPECT_EQ((*first.data)[0].devId, "srv-1");
  // The stored device list: a compact array with the wire keys.
  EXPECT_EQ(json::Value(*first.data).dump(),
            R"([{"id":"srv-1","platform":"ios"},{"id":"srv-1","platform":"ios"}])");
}

TEST(PublicRecordsTest, SessionDeviceInfoKeepsTheServiceObjectAndWritesItBack) {
  auto details = decoded<SessionDetails>(
      R"({"device_id":"d","device_info":{"os":"Linux","browser":{"name":"Firefox","version":126}},"city":"Bonn"})");
  EXPECT_EQ(details.deviceInfo, R"({"os":"Linux","browser":{"name":"Firefox","version":126}})");
  EXPECT_EQ(details.city, "Bonn");
  auto pretty = encodeRecord(details, 2);
  ASSERT_TRUE(pretty.ok());
  EXPECT_EQ(pretty.value(),
            "{\n  \"device_id\": \"d\",\n  \"device_info\": {\n    \"os\": \"Linux\",\n    \"browser\": {\n"
            "      \"name\": \"Firefox\",\n      \"version\": 126\n    }\n  },\n  \"city\": \"Bonn\"\n}");

  SessionDetails hostMade;
  hostMade.deviceInfo = "[1,2]";  // not a JSON object
  EXPECT_EQ(encodeRecord(hostMade).error().domain(), json::encodingDomain);
  hostMade.deviceInfo = "not json";
  WebLoginResponse nested;
  nested.data = WebLoginData{};
  nested.data->sessionDetails = hostMade;
  EXPECT_EQ(encodeRecord(nested).error().domain(), json::encodingDomain);
}

TEST(JsonSupportTest, HostileNestingIsRefusedBeforeParsing) {
  auto nested = [](std::size_t depth) {
    return R"({"device_info":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
  };
  EXPECT_EQ(failureCode<SessionDetails>(nested(100000)), kCorrupt);
  // Brackets inside strings do not count.
  EXPECT_EQ(decoded<SessionDetails>(R"({"city":")" + std::string(1000, '[') + R"("})").city,
            std::string(1000, '['));
  // Ordinary depth is fine.
  EXPECT_EQ(failureCode<SessionDetails>(R"({"device_info":{"a":{"b":{"c":[[[1]]]}}}})"), 0);
}

}  // namespace
}  // namespace velqo
