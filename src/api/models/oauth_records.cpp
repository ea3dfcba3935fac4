#include "api/models/oauth_records.hpp"

#include <tuple>

#include "api/json_support.hpp"

namespace velqo {
namespace {

using json::field;

constexpr auto oauthTokenResponseFields = std::make_tuple(
    field("id_token", &OAuthTokenResponse::id_token), field("token_type", &OAuthTokenResponse::token_type),
    field("expires_in", &OAuthTokenResponse::expires_in));

}  // namespace

void to_json(json::Value& out, const OAuthTokenResponse& r) {
  json::encodeFields(out, r, oauthTokenResponseFields);
}
void from_json(const json::Value& in, OAuthTokenResponse& r) {
  json::decodeFields(in, r, oauthTokenResponseFields);
}

}  // namespace velqo
