#include "velqo_localservice/access_tokens.hpp"

#include <nlohmann/json.hpp>

#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {

std::string AccessTokens::issue(const std::string& userid) {
  std::string token = platform::hexEncode(platform::crypto::randomBytes(32));
  grant(token, userid);
  return token;
}

void AccessTokens::grant(const std::string& token, const std::string& userid) {
  std::lock_guard lock(mutex_);
  users_[token] = userid;
}

bool AccessTokens::revoke(const std::string& token) {
  std::lock_guard lock(mutex_);
  return users_.erase(token) > 0;
}

std::optional<std::string> AccessTokens::userOf(const RecordedRequest& request) const {
  static constexpr std::string_view prefix = "Bearer ";
  const auto header = request.header("Authorization");
  if (!header || header->compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::string token = header->substr(prefix.size());
  std::lock_guard lock(mutex_);
  auto it = users_.find(token);
  if (it == users_.end()) return std::nullopt;
  return it->second;
}

std::string AccessTokens::saveState() const {
  std::lock_guard lock(mutex_);
  return nlohmann::json(users_).dump();
}

bool AccessTokens::restoreState(const std::string& state) {
  const auto json = nlohmann::json::parse(state, nullptr, false);
  if (!json.is_object()) return false;
  std::map<std::string, std::string> restored;
  for (const auto& [token, user] : json.items()) {
    if (!user.is_string()) return false;
    restored[token] = user.get<std::string>();
  }
  std::lock_guard lock(mutex_);
  users_.merge(restored);
  return true;
}

void ReplyScript::enqueue(Reply reply) {
  std::lock_guard lock(mutex_);
  replies_.push_back(std::move(reply));
}

std::optional<Reply> ReplyScript::next() {
  std::lock_guard lock(mutex_);
  if (replies_.empty()) return std::nullopt;
  Reply reply = std::move(replies_.front());
  replies_.erase(replies_.begin());
  return reply;
}

}  // namespace velqo::localservice
