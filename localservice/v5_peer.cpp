#include "velqo_localservice/v5_peer.hpp"

#include <nlohmann/json.hpp>

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {
namespace {

using Json = nlohmann::ordered_json;
namespace crypto = platform::crypto;

constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kPublicKeySize = 32;
constexpr const char* kPaths[] = {"/v5/auth-init", "/v5/verify-otp", "/v5/verify-device",
                                  "/v5/verify-cipher"};

std::optional<std::string> text(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

Reply detail(int status, const std::string& message) {
  return Reply::json(status, Json{{"detail", message}}.dump());
}

std::string randomToken(const char* prefix) {
  return prefix + platform::hexEncode(crypto::randomBytes(12));
}

// Opens nonce || ciphertext || tag under the base64 key: the public key and the combined salt.
struct OpenedKeyset {
  Bytes publicKey;
  Bytes combinedSalt;
};
std::optional<OpenedKeyset> openKeyset(const std::string& keyset, const std::string& sk2) {
  const auto sealed = platform::base64Decode(keyset);
  const auto key = platform::base64Decode(sk2);
  if (!sealed || !key || sealed->size() < kNonceSize + kTagSize + kPublicKeySize) return std::nullopt;
  const crypto::ByteView all = crypto::view(*sealed);
  auto plain =
      crypto::aesGcmOpen(crypto::view(*key), all.first(kNonceSize),
                         all.subspan(kNonceSize, sealed->size() - kNonceSize - kTagSize), all.last(kTagSize));
  if (!plain || plain->size() <= kPublicKeySize) return std::nullopt;
  return OpenedKeyset{Bytes(plain->begin(), plain->begin() + kPublicKeySize),
                      Bytes(plain->begin() + kPublicKeySize, plain->end())};
}

struct Registration {
  std::string userid;
  bool otpVerified = false;
  std::string keyset;
  std::string hindex;
};

struct Device {
  std::string userid;
  std::string keyset;
  std::string deviceToken;
};

struct Challenge {
  Bytes bytes;
  Bytes publicKey;
};

}  // namespace

struct V5Peer::State {
  explicit State(Options o) : options(std::move(o)) {}

  const Options options;
  mutable std::mutex mutex;
  Ending ending = Ending::token;
  Hook onCodeSent;
  Hook onTokenIssued;
  std::shared_ptr<AccessTokens> accessTokens;
  std::map<std::string, Registration> registrations;  // by device token
  std::map<std::string, Device> devices;              // by hindex
  std::map<std::string, Challenge> challenges;        // by hindex
  std::deque<Reply> loginScript;
  std::multiset<std::string> answersToLose;  // by path, one entry per request
  std::size_t completedRegistrations = 0;
  std::vector<Login> logins;

  Reply authInit(const RecordedRequest& request) {
    const Json body = Json::parse(request.body, nullptr, false);
    const auto userid = body.is_object() ? text(body, "userid") : std::nullopt;
    if (!userid || !body.contains("device_info")) return detail(422, "Malformed auth-init request");
    const auto hindex = text(body, "hindex");
    if (!hindex) {
      const std::string token = randomToken("dt-");
      Hook codeSent;
      {
        std::lock_guard lock(mutex);
        registrations[token] = Registration{*userid, false, {}, {}};
        codeSent = onCodeSent;
      }
      if (codeSent) codeSent(*userid, options.otp);
      return Reply::json(200, Json{{"device_token", token}, {"message", "OTP sent"}}.dump());
    }
    const auto sk2 = text(body, "sk2").value_or("");
    Device device;
    {
      std::lock_guard lock(mutex);
      if (!loginScript.empty()) {
        Reply reply = std::move(loginScript.front());
        loginScript.pop_front();
        return reply;
      }
      auto it = devices.find(*hindex);
      if (it == devices.end()) return detail(400, "hindex not found in database");
      device = it->second;
    }
    auto opened = openKeyset(device.keyset, sk2);
    if (!opened || device.userid != *userid) return detail(401, "Invalid sk2");
    Bytes challenge = crypto::randomBytes(32);
    Json answer = Json::object();
    answer["challenge"] = platform::hexEncode(challenge);
    answer["r2"] = platform::base64Encode(opened->combinedSalt);
    std::lock_guard lock(mutex);
    challenges[*hindex] = Challenge{std::move(challenge), std::move(opened->publicKey)};
    return Reply::json(200, answer.dump());
  }

  Reply verifyOtp(const RecordedRequest& request) {
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object()) return detail(422, "Malformed verify-otp request");
    const auto token = text(body, "device_token");
    const auto otp = text(body, "otp");
    const auto keyset = text(body, "keyset");
    const auto hindex = text(body, "hindex");
    if (!token || !otp || !keyset || !hindex) return detail(422, "Malformed verify-otp request");
    std::lock_guard lock(mutex);
    auto it = registrations.find(*token);
    if (it == registrations.end() || *otp != options.otp) return detail(400, "Invalid OTP");
    it->second.otpVerified = true;
    it->second.keyset = *keyset;
    it->second.hindex = *hindex;
    return Reply::json(200, Json{{"device_token", *token}, {"message", "OTP verified"}}.dump());
  }

  Reply verifyDevice(const RecordedRequest& request) {
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object()) return detail(422, "Malformed verify-device request");
    const auto userid = text(body, "userid");
    const auto token = text(body, "device_token");
    const auto hindex = text(body, "hindex");
    std::lock_guard lock(mutex);
    auto it = token ? registrations.find(*token) : registrations.end();
    if (it == registrations.end() || !it->second.otpVerified || it->second.userid != userid ||
        it->second.hindex != hindex) {
      return detail(400, "Device verification failed");
    }
    bool newUser = true;
    for (const auto& [key, device] : devices) newUser = newUser && device.userid != *userid;
    devices[*hindex] = Device{*userid, it->second.keyset, *token};
    registrations.erase(it);
    ++completedRegistrations;
    Json answer = Json::object();
    answer["userid"] = *userid;
    answer["is_new_user"] = newUser;
    answer["message"] = "Device verified";
    return Reply::json(200, answer.dump());
  }

  // The reply of a request that was handled, unless its answer is to be lost.
  Reply deliver(const std::string& path, Reply reply) {
    std::lock_guard lock(mutex);
    auto lost = answersToLose.find(path);
    if (lost == answersToLose.end()) return reply;
    answersToLose.erase(lost);
    return Reply::drop();
  }

  Reply verifyCipher(const RecordedRequest& request) {
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object()) return detail(422, "Malformed verify-cipher request");
    const auto userid = text(body, "userid");
    const auto hindex = text(body, "hindex").value_or("");
    const auto signature = platform::base64Decode(text(body, "signature").value_or("?"));
    const auto mapp = text(body, "mapp");
    Challenge challenge;
    Device device;
    Ending answerWith;
    Hook tokenIssued;
    std::shared_ptr<AccessTokens> grantTo;
    {
      std::lock_guard lock(mutex);
      auto open = challenges.find(hindex);
      auto known = devices.find(hindex);
      if (open == challenges.end() || known == devices.end()) return detail(401, "No open challenge");
      challenge = std::move(open->second);
      challenges.erase(open);
      device = known->second;
      answerWith = ending;
      tokenIssued = onTokenIssued;
      grantTo = accessTokens;
    }
    Bytes message = challenge.bytes;
    message.insert(message.end(), options.domain.begin(), options.domain.end());
    if (userid != device.userid || text(body, "device_token") != device.deviceToken) {
      return detail(401, "Unknown device");
    }
    if (mapp != platform::base64Encode(message) || !signature ||
        !crypto::ed25519Verify(crypto::view(challenge.publicKey), crypto::view(message),
                               crypto::view(*signature))) {
      return detail(401, "Invalid signature");
    }
    Json answer = Json::object();
    std::string issued;
    switch (answerWith) {
      case Ending::token:
        issued = randomToken("tok-");
        if (grantTo) grantTo->grant(issued, *userid);
        answer["token"] = issued;
        answer["expires_in"] = 3600;
        break;
      case Ending::code:
        issued = randomToken("code-");
        if (options.tokenEndpoint) {
          TokenGrant grant;
          grant.clientId = options.clientId;
          grant.subject = *userid;
          options.tokenEndpoint->registerCode(issued, grant);
        }
        answer["code"] = issued;
        answer["expires_in"] = 300;
        break;
      case Ending::sessionId:
        issued = randomToken("sess-");
        answer["session_id"] = issued;
        answer["detail"] = "Additional verification required";
        break;
    }
    if (answerWith == Ending::token && tokenIssued) tokenIssued(*userid, issued);
    std::lock_guard lock(mutex);
    logins.push_back(Login{*userid, hindex, issued});
    return Reply::json(200, answer.dump());
  }
};

V5Peer::V5Peer(LocalService& service, Options options)
    : service_(service), basePath_(options.basePath), state_(std::make_shared<State>(std::move(options))) {
  auto state = state_;
  service_.route("POST", basePath_ + kPaths[0],
                 [state](const RecordedRequest& r) { return state->deliver(kPaths[0], state->authInit(r)); });
  service_.route("POST", basePath_ + kPaths[1], [state](const RecordedRequest& r) {
    return state->deliver(kPaths[1], state->verifyOtp(r));
  });
  service_.route("POST", basePath_ + kPaths[2], [state](const RecordedRequest& r) {
    return state->deliver(kPaths[2], state->verifyDevice(r));
  });
  service_.route("POST", basePath_ + kPaths[3], [state](const RecordedRequest& r) {
    return state->deliver(kPaths[3], state->verifyCipher(r));
  });
}

V5Peer::~V5Peer() {
  for (const char* path : kPaths) service_.removeRoute("POST", basePath_ + path);
}

void V5Peer::grantTokensTo(std::shared_ptr<AccessTokens> tokens) {
  std::lock_guard lock(state_->mutex);
  state_->accessTokens = std::move(tokens);
}

void V5Peer::setOnCodeSent(Hook hook) {
  std::lock_guard lock(state_->mutex);
  state_->onCodeSent = std::move(hook);
}

void V5Peer::setOnTokenIssued(Hook hook) {
  std::lock_guard lock(state_->mutex);
  state_->onTokenIssued = std::move(hook);
}

void V5Peer::setEnding(Ending ending) {
  std::lock_guard lock(state_->mutex);
  state_->ending = ending;
}

void V5Peer::enqueueLoginReply(Reply reply) {
  std::lock_guard lock(state_->mutex);
  state_->loginScript.push_back(std::move(reply));
}

void V5Peer::loseNextAnswer(const std::string& path) {
  std::lock_guard lock(state_->mutex);
  state_->answersToLose.insert(path);
}

void V5Peer::forgetDevices() {
  std::lock_guard lock(state_->mutex);
  state_->devices.clear();
  state_->challenges.clear();
}

std::size_t V5Peer::deviceCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.size();
}

std::size_t V5Peer::registrationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->completedRegistrations;
}

std::vector<V5Peer::Login> V5Peer::logins() const {
  std::lock_guard lock(state_->mutex);
  return state_->logins;
}

std::string V5Peer::saveState() const {
  std::lock_guard lock(state_->mutex);
  Json registrations = Json::object();
  for (const auto& [token, r] : state_->registrations) {
    registrations[token] = Json{
        {"userid", r.userid}, {"otp_verified", r.otpVerified}, {"keyset", r.keyset}, {"hindex", r.hindex}};
  }
  Json devices = Json::object();
  for (const auto& [hindex, d] : state_->devices) {
    devices[hindex] = Json{{"userid", d.userid}, {"keyset", d.keyset}, {"device_token", d.deviceToken}};
  }
  return Json{{"registrations", std::move(registrations)},
              {"devices", std::move(devices)},
              {"completed_registrations", state_->completedRegistrations}}
      .dump();
}

bool V5Peer::restoreState(const std::string& state) {
  const Json json = Json::parse(state, nullptr, false);
  if (!json.is_object()) return false;
  try {
    std::map<std::string, Registration> registrations;
    for (const auto& [token, r] : json.at("registrations").items()) {
      registrations[token] =
          Registration{r.at("userid").get<std::string>(), r.at("otp_verified").get<bool>(),
                       r.at("keyset").get<std::string>(), r.at("hindex").get<std::string>()};
    }
    std::map<std::string, Device> devices;
    for (const auto& [hindex, d] : json.at("devices").items()) {
      devices[hindex] = Device{d.at("userid").get<std::string>(), d.at("keyset").get<std::string>(),
                               d.at("device_token").get<std::string>()};
    }
    const auto completed = json.at("completed_registrations").get<std::size_t>();
    std::lock_guard lock(state_->mutex);
    state_->registrations = std::move(registrations);
    state_->devices = std::move(devices);
    state_->completedRegistrations = completed;
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace velqo::localservice
