#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "api/json_support.hpp"
#include "api/models/device_records.hpp"
#include "api/models/oauth_records.hpp"
#include "api/models/push_records.hpp"
#include "api/models/v4_records.hpp"
#include "api/models/v5_records.hpp"
#include "api/models/web_login_records.hpp"

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

// Encoding writes fields in declaration order, leaves absent optionals out, and decoding the
// text gives the record back (the reference service reads these bodies).
TEST(RequestRecordsTest, EncodeByteExactInFieldOrderAndDecodeBack) {
  struct Case {
    const char* name;
    std::function<std::string()> encode;
    std::string expected;
    std::function<bool(const std::string&)> decodesBack;
  };
  auto check = [](auto record) {
    return [record](const std::string& text) { return decoded<decltype(record)>(text) == record; };
  };
  const AuthInitRequest authInitFull{"u1", kInfo, "dt", "ci", "h-1", "h-2"};
  const AuthInitRequest authInitBare{"u1", kInfo, {}, {}, {}, {}};
  const OTPVerificationRequestV4 otpV4{"dt", "123456", kInfo};
  const VerifyDeviceRequestV4 deviceV4{"u1", kInfo, "dt", "h-1", "h-2"};
  const VerifyCipherRequestV4 cipherV4{"u1", "m2v", kInfo, "dt"};
  const AuthInitV5Request initV5Reg{"u1", kInfo, {}, {}};
  const AuthInitV5Request initV5Login{"u1", kInfo, "hx", "s2"};
  const VerifyOtpV5Request otpV5{"dt", "654321", kInfo, "ks", "hx"};
  const VerifyDeviceV5Request deviceV5{"u1", kInfo, "dt", "hx"};
  const VerifyCipherV5Request cipherV5{"u1", "sig", "hx", kInfo, "dt", "mp"};
  const VerifyCipherV5Request cipherV5NoToken{"u1", "sig", "hx", kInfo, {}, "mp"};
  const RegisterPushTokenRequest push{"0aff", "fp", "Pixel"};
  const PushActionRequest action{"req-1"};
  const WebLoginRequest web{"1234"};
  const WebLoginApproveRequest approve{"wt"};

  const std::vector<Case> cases = {
      {"AuthInitRequest full", [&] { return encoded(authInitFull); },
       R"({"userid":"u1","device_info":)" + kInfoJson +
           R"(,"device_token":"dt","cipher":"ci","h1":"h-1","h2":"h-2"})",
       check(authInitFull)},
      {"AuthInitRequest bare", [&] { return encoded(authInitBare); },
       R"({"userid":"u1","device_info":)" + kInfoJson + "}", check(authInitBare)},
      {"OTPVerificationRequestV4", [&] { return encoded(otpV4); },
       R"({"device_token":"dt","otp":"123456","device_info":)" + kInfoJson + "}", check(otpV4)},
      {"VerifyDeviceRequestV4", [&] { return encoded(deviceV4); },
       R"({"userid":"u1","device_info":)" + kInfoJson + R"(,"device_token":"dt","h1":"h-1","h2":"h-2"})",
       check(deviceV4)},
      {"VerifyCipherRequestV4", [&] { return encoded(cipherV4); },
       R"({"userid":"u1","m2":"m2v","device_info":)" + kInfoJson + R"(,"device_token":"dt"})",
       check(cipherV4)},
      {"AuthInitV5Request registration", [&] { return encoded(initV5Reg); },
       R"({"userid":"u1","device_info":)" + kInfoJson + "}", check(initV5Reg)},
      {"AuthInitV5Request login", [&] { return encoded(initV5Login); },
       R"({"userid":"u1","device_info":)" + kInfoJson + R"(,"hindex":"hx","sk2":"s2"})", check(initV5Login)},
      {"VerifyOtpV5Request", [&] { return encoded(otpV5); },
       R"({"device_token":"dt","otp":"654321","device_info":)" + kInfoJson +
           R"(,"keyset":"ks","hindex":"hx"})",
       check(otpV5)},
      {"VerifyDeviceV5Request", [&] { return encoded(deviceV5); },
       R"({"userid":"u1","device_info":)" + kInfoJson + R"(,"device_token":"dt","hindex":"hx"})",
       check(deviceV5)},
      {"VerifyCipherV5Request", [&] { return encoded(cipherV5); },
       R"({"userid":"u1","signature":"sig","hindex":"hx","device_info":)" + kInfoJson +
           R"(,"device_token":"dt","mapp":"mp"})",
       check(cipherV5)},
      {"VerifyCipherV5Request without token", [&] { return encoded(cipherV5NoToken); },
       R"({"userid":"u1","signature":"sig","hindex":"hx","device_info":)" + kInfoJson + R"(,"mapp":"mp"})",
       check(cipherV5NoToken)},
      {"RegisterPushTokenRequest", [&] { return encoded(push); },
       R"({"push_token":"0aff","device_fingerprint":"fp","device_name":"Pixel"})", check(push)},
      {"PushActionRequest", [&] { return encoded(action); }, R"({"request_id":"req-1"})", check(action)},
      {"WebLoginRequest", [&] { return encoded(web); }, R"({"web_pin":"1234"})", check(web)},
      {"WebLoginApproveRequest", [&] { return encoded(approve); }, R"({"token":"wt"})", check(approve)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.encode(), c.expected);
    EXPECT_TRUE(c.decodesBack(c.expected));
  }
}

// Full answers decode every field and encode back to the same bytes.
TEST(ResponseRecordsTest, DecodeEveryFieldAndEncodeBackUnchanged) {
  struct Case {
    const char* name;
    std::string text;
    std::function<std::string(const std::string&)> roundTrip;
  };
  auto via = [](auto tag) {
    return [](const std::string& text) { return encoded(decoded<decltype(tag)>(text)); };
  };
  const std::vector<Case> cases = {
      {"AuthInitResponse",
       R"({"device_token":"d","otp":"o","er3":"e3","e12":"e","c2":"c","message":"m","detail":"x","statusCode":200})",
       via(AuthInitResponse{})},
      {"OTPVerificationResponseV4",
       R"({"message":"m","device_token":"d","Er1r2":"er","detail":"x","code":"c","expires_in":300,"statusCode":201})",
       via(OTPVerificationResponseV4{})},
      {"VerifyDeviceResponseV4",
       R"({"message":"m","userid":"u","is_new_user":true,"detail":"x","statusCode":200})",
       via(VerifyDeviceResponseV4{})},
      {"VerifyCipherResponseV4",
       R"({"message":"m","token":"t","code":"c","expires_in":60,"detail":"x","statusCode":200})",
       via(VerifyCipherResponseV4{})},
      {"AuthInitV5Response",
       R"({"device_token":"d","otp":"o","r2":"r","challenge":"ch","detail":"x","message":"m"})",
       via(AuthInitV5Response{})},
      {"VerifyOtpV5Response", R"({"device_token":"d","detail":"x","message":"m"})",
       via(VerifyOtpV5Response{})},
      {"VerifyDeviceV5Response", R"({"detail":"x","userid":"u","is_new_user":false,"message":"m"})",
       via(VerifyDeviceV5Response{})},
      {"VerifyCipherV5Response",
       R"({"detail":"x","token":"t","code":"c","expires_in":-1,"session_id":"s","message":"m"})",
       via(VerifyCipherV5Response{})},
      {"OAuthTokenResponse", R"({"id_token":"a.b.c","token_type":"Bearer","expires_in":3600})",
       via(OAuthTokenResponse{})},
      {"GenericSuccessResponse", R"({"success":true,"detail":"ok"})", via(GenericSuccessResponse{})},
      {"PushLoginDetailsResponse",
       R"({"success":false,"data":{"request_id":"r","ip_address":"10.0.0.1","location":"Berlin",)"
       R"("browser":"Firefox","timestamp":"2024-05-01T10:00:00Z"}})",
       via(PushLoginDetailsResponse{})},
      {"WebLoginResponse",
       R"({"api_status":true,"data":{"expire_at":"e","created_at":"c","status":true,"web_token":"wt",)"
       R"("session_details":{"device_id":"d","device_info":{"os":"Linux","screen":{"w":1920}},"ip_details":"ip",)"
       R"("isp":"i","city":"c","state":"s","country":"DE"},"web_pin":"1234"},"message":"m"})",
       via(WebLoginResponse{})},
      {"WebLoginApproveResponse", R"({"api_status":false,"message":"m"})", via(WebLoginApproveResponse{})},
      {"GetDeviceDetailsResponse",
       R"({"api_status":true,"data":[{"id":"d1","platform":"ios","browser_name":"app","model":"iPhone",)"
       R"("os_version":"17","login_time":"t"},{}],"message":"m"})",
       via(GetDeviceDetailsResponse{})},
      {"every optional absent", "{}", via(WebLoginResponse{})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.roundTrip(c.text), c.text);
  }
}

TEST(ResponseRecordsTest, NullReadsAsAbsentForOptionalsAndFailsForRequiredFields) {
  auto cipher = decoded<VerifyCipherV5Response>(R"({"token":null,"code":"c","expires_in":null})");
  EXPECT_FALSE(cipher.token.has_value());
  EXPECT_EQ(cipher.code, "c");
  EXPECT_FALSE(cipher.expires_in.has_value());
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":null,"data":{}})"), kNull);
}

TEST(ResponseRecordsTest, MissingRequiredFieldsFailTheWholeRecord) {
  const std::string details =
      R"({"request_id":"r","ip_address":"ip","browser":"b","timestamp":"t"})";  // location absent: fine
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":true,"data":)" + details + "}"), 0);
  for (const char* key : {"request_id", "ip_address", "browser", "timestamp"}) {
    SCOPED_TRACE(key);
    auto object = nlohmann::json::parse(details);
    object.erase(key);
    EXPECT_EQ(failureCode<PushLoginRequestDetails>(object.dump()), kMissing);
    EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":true,"data":)" + object.dump() + "}"),
              kMissing);
  }
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"data":)" + details + "}"), kMissing);
  EXPECT_EQ(failureCode<PushLoginDetailsResponse>(R"({"success":true})"), kMissing);
  // Requests as the reference service reads them.
  EXPECT_EQ(failureCode<VerifyOtpV5Request>(R"({"device_token":"d","otp":"1","device_info":)" + kInfoJson +
                                            R"(,"keyset":"k"})"),
            kMissing);
  EXPECT_EQ(failureCode<AuthInitV5Request>(R"({"userid":"u"})"), kMissing);
  EXPECT_EQ(failureCode<AuthInitV5Request>(R"({"userid":"u","device_info":{"fp_version":"v"}})"), kMissing);
}

TEST(ResponseRecordsTest, WrongTypesFailWithTheOffendingKeyNamed) {
  struct Case {
    const char* text;
    std::function<long(const std::string&)> decode;
    long code;
    const char* path;
  };
  auto as = [](auto tag) { return [](const std::string& t) { return failureCode<decltype(tag)>(t); }; };
  const std::vector<Case> cases = {
      {R"({"statusCode":"200"})", as(AuthInitResponse{}), kType, "statusCode"},
      {R"({"device_token":5})", as(AuthInitResponse{}), kType, "device_token"},
      {R"({"expires_in":1.5})", as(OAuthTokenResponse{}), kCorrupt, "expires_in"},
      {R"({"expires_in":true})", as(OAuthTokenResponse{}), kType, "expires_in"},
      {R"({"expires_in":9223372036854775808})", as(OAuthTokenResponse{}), kCorrupt, "expires_in"},
      {R"({"is_new_user":1})", as(VerifyDeviceV5Response{}), kType, "is_new_user"},
      {R"({"success":"true"})", as(GenericSuccessResponse{}), kType, "success"},
      {R"({"data":{}})", as(GetDeviceDetailsResponse{}), kType, "data"},
      {R"({"data":[{"id":"a"},{"id":5}]})", as(GetDeviceDetailsResponse{}), kType, "data[1].id"},
      {R"({"data":[null]})", as(GetDeviceDetailsResponse{}), kNull, "data[0]"},
      {R"({"data":{"session_details":{"city":["x"]}}})", as(WebLoginResponse{}), kType,
       "data.session_details.city"},
      {R"({"data":{"session_details":{"device_info":"Linux"}}})", as(WebLoginResponse{}), kType,
       "data.session_details.device_info"},
      {R"({"userid":"u","device_info":{"fp_version":1}})", as(AuthInitV5Request{}), kType, "device_info"},
      {R"(["not","an","object"])", as(AuthInitResponse{}), kType, ""},
      {R"("text")", as(OAuthTokenResponse{}), kType, ""},
      {R"({"message":"unterminated)", as(AuthInitResponse{}), kCorrupt, ""},
      {"", as(AuthInitResponse{}), kCorrupt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.decode(c.text), c.code);
  }
  // The description names where decoding failed.
  auto failure = decodeRecord<GetDeviceDetailsResponse>(R"({"data":[{"id":"a"},{"id":5}]})");
  ASSERT_FALSE(failure.ok());
  EXPECT_NE(failure.error().localizedDescription().find("\"data[1].id\""), std::string::npos)
      << failure.error().localizedDescription();
}

TEST(ResponseRecordsTest, IntegralFloatsReadAsIntegers) {
  EXPECT_EQ(decoded<OAuthTokenResponse>(R"({"expires_in":3600.0})").expires_in, 3600);
  EXPECT_EQ(decoded<OAuthTokenResponse>(R"({"expires_in":-5})").expires_in, -5);
}

TEST(ResponseRecordsTest, R2ComesFromTheFirstKeyHoldingAValue) {
  struct Case {
    const char* text;
    std::optional<std::string> r2;
  };
  const std::vector<Case> cases = {
      {R"({"r2":"a","c2":"b","combinedsalt":"c","combined_salt":"d"})", "a"},
      {R"({"c2":"b","combinedsalt":"c","combined_salt":"d"})", "b"},
      {R"({"combined_salt":"d","combinedsalt":"c"})", "c"},
      {R"({"combined_salt":"d"})", "d"},
      {R"({"r2":null,"c2":"b"})", "b"},
      {R"({"r2":"a","c2":5})", "a"},  // a later key is not read once one holds a value
      {R"({"otp":"o"})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decoded<AuthInitV5Response>(c.text).r2, c.r2);
  }
  EXPECT_EQ(failureCode<AuthInitV5Response>(R"({"r2":5,"c2":"b"})"), kType);
  EXPECT_EQ(failureCode<AuthInitV5Response>(R"({"c2":["b"]})"), kType);
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
  for (const auto& id : ids) EXPECT_EQ(id.size(), 36u) << id;
  EXPECT_EQ((*first.data)[0].devId, "srv-1");
  EXPECT_EQ(encoded((*first.data)[0]), R"({"id":"srv-1","platform":"ios"})");
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
  hostMade.deviceInfo = "not json";
  EXPECT_EQ(encodeRecord(hostMade).error().domain(), json::encodingDomain);
  hostMade.deviceInfo = "[1,2]";
  EXPECT_FALSE(encodeRecord(hostMade).ok());
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
