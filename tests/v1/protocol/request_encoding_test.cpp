// Byte-exact JSON of the V1 request envelope and of every action case.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "velqo/v1/protocol/actions.hpp"

namespace velqo {
namespace {

VelqoV1DeviceInfo sampleDevice() {
  VelqoV1JSONObject signals;
  signals.set("os", VelqoV1JSONValue::string("linux"));
  signals.set("jailbroken", VelqoV1JSONValue::boolean(false));
  signals.set("screen", VelqoV1JSONValue::number(2.5));
  signals.set("cores", VelqoV1JSONValue::number(8));
  signals.set("tags", VelqoV1JSONValue::array({VelqoV1JSONValue::string("a"), VelqoV1JSONValue::null()}));
  return VelqoV1DeviceInfo{1, "fp-abc", signals};
}

struct ActionCase {
  const char* name;
  VelqoV1Action action;
  const char* json;
};

TEST(V1RequestEncoding, EveryActionCaseWritesItsKeysInWireOrder) {
  const std::vector<ActionCase> cases = {
      {"start minimal", VelqoV1Action::start(VelqoV1FlowType::signin, "a@b.c"),
       R"({"type":"start","flowType":"signin","identifier":"a@b.c"})"},
      {"start full",
       VelqoV1Action::start(VelqoV1FlowType::accountManage, " A@B.c ", "st", "inv", "chal", sampleDevice(),
                            VelqoV1DeviceCredentials{"ks", "hi", "s2"}),
       R"({"type":"start","flowType":"account_manage","identifier":" A@B.c ","startToken":"st","inviteCode":"inv",)"
       R"("codeChallenge":"chal","device":{"v":1,"fingerprint":"fp-abc","signals":{"os":"linux","jailbroken":false,)"
       R"("screen":2.5,"cores":8,"tags":["a",null]}},"deviceCredentials":{"keyset":"ks","hindex":"hi","sk2":"s2"}})"},
      {"start some optionals",
       VelqoV1Action::start(VelqoV1FlowType::signup, "u", std::nullopt, "inv", std::nullopt,
                            VelqoV1DeviceInfo{2, "f", std::nullopt}),
       R"({"type":"start","flowType":"signup","identifier":"u","inviteCode":"inv","device":{"v":2,"fingerprint":"f"}})"},
      {"start empty signals",
       VelqoV1Action::start(VelqoV1FlowType::signin, "u", std::nullopt, std::nullopt, "",
                            VelqoV1DeviceInfo{1, "f", VelqoV1JSONObject{}}),
       R"({"type":"start","flowType":"signin","identifier":"u","codeChallenge":"","device":{"v":1,"fingerprint":"f","signals":{}}})"},
      {"select method", VelqoV1Action::selectMethod("email_otp"),
       R"({"type":"select_method","methodId":"email_otp"})"},
      {"submit code", VelqoV1Action::submitCode("123456"), R"({"type":"submit_code","code":"123456"})"},
      {"submit empty code", VelqoV1Action::submitCode(""), R"({"type":"submit_code","code":""})"},
      {"submit totp", VelqoV1Action::submitTotp("654321"), R"({"type":"submit_totp","code":"654321"})"},
      {"submit phone", VelqoV1Action::submitPhone("+15550100"),
       R"({"type":"submit_phone","phone":"+15550100"})"},
      {"request challenge", VelqoV1Action::requestChallenge("K", "H", "S"),
       R"({"type":"request_challenge","keyset":"K","hindex":"H","sk2":"S"})"},
      {"submit signature", VelqoV1Action::submitSignature("kid", "sig", "m"),
       R"({"type":"submit_signature","keyId":"kid","signature":"sig","mapp":"m"})"},
      {"oauth callback", VelqoV1Action::oauthCallback("c", "st"),
       R"({"type":"oauth_callback","code":"c","state":"st"})"},
      {"qr approve remembered", VelqoV1Action::qrAuthApprove("h2", "sig", "s2", true, "pat"),
       R"({"type":"qr_auth_approve","h2index":"h2","signature":"sig","sk2":"s2","rememberDevice":true,"phoneActionToken":"pat"})"},
      {"qr approve not remembered", VelqoV1Action::qrAuthApprove("", "", "", false, ""),
       R"({"type":"qr_auth_approve","h2index":"","signature":"","sk2":"","rememberDevice":false,"phoneActionToken":""})"},
      {"resend", VelqoV1Action::resend(), R"({"type":"resend"})"},
      {"poll", VelqoV1Action::poll(), R"({"type":"poll"})"},
      {"cancel", VelqoV1Action::cancel(), R"({"type":"cancel"})"},
      {"escaping and unicode", VelqoV1Action::submitPhone("a\"b\\c\n\x01/\xC3\xA9"),
       "{\"type\":\"submit_phone\",\"phone\":\"a\\\"b\\\\c\\n\\u0001/\xC3\xA9\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodeV1JSON(c.action), c.json) << c.name;
    // The action's log name is its wire tag.
    const std::string json = c.json;
    EXPECT_EQ(json.rfind(std::string("{\"type\":\"") + std::string(c.action.wireName()) + "\"", 0), 0u)
        << c.name;
  }
}

TEST(V1RequestEncoding, EnvelopeWritesSessionOnlyWhenPresent) {
  EXPECT_EQ(encodeV1Request(VelqoV1Request{1, std::nullopt, VelqoV1Action::poll()}),
            R"({"protocolVersion":1,"action":{"type":"poll"}})");
  EXPECT_EQ(encodeV1Request(VelqoV1Request{3, "sess-1", VelqoV1Action::submitCode("42")}),
            R"({"protocolVersion":3,"session":"sess-1","action":{"type":"submit_code","code":"42"}})");
  EXPECT_EQ(encodeV1Request(VelqoV1Request{-7, "", VelqoV1Action::cancel()}),
            R"({"protocolVersion":-7,"session":"","action":{"type":"cancel"}})");
}

TEST(V1RequestEncoding, ValuesJsonCannotCarryFailWithInvalidValue) {
  auto withSignal = [](VelqoV1JSONValue value) {
    VelqoV1JSONObject signals;
    signals.set("x", std::move(value));
    return VelqoV1Request{1, std::nullopt,
                          VelqoV1Action::start(VelqoV1FlowType::signin, "u", std::nullopt, std::nullopt,
                                               std::nullopt, VelqoV1DeviceInfo{1, "f", signals})};
  };
  const std::vector<VelqoV1Request> bad = {
      withSignal(VelqoV1JSONValue::number(std::nan(""))),
      withSignal(VelqoV1JSONValue::number(std::numeric_limits<double>::infinity())),
      withSignal(
          VelqoV1JSONValue::array({VelqoV1JSONValue::number(-std::numeric_limits<double>::infinity())})),
      VelqoV1Request{1, std::nullopt, VelqoV1Action::submitCode("\xFF\xFE")},
      VelqoV1Request{1, std::string("\xC3"), VelqoV1Action::poll()},
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    try {
      encodeV1Request(bad[i]);
      ADD_FAILURE() << "case " << i << " encoded";
    } catch (const VelqoV1JSONCodingError& e) {
      EXPECT_EQ(e.errorCase(), VelqoV1JSONCodingError::Case::invalidValue) << i;
      EXPECT_EQ(e.domain(), "VelqoV1JSONCodingError");
      EXPECT_EQ(e.code(), 0);
    }
  }
}

TEST(V1RequestEncoding, FlowTypeRawValuesAreExact) {
  EXPECT_EQ(flowTypeFromRawValue("signin"), VelqoV1FlowType::signin);
  EXPECT_EQ(flowTypeFromRawValue("signup"), VelqoV1FlowType::signup);
  EXPECT_EQ(flowTypeFromRawValue("account_manage"), VelqoV1FlowType::accountManage);
  for (const char* raw : {"Signin", "SIGNIN", " signin", "accountManage", ""}) {
    EXPECT_FALSE(flowTypeFromRawValue(raw).has_value()) << raw;
  }
  EXPECT_EQ(encodeV1JSON(VelqoV1FlowType::accountManage), R"("account_manage")");
  EXPECT_EQ(decodeV1JSON<VelqoV1FlowType>(R"("signup")"), VelqoV1FlowType::signup);
  EXPECT_THROW(decodeV1JSON<VelqoV1FlowType>(R"("SignUp")"), VelqoV1JSONCodingError);
  EXPECT_THROW(decodeV1JSON<VelqoV1FlowType>("1"), VelqoV1JSONCodingError);
}

TEST(V1RequestEncoding, DeviceRecordsDecodeStrictlyAndRoundTrip) {
  const VelqoV1DeviceInfo device = sampleDevice();
  EXPECT_EQ(decodeV1JSON<VelqoV1DeviceInfo>(encodeV1JSON(device)), device);
  const VelqoV1DeviceCredentials credentials{"k", "h", "s"};
  EXPECT_EQ(decodeV1JSON<VelqoV1DeviceCredentials>(encodeV1JSON(credentials)), credentials);
  EXPECT_EQ(decodeV1JSON<VelqoV1DeviceInfo>(R"({"v":1,"fingerprint":"f","signals":null})"),
            (VelqoV1DeviceInfo{1, "f", std::nullopt}));

  struct Bad {
    const char* json;
    VelqoV1JSONCodingError::Case expected;
  };
  const std::vector<Bad> bad = {
      {R"({"fingerprint":"f"})", VelqoV1JSONCodingError::Case::keyNotFound},
      {R"({"v":"1","fingerprint":"f"})", VelqoV1JSONCodingError::Case::typeMismatch},
      {R"({"v":1.5,"fingerprint":"f"})", VelqoV1JSONCodingError::Case::typeMismatch},
      {R"({"v":1,"fingerprint":null})", VelqoV1JSONCodingError::Case::valueNotFound},
      {R"({"v":1,"fingerprint":"f","signals":[]})", VelqoV1JSONCodingError::Case::typeMismatch},
      {R"([1])", VelqoV1JSONCodingError::Case::typeMismatch},
      {R"({"v":1,)", VelqoV1JSONCodingError::Case::dataCorrupted},
  };
  for (const auto& b : bad) {
    try {
      decodeV1JSON<VelqoV1DeviceInfo>(b.json);
      ADD_FAILURE() << b.json;
    } catch (const VelqoV1JSONCodingError& e) {
      EXPECT_EQ(e.errorCase(), b.expected) << b.json << ": " << e.what();
    }
  }
  EXPECT_THROW(decodeV1JSON<VelqoV1DeviceCredentials>(R"({"keyset":"k","hindex":"h"})"),
               VelqoV1JSONCodingError);
  EXPECT_THROW(decodeV1JSON<VelqoV1DeviceCredentials>(R"({"keyset":"k","hindex":"h","sk2":2})"),
               VelqoV1JSONCodingError);
}

TEST(V1RequestEncoding, ActionEqualityComparesCaseAndEveryField) {
  EXPECT_EQ(VelqoV1Action::submitCode("1"), VelqoV1Action::submitCode("1"));
  EXPECT_NE(VelqoV1Action::submitCode("1"), VelqoV1Action::submitTotp("1"));
  EXPECT_NE(VelqoV1Action::start(VelqoV1FlowType::signin, "u", ""),
            VelqoV1Action::start(VelqoV1FlowType::signin, "u"));
  VelqoV1JSONObject ab{{"a", VelqoV1JSONValue::number(1)}, {"b", VelqoV1JSONValue::boolean(true)}};
  VelqoV1JSONObject ba{{"b", VelqoV1JSONValue::boolean(true)}, {"a", VelqoV1JSONValue::number(1)}};
  EXPECT_EQ(VelqoV1Action::start(VelqoV1FlowType::signin, "u", std::nullopt, std::nullopt, std::nullopt,
                                 VelqoV1DeviceInfo{1, "f", ab}),
            VelqoV1Action::start(VelqoV1FlowType::signin, "u", std::nullopt, std::nullopt, std::nullopt,
                                 VelqoV1DeviceInfo{1, "f", ba}));
}

}  // namespace
}  // namespace velqo
