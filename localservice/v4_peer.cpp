#include "velqo_localservice/v4_peer.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <mutex>
#include <utility>

#include "platform/bigint.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {
namespace {

using Json = nlohmann::ordered_json;
using platform::BigInt;
namespace crypto = platform::crypto;

constexpr const char* kPaths[] = {"/v4/auth-init", "/v4/verify-otp", "/v4/verify-device",
                                  "/v4/verify-cipher"};

Reply failure(int status, const std::string& detail) {
  Json body = Json::object();
  body["detail"] = detail;
  return Reply::json(status, body.dump());
}

std::optional<std::string> text(const Json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::string randomToken(const char* prefix) {
  return prefix + platform::hexEncode(crypto::randomBytes(16));
}

// The AES-256 key of an integer: its big-endian bytes, last 32 kept, zero-padded in front.
Bytes keyOf(const BigInt& value) {
  Bytes magnitude = value.toBigEndian();
  Bytes key(32, 0);
  const std::size_t n = std::min<std::size_t>(magnitude.size(), 32);
  std::copy(magnitude.end() - static_cast<std::ptrdiff_t>(n), magnitude.end(),
            key.end() - static_cast<std::ptrdiff_t>(n));
  wipe(magnitude);
  return key;
}

// base64(nonce || ciphertext || tag) with a fresh nonce.
std::string seal(const std::string& plaintext, const Bytes& key) {
  const Bytes nonce = crypto::randomBytes(12);
  auto sealed = crypto::aesGcmSeal(crypto::view(key), crypto::view(nonce), crypto::view(plaintext));
  if (!sealed) throw std::runtime_error("V4Peer: sealing failed");
  Bytes out = nonce;
  out.insert(out.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  out.insert(out.end(), sealed->tag.begin(), sealed->tag.end());
  return platform::base64Encode(out);
}

std::string hashHex(const std::string& value) {
  return crypto::sha256Hex(crypto::view(value));
}

// A random value in [1, bound) that shares no factor with `coprimeTo` (when given).
BigInt randomUnit(const BigInt& bound, const BigInt& coprimeTo) {
  for (;;) {
    BigInt candidate = BigInt::randomBelow(bound);
    if (candidate.isZero()) continue;
    if (candidate.gcd(coprimeTo) == BigInt(1)) return candidate;
  }
}

struct Device {
  std::string userId;
  BigInt n;
  BigInt r3;
  std::string shareOfService;  // "d1,d2"
  std::string er1r2;
  bool verified = false;
  std::optional<BigInt> expectedSecret;  // of the open challenge
};

struct Session {
  std::string userId;
  std::string otp;
};

}  // namespace

struct V4Peer::State {
  mutable std::mutex mutex;
  Settings settings;
  TokenEndpoint* tokens = nullptr;
  LocalService* service = nullptr;
  std::map<std::string, Session> sessions;       // by session device token
  std::map<std::string, std::string> latestOtp;  // by user
  std::map<std::string, Device> devices;         // by persistent device token
  std::size_t provenLogins = 0;

  Settings currentSettings() const {
    std::lock_guard lock(mutex);
    return settings;
  }

  std::string idToken(const std::string& userId, const std::string& clientId) const {
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    Json claims = Json::object();
    claims["iss"] = service->baseUrl();
    claims["sub"] = userId;
    claims["aud"] = clientId;
    claims["iat"] = now;
    claims["exp"] = now + 3600;
    return service->issueIdToken(Curve::p256, claims.dump());
  }

  // {"code", "expires_in"} redeemable once at the token endpoint for the user's ID token.
  Reply codeAnswer(const std::string& userId, const Settings& s) {
    if (!tokens) return failure(500, "no token endpoint configured");
    const std::string code = randomToken("v4code-");
    TokenGrant grant;
    grant.clientId = s.clientId;
    grant.subject = userId;
    tokens->registerCode(code, grant);
    Json body = Json::object();
    body["code"] = code;
    body["expires_in"] = 300;
    body["message"] = "Authorization code issued";
    return Reply::json(200, body.dump());
  }

  bool proofMatches(const Json& body, const std::string& userId, const std::string& er1r2) const {
    return text(body, "h1") == hashHex(er1r2 + userId) && text(body, "h2") == hashHex(userId + er1r2);
  }

  Reply authInit(const Json& body) {
    const auto userId = text(body, "userid");
    if (!userId || userId->empty()) return failure(400, "userid is required");
    const auto deviceToken = text(body, "device_token");
    const auto cipher = text(body, "cipher");
    if (!deviceToken && !cipher) {
      Session session{*userId, (BigInt(100000) + BigInt::randomBelow(BigInt(900000))).toDecimal()};
      const std::string token = randomToken("session-");
      std::function<void(const std::string&, const std::string&)> onCodeSent;
      {
        std::lock_guard lock(mutex);
        latestOtp[*userId] = session.otp;
        sessions[token] = session;
        onCodeSent = settings.onCodeSent;
      }
      if (onCodeSent) onCodeSent(*userId, session.otp);
      Json answer = Json::object();
      answer["device_token"] = token;
      answer["message"] = "OTP sent";
      return Reply::json(201, answer.dump());
    }
    return challenge(body, *userId, deviceToken.value_or(""), cipher.value_or(""));
  }

  Reply challenge(const Json& body, const std::string& userId, const std::string& deviceToken,
                  const std::string& cipher) {
    std::lock_guard lock(mutex);
    auto it = devices.find(deviceToken);
    if (it == devices.end() || !it->second.verified || it->second.userId != userId) {
      return failure(401, "Unknown device");
    }
    Device& device = it->second;
    if (!proofMatches(body, userId, device.er1r2)) return failure(401, "Device proof mismatch");
    auto m1 = BigInt::fromDecimal(cipher);
    if (!m1 || m1->compare(BigInt(2)) < 0 || !(*m1 < device.n))
      return failure(400, "Invalid client challenge");

    // c2 = M1^m * r^N mod N^2: the Paillier encryption of m with M1 as the generator.
    const BigInt n2 = device.n * device.n;
    const BigInt secret = randomUnit(device.n, BigInt(1));
    const BigInt sent = settings.misleadingChallenge ? secret + BigInt(1) : secret;
    const BigInt noise = randomUnit(device.n, device.n);
    const BigInt c2 = (m1->powMod(sent, n2) * noise.powMod(device.n, n2)) % n2;
    device.expectedSecret = secret;

    Json answer = Json::object();
    answer["c2"] = c2.toDecimal();
    answer["e12"] = seal(device.shareOfService, keyOf(device.r3));
    answer["er3"] = seal(device.r3.toDecimal(), crypto::sha256(crypto::view(device.er1r2)));
    answer["message"] = "Challenge issued";
    return Reply::json(200, answer.dump());
  }

  Reply verifyOtp(const Json& body) {
    const auto token = text(body, "device_token");
    const auto otp = text(body, "otp");
    Settings s;
    Session session;
    {
      std::lock_guard lock(mutex);
      s = settings;
      auto it = token ? sessions.find(*token) : sessions.end();
      if (it == sessions.end()) return failure(400, "Invalid or expired session");
      if (otp != it->second.otp) return failure(400, "Invalid OTP");
      session = it->second;
      sessions.erase(it);
    }
    if (s.registrationIssuesCode) return codeAnswer(session.userId, s);

    // A fresh key for the device: p = d1 + r1 and q = d2 + r2, the r shares for the device.
    const BigInt p = BigInt::randomPrime(s.primeBits);
    const BigInt q = BigInt::randomPrime(s.primeBits);
    const BigInt r1 = BigInt::randomBelow(p);
    const BigInt r2 = BigInt::randomBelow(q);
    Device device;
    device.userId = session.userId;
    device.n = p * q;
    device.r3 = BigInt::randomBelow(BigInt::fromBigEndian(Bytes(40, 0xFF)));
    device.shareOfService = (p - r1).toDecimal() + "," + (q - r2).toDecimal();
    device.er1r2 = seal(r1.toDecimal() + "," + r2.toDecimal(), keyOf(device.r3));
    const std::string persistent = randomToken("device-");
    Json answer = Json::object();
    answer["device_token"] = persistent;
    answer["Er1r2"] = device.er1r2;
    answer["message"] = "OTP verified";
    {
      std::lock_guard lock(mutex);
      devices[persistent] = std::move(device);
    }
    return Reply::json(200, answer.dump());
  }

  Reply verifyDevice(const Json& body) {
    const auto userId = text(body, "userid");
    const auto token = text(body, "device_token");
    std::lock_guard lock(mutex);
    auto it = token ? devices.find(*token) : devices.end();
    if (it == devices.end() || !userId || it->second.userId != *userId) return failure(400, "Unknown device");
    if (!proofMatches(body, *userId, it->second.er1r2)) return failure(400, "Device proof mismatch");
    it->second.verified = true;
    Json answer = Json::object();
    answer["message"] = "Device verified";
    answer["userid"] = *userId;
    answer["is_new_user"] = true;
    return Reply::json(200, answer.dump());
  }

  Reply verifyCipher(const Json& body) {
    const auto userId = text(body, "userid");
    const auto token = text(body, "device_token");
    const auto m2 = text(body, "m2");
    Settings s;
    {
      std::lock_guard lock(mutex);
      s = settings;
      auto it = token ? devices.find(*token) : devices.end();
      if (it == devices.end() || !userId || it->second.userId != *userId || !it->second.expectedSecret) {
        return failure(401, "No open challenge for this device");
      }
      const auto answer = m2 ? BigInt::fromDecimal(*m2) : std::nullopt;
      const bool proven = answer && *answer == *it->second.expectedSecret;
      it->second.expectedSecret.reset();  // one answer per challenge
      if (!proven) return failure(401, "Cipher verification failed");
      ++provenLogins;
    }
    if (s.loginIssuesCode) return codeAnswer(*userId, s);
    Json answer = Json::object();
    answer["message"] = "Login verified";
    answer["token"] = idToken(*userId, s.clientId);
    if (s.onTokenIssued) s.onTokenIssued(*userId, answer["token"].get<std::string>());
    answer["expires_in"] = 3600;
    return Reply::json(200, answer.dump());
  }

  Reply serve(const std::string& path, const RecordedRequest& request) {
    if (auto hold = currentSettings().beforeAnswering) hold();
    Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object()) return failure(400, "JSON object expected");
    if (path == kPaths[0]) return authInit(body);
    if (path == kPaths[1]) return verifyOtp(body);
    if (path == kPaths[2]) return verifyDevice(body);
    return verifyCipher(body);
  }
};

V4Peer::V4Peer(LocalService& service, TokenEndpoint* tokens, Settings settings)
    : service_(service), state_(std::make_shared<State>()) {
  state_->settings = std::move(settings);
  state_->tokens = tokens;
  state_->service = &service_;
  for (const char* path : kPaths) {
    std::shared_ptr<State> state = state_;
    std::string route(path);
    service_.route("POST", route,
                   [state, route](const RecordedRequest& request) { return state->serve(route, request); });
  }
}

V4Peer::~V4Peer() {
  for (const char* path : kPaths) service_.removeRoute("POST", path);
}

std::string V4Peer::baseURL() const {
  return service_.baseUrl();
}

void V4Peer::setSettings(Settings settings) {
  std::lock_guard lock(state_->mutex);
  state_->settings = std::move(settings);
}

std::optional<std::string> V4Peer::otpFor(const std::string& userId) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->latestOtp.find(userId);
  if (it == state_->latestOtp.end()) return std::nullopt;
  return it->second;
}

std::size_t V4Peer::verifiedDevices(const std::string& userId) const {
  std::lock_guard lock(state_->mutex);
  std::size_t count = 0;
  for (const auto& [token, device] : state_->devices) {
    if (device.userId == userId && device.verified) ++count;
  }
  return count;
}

std::size_t V4Peer::provenLogins() const {
  std::lock_guard lock(state_->mutex);
  return state_->provenLogins;
}

std::string V4Peer::saveState() const {
  std::lock_guard lock(state_->mutex);
  Json sessions = Json::object();
  for (const auto& [token, session] : state_->sessions) {
    sessions[token] = Json{{"userid", session.userId}, {"otp", session.otp}};
  }
  Json devices = Json::object();
  for (const auto& [token, device] : state_->devices) {
    devices[token] =
        Json{{"userid", device.userId},        {"n", device.n.toDecimal()}, {"r3", device.r3.toDecimal()},
             {"share", device.shareOfService}, {"er1r2", device.er1r2},     {"verified", device.verified}};
  }
  return Json{
      {"sessions", std::move(sessions)}, {"latest_otp", state_->latestOtp}, {"devices", std::move(devices)}}
      .dump();
}

bool V4Peer::restoreState(const std::string& state) {
  const Json json = Json::parse(state, nullptr, false);
  if (!json.is_object()) return false;
  try {
    std::map<std::string, Session> sessions;
    for (const auto& [token, s] : json.at("sessions").items()) {
      sessions[token] = Session{s.at("userid").get<std::string>(), s.at("otp").get<std::string>()};
    }
    auto latestOtp = json.at("latest_otp").get<std::map<std::string, std::string>>();
    std::map<std::string, Device> devices;
    for (const auto& [token, d] : json.at("devices").items()) {
      auto n = BigInt::fromDecimal(d.at("n").get<std::string>());
      auto r3 = BigInt::fromDecimal(d.at("r3").get<std::string>());
      if (!n || !r3) return false;
      Device device;
      device.userId = d.at("userid").get<std::string>();
      device.n = std::move(*n);
      device.r3 = std::move(*r3);
      device.shareOfService = d.at("share").get<std::string>();
      device.er1r2 = d.at("er1r2").get<std::string>();
      device.verified = d.at("verified").get<bool>();
      devices[token] = std::move(device);
    }
    std::lock_guard lock(state_->mutex);
    state_->sessions = std::move(sessions);
    state_->latestOtp = std::move(latestOtp);
    state_->devices = std::move(devices);
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace velqo::localservice
