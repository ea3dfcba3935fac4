#include "velqo_localservice/v1_reference_flow.hpp"

#include <openssl/crypto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "platform/files.hpp"
#include "platform/identifier_text.hpp"

namespace velqo::localservice {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::system_clock;
namespace crypto = platform::crypto;

constexpr const char* kAlgorithm = "ECDH P-256+Ed25519";
constexpr int kCodeAttempts = 5;

std::string normalise(std::string_view identifier) {
  return platform::normalizedIdentifier(identifier);
}

std::string randomToken(std::size_t bytes) {
  return platform::base64UrlEncode(crypto::randomBytes(bytes));
}

std::string randomCode() {
  const Bytes raw = crypto::randomBytes(4);
  const std::uint32_t value = (std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) |
                              (std::uint32_t{raw[2]} << 8) | std::uint32_t{raw[3]};
  char text[8];
  std::snprintf(text, sizeof(text), "%06u", static_cast<unsigned>(value % 1000000U));
  return text;
}

// Compares without leaking through timing where the texts differ.
bool sameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool isEmail(const std::string& identifier) {
  const auto at = identifier.find('@');
  return at != std::string::npos && at > 0 && identifier.find('.', at) != std::string::npos;
}

bool isPhone(const std::string& identifier) {
  std::size_t digits = 0;
  for (char c : identifier) {
    if (c >= '0' && c <= '9')
      ++digits;
    else if (std::string_view("+-() .").find(c) == std::string_view::npos)
      return false;
  }
  return digits >= 7;
}

std::string masked(const std::string& identifier) {
  if (isEmail(identifier)) return identifier.substr(0, 1) + "***" + identifier.substr(identifier.find('@'));
  if (isPhone(identifier) && identifier.size() > 4) return "***" + identifier.substr(identifier.size() - 4);
  return identifier.substr(0, 1) + "***";
}

std::optional<std::string> text(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// The keyset as the device seals it: nonce (12), ciphertext, tag (16) under sk2; the
// plaintext is the 32-byte Ed25519 public key followed by the combined salt.
struct OpenedKeyset {
  Bytes publicKey;
  std::string combinedSalt;  ///< standard base64
};

std::optional<OpenedKeyset> openKeyset(const std::string& keyset, const std::string& sk2) {
  const auto sealed = platform::base64Decode(keyset);
  const auto key = platform::base64Decode(sk2);
  if (!sealed || !key || key->size() != 32 || sealed->size() < 12 + 32 + 16) return std::nullopt;
  const auto plain = crypto::aesGcmOpen(crypto::view(*key), crypto::ByteView(sealed->data(), 12),
                                        crypto::ByteView(sealed->data() + 12, sealed->size() - 28),
                                        crypto::ByteView(sealed->data() + sealed->size() - 16, 16));
  if (!plain || plain->size() <= 32) return std::nullopt;
  OpenedKeyset out;
  out.publicKey.assign(plain->begin(), plain->begin() + 32);
  out.combinedSalt = platform::base64Encode(Bytes(plain->begin() + 32, plain->end()));
  return out;
}

struct Device {
  std::string identifier;  ///< normalised
  std::string keyset;
  std::string sk2;
  // From the keyset, once opened: devices read from the state file are opened when first met.
  bool opened = false;
  Bytes publicKey;
  std::string combinedSalt;
};

struct Session {
  enum class Stage {
    chooseMethod,
    enterCode,
    awaitApproval,
    redirect,
    setupDevice,
    deviceChallenge,
    completed
  };

  std::string id;
  std::string configId;
  std::string identifier;  ///< normalised
  std::string flowType;
  std::optional<std::string> codeChallenge;
  Clock::time_point expiresAt;
  Stage stage = Stage::chooseMethod;
  // One-time code.
  std::string method;
  std::string code;
  Clock::time_point codeSentAt;
  int attemptsLeft = kCodeAttempts;
  // Redirect sign-in.
  std::string oauthCode;
  std::string oauthState;
  // Device trust.
  bool returning = false;
  std::string hindex;
  std::string keyset;
  std::string sk2;
  Bytes publicKey;
  std::string combinedSalt;
  std::string keyId;
  Bytes challenge;
};

}  // namespace

struct V1ReferenceFlow::State {
  V1ReferenceOptions options;
  std::shared_ptr<DeviceKeyRegistry> keys;
  LocalService* service = nullptr;
  // Owned here, not by the V1ReferenceFlow: an answer under way holds the state, and with it
  // the peers it uses, even while the flow object is being destroyed on another thread.
  std::unique_ptr<V1Peer> peer;
  std::unique_ptr<QrPeer> qr;
  std::unique_ptr<TokenEndpoint> tokens;

  mutable std::mutex mutex;
  std::map<std::string, std::string> users;  ///< normalised identifier -> user id
  std::map<std::string, Device> devices;     ///< hindex -> device
  std::map<std::string, Session> sessions;
  Clock::time_point nextPrune{};  // guarded by mutex
  std::size_t completed = 0;
  std::size_t returning = 0;

  // ---- persistence ----
  //
  // Several processes may serve from one state file (each velqo-cli run embeds a service):
  // every write happens under a lock on the file's directory and first merges what the
  // others wrote meanwhile, so no process drops the users and devices of another.

  std::filesystem::path stateDirectory() const {
    std::filesystem::path dir = options.stateFile->parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
  }

  // The state file's object; nothing when there is no file. Throws when it cannot be read.
  std::optional<Json> readStateFile() const {
    if (!std::filesystem::exists(*options.stateFile)) return std::nullopt;
    auto contents = platform::files::read(*options.stateFile);
    if (!contents) throw std::runtime_error("local service: unreadable state file");
    Json state = Json::parse(contents->begin(), contents->end(), nullptr, false);
    wipe(*contents);
    if (!state.is_object()) throw std::runtime_error("local service: unreadable state file");
    return state;
  }

  // Takes in what the file knows and this process does not. A user's id is the one written
  // first; a device is the same wherever it was registered.
  void merge(const Json& state) {
    if (auto it = state.find("users"); it != state.end() && it->is_object()) {
      for (const auto& [identifier, user] : it->items()) {
        if (auto userid = text(user, "userid")) users[identifier] = *userid;
      }
    }
    if (auto it = state.find("devices"); it != state.end() && it->is_object()) {
      for (const auto& [hindex, entry] : it->items()) {
        if (devices.contains(hindex)) continue;
        auto identifier = text(entry, "identifier");
        auto keyset = text(entry, "keyset");
        auto sk2 = text(entry, "sk2");
        if (!identifier || !keyset || !sk2) continue;
        keys->registerKeysetLazily(hindex, *keyset, *sk2);
        devices[hindex] = Device{*identifier, *keyset, *sk2, false, {}, {}};
      }
    }
  }

  // The device with its keyset opened; a device whose keyset no longer opens is forgotten
  // (end()). Caller holds the mutex.
  std::map<std::string, Device>::iterator opened(std::map<std::string, Device>::iterator device) {
    if (device == devices.end() || device->second.opened) return device;
    auto keyset = openKeyset(device->second.keyset, device->second.sk2);
    if (!keyset) {
      keys->remove(device->first);
      devices.erase(device);
      return devices.end();
    }
    device->second.opened = true;
    device->second.publicKey = std::move(keyset->publicKey);
    device->second.combinedSalt = std::move(keyset->combinedSalt);
    return device;
  }

  void openAll() {
    for (auto it = devices.begin(); it != devices.end();) (void)opened(it++);
  }

  void load() {
    if (!options.stateFile) return;
    if (auto state = readStateFile()) merge(*state);
  }

  // Merges the file's state, then replaces the file in one rename (a unique temporary name
  // per writer), so a crash never leaves half a state. Caller holds the mutex.
  void save() {
    if (!options.stateFile) return;
    const std::filesystem::path dir = stateDirectory();
    platform::files::LockFile lock(dir / ("." + options.stateFile->filename().string() + ".lock"));
    try {
      if (auto state = readStateFile()) merge(*state);
    } catch (const std::exception&) {
      // An unreadable file is replaced by what this process knows.
    }
    if (lock.held()) {
      const std::string name = options.stateFile->filename().string();
      platform::files::removeStaleTemporaries(dir,
                                              [&name](std::string_view target) { return target == name; });
    }
    Json state = Json::object();
    state["version"] = 1;
    Json userList = Json::object();
    for (const auto& [identifier, userid] : users) userList[identifier] = Json{{"userid", userid}};
    openAll();
    Json deviceList = Json::object();
    for (const auto& [hindex, device] : devices) {
      deviceList[hindex] =
          Json{{"identifier", device.identifier}, {"keyset", device.keyset}, {"sk2", device.sk2}};
    }
    state["users"] = std::move(userList);
    state["devices"] = std::move(deviceList);
    std::string body = state.dump(2);
    Bytes bytes(body.begin(), body.end());
    wipe(body);
    (void)platform::files::writeAtomically(*options.stateFile, bytes, 0600);
    wipe(bytes);
  }

  // ---- answers ----

  static std::string expiry(Clock::time_point at) { return platform::formatInternetDateTime(at); }

  Reply prompt(const Session& session, const Json& promptJson, int status = 200) const {
    return Reply::json(status, V1Peer::response(session.id, promptJson.dump(), randomToken(9), 2,
                                                expiry(session.expiresAt)));
  }

  static Reply error(const std::string& session, int status, const std::string& code,
                     const std::string& action, const std::string& message, bool retryable = false,
                     const Json& details = Json()) {
    return Reply::json(status, V1Peer::response(session,
                                                V1Peer::errorPrompt(code, action, message, retryable,
                                                                    details.is_null() ? "" : details.dump()),
                                                randomToken(9), 2, expiry(Clock::now())));
  }

  Json methodsFor(const Session& session) const {
    Json methods = Json::array();
    const bool email = isEmail(session.identifier);
    const bool phone = isPhone(session.identifier);
    if (email || !phone) methods.push_back(Json{{"id", "email_otp"}, {"label", "E-mail code"}});
    if (phone || !email) methods.push_back(Json{{"id", "sms_otp"}, {"label", "Text message code"}});
    methods.push_back(Json{{"id", "qr_approval"}, {"label", "Approve on a signed-in device"}});
    methods.push_back(Json{{"id", "oauth_redirect"}, {"label", "Sign in on the web"}});
    return methods;
  }

  Reply selectMethodPrompt(const Session& session) const {
    Json p = Json::object();
    p["type"] = "select_method";
    p["phase"] = "primary";
    p["methods"] = methodsFor(session);
    return prompt(session, p);
  }

  Reply enterCodePrompt(const Session& session) const {
    Json p = Json::object();
    p["type"] = "enter_code";
    p["destination"] = masked(session.identifier);
    p["channel"] = session.method == "sms_otp" ? "sms" : "email";
    p["codeLength"] = 6;
    p["codeFormat"] = "numeric";
    p["codeExpiresAt"] = expiry(session.codeSentAt + options.sessionLifetime);
    p["resendAt"] = expiry(session.codeSentAt + options.resendDelay);
    return prompt(session, p);
  }

  Reply setupDevicePrompt(const Session& session) const {
    Json p = Json::object();
    p["type"] = "setup_device";
    p["domain"] = session.configId;
    p["algorithm"] = kAlgorithm;
    p["version"] = "1";
    return prompt(session, p);
  }

  Reply challengePrompt(Session& session) const {
    session.stage = Session::Stage::deviceChallenge;
    session.challenge = crypto::randomBytes(32);
    session.keyId = randomToken(12);
    Json p = Json::object();
    p["type"] = "device_challenge";
    p["challenge"] = platform::base64Encode(session.challenge);
    p["challengeEncoding"] = "base64";
    p["keyId"] = session.keyId;
    p["algorithm"] = kAlgorithm;
    p["domain"] = session.configId;
    p["combinedsalt"] = session.combinedSalt;
    p["responseEncoding"] = "base64";
    return prompt(session, p);
  }

  Reply awaitApprovalPrompt(const Session& session, const std::string& qrData) const {
    Json p = Json::object();
    p["type"] = "await_approval";
    if (!qrData.empty()) p["qrData"] = qrData;
    p["expiresAt"] = expiry(session.expiresAt);
    p["pollInterval"] = options.pollInterval;
    return prompt(session, p);
  }

  // Makes a fresh code; the caller hands it to the callback after releasing the lock.
  void sendCode(Session& session) {
    session.code = randomCode();
    session.codeSentAt = Clock::now();
    session.attemptsLeft = kCodeAttempts;
    session.stage = Session::Stage::enterCode;
  }

  Reply serve(const V1Exchange& exchange) {
    Json envelope = Json::parse(exchange.request.body, nullptr, false);
    const std::string sessionId = envelope.is_object() ? text(envelope, "session").value_or("") : "";
    if (!envelope.is_object() || !envelope.contains("action") || !envelope["action"].is_object()) {
      return error(sessionId, 400, "invalid_request", "abort", "The body is not a V1 request");
    }
    const Json& action = envelope["action"];
    const std::string type = text(action, "type").value_or("");
    if (type == "qr_auth_approve") return qr->approvalAnswer()(exchange);
    if (type == "start") return start(action, exchange.request.header("X-Config-Id").value_or(""));

    Reply reply;
    std::optional<SentCode> sentCode;  // handed to the callbacks once the lock is released
    std::optional<std::string> callbackUrl;
    {
      std::lock_guard lock(mutex);
      auto it = sessions.find(sessionId);
      if (it == sessions.end() || Clock::now() >= it->second.expiresAt) {
        if (it != sessions.end()) sessions.erase(it);
        return error(sessionId, 404, "session_not_found", "restart_flow", "The sign-in session has ended");
      }
      Session& session = it->second;
      if (type == "cancel") {
        sessions.erase(it);
        return error(sessionId, 200, "cancelled", "abort", "The sign-in was cancelled");
      }
      StepEffects effects;
      reply = step(session, type, action, effects);
      if (effects.codeSent)
        sentCode = SentCode{session.id, session.identifier, masked(session.identifier), session.code};
      if (effects.redirected) callbackUrl = callbackUrlOf(session);
    }
    if (sentCode && options.onCodeSent) options.onCodeSent(*sentCode);
    if (callbackUrl && options.onRedirect) options.onRedirect(sessionId, *callbackUrl);
    return reply;
  }

  static std::string callbackUrlOf(const Session& session) {
    return "velqocli://callback?code=" + session.oauthCode + "&state=" + session.oauthState;
  }

  // The "sign-in page" of a redirect: tells where the browser would go next.
  Reply authorizePage(const RecordedRequest& request) const {
    std::string state;
    const std::string prefix = "state=";
    if (request.query.rfind(prefix, 0) == 0) state = request.query.substr(prefix.size());
    std::lock_guard lock(mutex);
    for (const auto& [id, session] : sessions) {
      if (session.stage == Session::Stage::redirect && !state.empty() && session.oauthState == state) {
        Reply reply;
        reply.contentType = "text/plain";
        reply.body = "Signed in. Return to the application with " + callbackUrlOf(session) + "\n";
        return reply;
      }
    }
    return Reply::json(404, R"({"detail":"no sign-in waits for this state"})");
  }

  Reply start(const Json& action, const std::string& configId) {
    const std::string identifier = normalise(text(action, "identifier").value_or(""));
    if (identifier.empty())
      return error("", 400, "invalid_identifier", "retry_input", "An identifier is required");
    Session session;
    session.id = randomToken(18);
    session.configId = configId;
    session.identifier = identifier;
    session.flowType = text(action, "flowType").value_or("signin");
    session.codeChallenge = text(action, "codeChallenge");
    if (session.codeChallenge && platform::trimWhitespace(*session.codeChallenge).empty())
      session.codeChallenge.reset();
    session.expiresAt = Clock::now() + options.sessionLifetime;

    std::lock_guard lock(mutex);
    // Sessions past their lifetime go when a new one starts, in one sweep a second at most:
    // with thousands of flows in progress a sweep per start would cost more than the flows.
    // (A session is checked for its expiry at every use anyway.)
    if (const auto now = Clock::now(); now >= nextPrune) {
      std::erase_if(sessions, [now](const auto& entry) { return now >= entry.second.expiresAt; });
      nextPrune = now + std::chrono::seconds(1);
    }
    if (!users.contains(identifier)) {
      users[identifier] = "usr_" + randomToken(12);
      save();
    }
    if (session.flowType == "signin" && action.contains("deviceCredentials") &&
        action["deviceCredentials"].is_object()) {
      const Json& credentials = action["deviceCredentials"];
      const std::string hindex = text(credentials, "hindex").value_or("");
      auto device = opened(devices.find(hindex));
      if (device != devices.end() && device->second.identifier == identifier &&
          text(credentials, "keyset") == device->second.keyset &&
          text(credentials, "sk2") == device->second.sk2) {
        session.returning = true;
        session.hindex = hindex;
        session.keyset = device->second.keyset;
        session.sk2 = device->second.sk2;
        session.publicKey = device->second.publicKey;
        session.combinedSalt = device->second.combinedSalt;
        auto& stored = sessions[session.id] = std::move(session);
        return challengePrompt(stored);
      }
      // Unknown or stale credentials: the device is set up again after the user is verified.
    }
    auto& stored = sessions[session.id] = std::move(session);
    return selectMethodPrompt(stored);
  }

  // What a step did besides answering; told to the callbacks once the lock is released.
  struct StepEffects {
    bool codeSent = false;
    bool redirected = false;
  };

  // One action of a session in progress, under the lock. An action that does not fit the
  // session's stage ends in "unexpected_action".
  Reply step(Session& session, const std::string& type, const Json& action, StepEffects& effects) {
    using Stage = Session::Stage;
    if (type == "select_method" && session.stage == Stage::chooseMethod)
      return selectMethod(session, text(action, "methodId").value_or(""), effects);
    if (type == "resend" && session.stage == Stage::enterCode) return resendCode(session, effects);
    if (type == "submit_code" && session.stage == Stage::enterCode)
      return submitCode(session, text(action, "code").value_or(""));
    if (type == "poll" && session.stage == Stage::awaitApproval) return pollApproval(session);
    if (type == "oauth_callback" && session.stage == Stage::redirect) return oauthCallback(session, action);
    if (type == "request_challenge" && session.stage == Stage::setupDevice)
      return requestChallenge(session, action);
    if (type == "submit_signature" && session.stage == Stage::deviceChallenge)
      return verifySignature(session, action);
    return error(session.id, 409, "unexpected_action", "restart_flow",
                 "The action '" + type + "' does not fit this step of the flow");
  }

  Reply selectMethod(Session& session, const std::string& method, StepEffects& effects) {
    if (method == "email_otp" || method == "sms_otp") {
      session.method = method;
      sendCode(session);
      effects.codeSent = true;
      return enterCodePrompt(session);
    }
    if (method == "qr_approval") {
      session.stage = Session::Stage::awaitApproval;
      const std::string nonce = randomToken(16);
      const std::string token = randomToken(16);
      qr->openAuthSession(session.id, nonce, token);
      Json payload = Json::object();
      payload["type"] = "qr_auth";
      payload["session_id"] = session.id;
      payload["nonce"] = nonce;
      payload["phone_action_token"] = token;
      return awaitApprovalPrompt(session, payload.dump());
    }
    if (method == "oauth_redirect") {
      session.stage = Session::Stage::redirect;
      session.oauthState = randomToken(16);
      session.oauthCode = randomToken(18);
      effects.redirected = true;
      Json p = Json::object();
      p["type"] = "redirect";
      p["url"] = service->baseUrl() + "/oauth/authorize?state=" + session.oauthState;
      p["returnScheme"] = "velqocli";
      return prompt(session, p);
    }
    return error(session.id, 400, "invalid_method", "select_method", "That sign-in method is not offered");
  }

  Reply resendCode(Session& session, StepEffects& effects) {
    if (Clock::now() < session.codeSentAt + options.resendDelay) {
      const auto wait = std::chrono::duration_cast<std::chrono::seconds>(session.codeSentAt +
                                                                         options.resendDelay - Clock::now());
      return error(session.id, 429, "rate_limited", "wait", "A new code can be sent shortly", true,
                   Json{{"retry_after_seconds", std::max<std::int64_t>(1, wait.count() + 1)}});
    }
    sendCode(session);
    effects.codeSent = true;
    return enterCodePrompt(session);
  }

  Reply submitCode(Session& session, const std::string& code) {
    if (Clock::now() >= session.codeSentAt + options.sessionLifetime) {
      return error(session.id, 400, "expired_code", "resend_code", "The code has expired");
    }
    const bool matches = !code.empty() && (sameText(code, session.code) ||
                                           (options.developmentCode && code == *options.developmentCode));
    if (!matches) {
      session.attemptsLeft -= 1;
      if (session.attemptsLeft <= 0) {
        session.code.clear();
        return error(session.id, 400, "too_many_attempts", "restart_flow", "Too many wrong codes", false);
      }
      return error(session.id, 400, "invalid_code", "retry_input", "The code is not valid", true,
                   Json{{"attemptsRemaining", session.attemptsLeft}});
    }
    session.code.clear();
    session.stage = Session::Stage::setupDevice;
    return setupDevicePrompt(session);
  }

  Reply pollApproval(Session& session) {
    for (const auto& decision : qr->decisions()) {
      if (decision.kind != QrPeer::Decision::Kind::approve || decision.sessionId != session.id) continue;
      auto device = opened(devices.find(decision.h2index));
      if (device == devices.end() || device->second.identifier != session.identifier) {
        return error(session.id, 403, "approval_rejected", "restart_flow",
                     "The approving device does not belong to this user");
      }
      session.stage = Session::Stage::setupDevice;
      return setupDevicePrompt(session);
    }
    return awaitApprovalPrompt(session, "");
  }

  Reply oauthCallback(Session& session, const Json& action) {
    const bool valid = sameText(text(action, "code").value_or(""), session.oauthCode) &&
                       sameText(text(action, "state").value_or(""), session.oauthState);
    if (!valid)
      return error(session.id, 400, "invalid_callback", "restart_flow", "The callback does not match");
    session.oauthCode.clear();
    session.stage = Session::Stage::setupDevice;
    return setupDevicePrompt(session);
  }

  Reply requestChallenge(Session& session, const Json& action) {
    session.hindex = text(action, "hindex").value_or("");
    session.keyset = text(action, "keyset").value_or("");
    session.sk2 = text(action, "sk2").value_or("");
    auto opened = openKeyset(session.keyset, session.sk2);
    if (session.hindex.empty() || !opened) {
      return error(session.id, 400, "decryption_failed", "restart_flow", "The keyset does not open with sk2");
    }
    session.publicKey = opened->publicKey;
    session.combinedSalt = opened->combinedSalt;
    return challengePrompt(session);
  }

  Reply verifySignature(Session& session, const Json& action) {
    const auto signature = platform::base64Decode(text(action, "signature").value_or(""));
    const auto mapp = platform::base64Decode(text(action, "mapp").value_or(""));
    Bytes expected = session.challenge;
    expected.insert(expected.end(), session.configId.begin(), session.configId.end());
    const bool valid = text(action, "keyId") == session.keyId && signature && signature->size() == 64 &&
                       mapp && *mapp == expected &&
                       crypto::ed25519Verify(crypto::view(session.publicKey), crypto::view(expected),
                                             crypto::view(*signature));
    if (!valid) {
      session.stage = Session::Stage::completed;
      return error(session.id, 401, "invalid_signature", "restart_flow",
                   "The device signature does not verify");
    }
    if (!session.returning) {
      devices[session.hindex] = Device{session.identifier, session.keyset,      session.sk2, true,
                                       session.publicKey,  session.combinedSalt};
      keys->registerPublicKey(session.hindex,
                              std::vector<std::uint8_t>(session.publicKey.begin(), session.publicKey.end()),
                              session.sk2);
      save();
    } else {
      ++returning;
    }
    ++completed;
    session.stage = Session::Stage::completed;

    const std::string authCode = randomToken(24);
    TokenGrant grant;
    grant.clientId = session.configId;
    grant.codeChallenge = session.codeChallenge;
    grant.subject = users[session.identifier];
    tokens->registerCode(authCode, grant);
    Json p = Json::object();
    p["type"] = "completed";
    p["authCode"] = authCode;
    p["expiresAt"] = expiry(Clock::now() + options.sessionLifetime);
    return prompt(session, p);
  }
};

V1ReferenceFlow::V1ReferenceFlow(LocalService& service, V1ReferenceOptions options) : service_(service) {
  state_ = std::make_shared<State>();
  state_->options = std::move(options);
  state_->keys = std::make_shared<DeviceKeyRegistry>();
  state_->load();
  state_->service = &service_;
  state_->peer = std::make_unique<V1Peer>(service_, state_->options.basePath);
  state_->qr = std::make_unique<QrPeer>(service_, state_->keys, state_->options.basePath);
  state_->tokens = std::make_unique<TokenEndpoint>(service_);
  std::weak_ptr<State> weak = state_;
  service_.route("GET", "/oauth/authorize", [weak](const RecordedRequest& request) {
    auto state = weak.lock();
    if (!state) return Reply::json(503, R"({"detail":"service stopping"})");
    return state->authorizePage(request);
  });
  state_->peer->setFallback([weak](const V1Exchange& exchange) {
    auto state = weak.lock();
    if (!state) return Reply::json(503, R"({"detail":"service stopping"})");
    return state->serve(exchange);
  });
}

V1ReferenceFlow::~V1ReferenceFlow() {
  service_.removeRoute("GET", "/oauth/authorize");
}

std::string V1ReferenceFlow::baseURL() const {
  return state_->peer->baseURL();
}

std::string V1ReferenceFlow::tokenEndpointURL() const {
  return state_->tokens->url();
}

V1Peer& V1ReferenceFlow::peer() noexcept {
  return *state_->peer;
}

QrPeer& V1ReferenceFlow::qr() noexcept {
  return *state_->qr;
}

TokenEndpoint& V1ReferenceFlow::tokens() noexcept {
  return *state_->tokens;
}

std::string V1ReferenceFlow::idTokenPublicKeyPem() const {
  return service_.publicKeyPem(Curve::p256);
}

std::size_t V1ReferenceFlow::registeredDeviceCount() const {
  std::lock_guard lock(state_->mutex);
  state_->openAll();
  return state_->devices.size();
}

std::size_t V1ReferenceFlow::completedFlowCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->completed;
}

std::size_t V1ReferenceFlow::returningDeviceCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->returning;
}

std::string V1ReferenceFlow::openQrLoginSession() {
  const std::string session = randomToken(18);
  const std::string nonce = randomToken(16);
  state_->qr->openBindSession(session, nonce);
  Json payload = Json::object();
  payload["type"] = "qr_login";
  payload["session_id"] = session;
  payload["nonce"] = nonce;
  return payload.dump();
}

}  // namespace velqo::localservice
