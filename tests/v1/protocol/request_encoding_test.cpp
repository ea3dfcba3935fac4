// Byte-exact JSON of the V1 request envelope and of every action case.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "test_data.hpp"
#include "velqo/v1/protocol/actions.hpp"

namespace velqo {
namespace {

using V = VelqoV1JSONValue;
using CodingCase = VelqoV1JSONCodingError::Case;

VelqoV1DeviceInfo sampleDevice() {
  VelqoV1JSONObject signals;
  signals.set("os", V::string("linux"));
  signals.set("jailbroken", V::boolean(false));
  signals.set("screen", V::number(2.5));
  signals.set("cores", V::number(8));
  signals.set("tags", V::array({V::string("a"), V::null()}));
  return VelqoV1DeviceInfo{1, "fp-abc", signals};
}

TEST(V1RequestEncoding, EveryActionCaseWritesItsKeysInWireOrder) {
  struct Case {
    VelqoV1Action action;
    const char* json;
  };
  const std::vector<Case> cases = {
      {VelqoV1Action::start(VelqoV1FlowType::signin, "a@b.c"),
       R"({"type":"start","flowType":"signin","identifier":"a@b.c"})"},
      {VelqoV1Action::start(VelqoV1FlowType::accountManage, " A@B.c ", "st", "inv", "chal", sampleDevice(),
                            VelqoV1DeviceCredentials{"ks", "hi", "s2"}),
       R"({"type":"start","flowType":"account_manage","identifier":" A@B.c ","startToken":"st","inviteCode":"inv",)"
       R"("codeChallenge":"chal","device":{"v":1,"fingerprint":"fp-abc","signals":{"os":"linux","jailbroken":false,)"
       R"("screen":2.5,"cores":8,"tags":["a",null]}},"deviceCredentials":{"keyset":"ks","hindex":"hi","sk2":"s2"}})"},
      {VelqoV1Action::start(VelqoV1FlowType::signup, "u", std::nullopt, "inv", std::nullopt,
                            VelqoV1DeviceInfo{2, "f", std::nullopt}),
       R"({"type":"start","flowType":"signup","identifier":"u","inviteCode":"inv","device":{"v":2,"fingerprint":"f"}})"},
      {VelqoV1Action::start(VelqoV1FlowType::signin, "u", std::nullopt, std::nullopt, "",
                            VelqoV1DeviceInfo{1, "f", VelqoV1JSONObject{}}),
       R"({"type":"start","flowType":"signin","identifier":"u","codeChallenge":"","device":{"v":1,"fingerprint":"f","signals":{}}})"},
      {VelqoV1Action::selectMethod("email_otp"), R"({"type":"select_method","methodId":"email_otp"})"},
      {VelqoV1Action::submitCode("123456"), R"({"type":"submit_code","code":"123456"})"},
      {VelqoV1Action::submitTotp("654321"), R"({"type":"submit_totp","code":"654321"})"},
      {VelqoV1Action::submitPhone("+15550100"), R"({"type":"submit_phone","phone":"+15550100"})"},
      {VelqoV1Action::requestChallenge("K", "H", "S"),
       R"({"type":"request_challenge","keyset":"K","hindex":"H","sk2":"S"})"},
      {VelqoV1Action::submitSignature("kid", "sig", "m"),
       R"({"type":"submit_signature","keyId":"kid","signature":"sig","mapp":"m"})"},
      {VelqoV1Action::oauthCallback("c", "st"), R"({"type":"oauth_callback","code":"c","state":"st"})"},
      {VelqoV1Action::qrAuthApprove("h2", "sig", "s2", true, "pat"),
       R"({"type":"qr_auth_approve","h2index":"h2","signature":"sig","sk2":"s2","rememberDevice":true,"phoneActionToken":"pat"})"},
      {VelqoV1Action::qrAuthApprove("", "", "", false, ""),
       R"({"type":"qr_auth_approve","h2index":"","signature":"","sk2":"","rememberDevice":false,"phoneActionToken":""})"},
      {VelqoV1Action::resend(), R"({"type":"resend"})"},
      {VelqoV1Action::poll(), R"({"type":"poll"})"},
      {VelqoV1Action::cancel(), R"({"type":"cancel"})"},
      {VelqoV1Action::submitPhone("a\"b\\c\n\x01/\xC3\xA9"),
       "{\"type\":\"submit_phone\",\"phone\":\"a\\\"b\\\\c\\n\\u0001/\xC3\xA9\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(encodeV1JSON(c.action), c.json);
    // The action's log name is its wire tag.
    EXPECT_EQ(std::string(c.json).rfind("{\"type\":\"" + std::string(c.action.wireName()) + "\"", 0), 0u);
  }
}

TEST(V1RequestEncoding, EnvelopeWritesSessionOnlyWhenPresent) {
  EXPECT_EQ(encodeV1Request(VelqoV1Request{1, std::nullopt, VelqoV1Action::poll()}),
            R"({"protocolVersion":1,"action":{"type":"poll"}})");
  EXPECT_EQ(encodeV1Request(VelqoV1Request{-7, "", VelqoV1Action::submitCode("42")}),
            R"({"protocolVersion":-7,"session":"","action":{"type":"submit_code","code":"42"}})");
}

TEST(V1RequestEncoding, ValuesJsonCannotCarryFailWithInvalidValue) {
  auto withSignal = [](V value) {
    VelqoV1JSONObject signals;
    signals.set("x", std::move(value));
    return VelqoV1Request{1, std::nullopt,
                          VelqoV1Action::start(VelqoV1FlowType::signin, "u", std::nullopt, std::nullopt,
                                               std::nullopt, VelqoV1DeviceInfo{1, "f", signals})};
  };
  const std::vector<VelqoV1Request> bad = {
      withSignal(V::number(std::nan(""))),
      withSignal(V::array({V::number(-std::numeric_limits<double>::infinity())})),
      VelqoV1Request{1, std::nullopt, VelqoV1Action::submitCode("\xFF\xFE")},
      VelqoV1Request{1, std::string("\xC3"), VelqoV1Action::poll()},
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    const auto e = testing::thrown<VelqoV1JSONCodingError>([&] { (void)encodeV1Request(bad[i]); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCase(), CodingCase::invalidValue);
    EXPECT_EQ(e->domain(), "VelqoV1JSONCodingError");
    EXPECT_EQ(e->code(), 0);
  }
}

TEST(V1RequestEncoding, FlowTypesAndDeviceRecordsDecodeStrictly) {
  EXPECT_EQ(flowTypeFromRawValue("account_manage"), VelqoV1FlowType::accountManage);
  for (const char* raw : {"Signin", " signin", "accountManage", ""}) {
    EXPECT_FALSE(flowTypeFromRawValue(raw).has_value()) << raw;
  }
  EXPECT_EQ(decodeV1JSON<VelqoV1FlowType>(R"("signup")"), VelqoV1FlowType::signup);
  EXPECT_THROW(decodeV1JSON<VelqoV1FlowType>(R"("SignUp")"), VelqoV1JSONCodingError);

  EXPECT_EQ(decodeV1JSON<VelqoV1DeviceInfo>(encodeV1JSON(sampleDevice())), sampleDevice());
  const VelqoV1DeviceCredentials credentials{"k", "h", "s"};
  EXPECT_EQ(decodeV1JSON<VelqoV1DeviceCredentials>(encodeV1JSON(credentials)), credentials);
  EXPECT_EQ(decodeV1JSON<VelqoV1DeviceInfo>(R"({"v":1,"fingerprint":"f","signals":null})"),
            (VelqoV1DeviceInfo{1, "f", std::nullopt}));
  struct Bad {
    const char* json;
    CodingCase expected;
  };
  for (const auto& b : std::vector<Bad>{
           {R"({"fingerprint":"f"})", CodingCase::keyNotFound},
           {R"({"v":"1","fingerprint":"f"})", CodingCase::typeMismatch},
           {R"({"v":1.5,"fingerprint":"f"})", CodingCase::typeMismatch},
           {R"({"v":1,"fingerprint":null})", CodingCase::valueNotFound},
           {R"({"v":1,"fingerprint":"f","signals":[]})", CodingCase::typeMismatch},
           {R"({"v":1,)", CodingCase::dataCorrupted},
       }) {
    EXPECT_EQ(
        testing::thrownCase<VelqoV1JSONCodingError>([&] { (void)decodeV1JSON<VelqoV1DeviceInfo>(b.json); }),
        b.expected)
        << b.json;
  }
  EXPECT_THROW(decodeV1JSON<VelqoV1DeviceCredentials>(R"({"keyset":"k","hindex":"h","sk2":2})"),
               VelqoV1JSONCodingError);
}

}  // namespace
}  // namespace velqo
