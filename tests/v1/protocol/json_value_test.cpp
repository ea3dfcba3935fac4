// The free JSON value: decoding of each JSON type, equality rules and the text round trip.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "velqo/v1/protocol/json_value.hpp"

namespace velqo {
namespace {

using V = VelqoV1JSONValue;

TEST(V1JSONValue, EachJSONTypeDecodesToItsCase) {
  struct Case {
    const char* text;
    V expected;
  };
  const std::vector<Case> cases = {
      {"false", V::boolean(false)},
      {"-0.25", V::number(-0.25)},
      {"18446744073709551615", V::number(18446744073709551615.0)},
      {R"("\u00e9\ud83d\ude00")", V::string("\xC3\xA9\xF0\x9F\x98\x80")},
      {"[]", V::array({})},
      {"null", V::null()},
      {R"({"b":[1,{"c":null}],"a":"x"})",
       V::object({{"a", V::string("x")}, {"b", V::array({V::number(1), V::object({{"c", V::null()}})})}})},
      {R"({"k":1,"k":2})", V::object({{"k", V::number(2)}})},
  };
  for (const auto& c : cases) EXPECT_EQ(V::fromJSONText(c.text), c.expected) << c.text;
  for (const char* bad : {"", "tru", "{\"a\":}", "[1,]", "1e999", "\"\xFF\""}) {
    EXPECT_THROW(V::fromJSONText(bad), VelqoV1JSONCodingError) << bad;
  }
}

TEST(V1JSONValue, EqualityIsPerCaseNumericAndIgnoresMemberOrder) {
  EXPECT_EQ(V::number(1), V::fromJSONText("1.0"));
  EXPECT_NE(V::number(1), V::boolean(true));
  EXPECT_NE(V::number(std::nan("")), V::number(std::nan("")));
  EXPECT_EQ(V::object({{"a", V::number(1)}, {"b", V::null()}}),
            V::object({{"b", V::null()}, {"a", V::number(1)}}));
  EXPECT_NE(V::object({{"a", V::number(1)}}), V::object({{"a", V::number(1)}, {"b", V::null()}}));
  EXPECT_NE(V::object({{"a", V::number(1)}}), V::object({{"b", V::number(1)}}));
  EXPECT_NE(V::array({V::number(1), V::number(2)}), V::array({V::number(2), V::number(1)}));

  VelqoV1JSONObject object;
  object.set("x", V::number(1));
  object.set("y", V::number(2));
  object.set("x", V::number(3));  // replaced in place
  ASSERT_EQ(object.size(), 2u);
  EXPECT_EQ(object.entries()[0].first, "x");
  EXPECT_EQ(*object.find("x"), V::number(3));
}

TEST(V1JSONValue, TextRoundTripKeepsValueAndBuiltOrder) {
  const V built =
      V::object({{"zeta", V::number(0.1)},
                 {"alpha", V::array({V::boolean(true), V::null(), V::number(-3), V::number(1e300)})},
                 {"mid", V::string("line\nquote\" slash/")},
                 {"nested", V::object({{"b", V::number(2)}, {"a", V::object({})}})}});
  const std::string text = built.toJSONText();
  EXPECT_EQ(
      text,
      R"({"zeta":0.1,"alpha":[true,null,-3,1e+300],"mid":"line\nquote\" slash/","nested":{"b":2,"a":{}}})");
  EXPECT_EQ(V::fromJSONText(text), built);
  // Whole numbers are written without a fraction up to 2^53.
  EXPECT_EQ(V::number(9007199254740992.0).toJSONText(), "9007199254740992");
  EXPECT_EQ(V::number(-0.0).toJSONText(), "0");
  EXPECT_THROW(V::number(INFINITY).toJSONText(), VelqoV1JSONCodingError);
  EXPECT_THROW(V::string("\xC0\x80").toJSONText(), VelqoV1JSONCodingError);
}

}  // namespace
}  // namespace velqo
