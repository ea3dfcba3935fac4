#include "account/v5/v5_credential_store.hpp"

#include <tuple>

#include "account/v5/v5_crypto.hpp"
#include "api/json_support.hpp"
#include "core/storage/keychain_record.hpp"
#include "platform/encoding.hpp"

namespace velqo {

namespace {

using Case = V5CredentialStoreError::Case;

const char* describe(Case c) {
  switch (c) {
    case Case::encodingFailed:
      return "The V5 credentials could not be encoded or stored.";
    case Case::decodingFailed:
      return "The stored V5 credentials could not be decoded.";
    case Case::secureEnclaveUnavailable:
      return "The hardware key store is unavailable.";
    case Case::corruptedSecrets:
      return "The stored V5 credentials are corrupted.";
    case Case::legacyPayloadDetected:
      return "The stored V5 credentials use a legacy format.";
  }
  return "Unknown V5 credential store error.";
}

constexpr const char* kTypeSecureEnclave = "secureEnclave";
constexpr const char* kTypeFallback = "fallback";

using P = V5StoredPayload;
constexpr auto payloadHead =
    std::make_tuple(json::field("salt0", &P::salt0), json::field("salt1", &P::salt1),
                    json::field("salt2", &P::salt2), json::field("combinedPrs", &P::combinedPrs),
                    json::field("combinedXPrs", &P::combinedXPrs), json::field("aPeer", &P::aPeer));
constexpr auto payloadMiddle =
    std::make_tuple(json::field("algorithmUsed", &P::algorithmUsed), json::field("osType", &P::osType),
                    json::field("userAgent", &P::userAgent), json::field("sdkVersion", &P::sdkVersion),
                    json::field("infoString", &P::infoString));

void appendFields(json::Value& out, json::Value&& part) {
  for (auto it = part.begin(); it != part.end(); ++it) out[it.key()] = std::move(it.value());
}

void wrapMetadataToJson(json::Value& out, const V5WrapMetadata& metadata) {
  out = json::Value::object();
  out["type"] = metadata.kind() == V5WrapMetadata::Kind::secureEnclave ? kTypeSecureEnclave : kTypeFallback;
  out["value"] = platform::base64Encode(metadata.value());
}

V5WrapMetadata wrapMetadataFromJson(const json::Value& in) {
  json::requireObject(in);
  const auto type = json::required<std::string>(in, "type");
  const auto text = json::required<std::string>(in, "value");
  if (type != kTypeSecureEnclave && type != kTypeFallback) {
    throw json::DecodeError(json::DecodeFailure::dataCorrupted, "unknown wrap metadata type")
        .underKey("type");
  }
  auto value = platform::base64Decode(text);
  if (!value)
    throw json::DecodeError(json::DecodeFailure::dataCorrupted, "Invalid base64 metadata").underKey("value");
  return type == kTypeSecureEnclave ? V5WrapMetadata::secureEnclave(std::move(*value))
                                    : V5WrapMetadata::fallback(std::move(*value));
}

// The bytes of a base64 field, or corruptedSecrets.
Bytes secretBytes(const std::string& text) {
  auto bytes = platform::base64Decode(text);
  if (!bytes) throw V5CredentialStoreError(Case::corruptedSecrets);
  return std::move(*bytes);
}

// A record written before the current format: a JSON object that is empty or lacks
// "combinedPrs" (a null value counts as present).
bool isLegacyObject(const json::Value& record) {
  return record.is_object() && (record.empty() || !record.contains("combinedPrs"));
}

}  // namespace

V5CredentialStoreError::V5CredentialStoreError(Case errorCase, std::string detail)
    : PlatformError("V5CredentialStoreError", static_cast<long>(errorCase),
                    detail.empty() ? describe(errorCase) : std::string(describe(errorCase)) + " " + detail),
      case_(errorCase) {}

void to_json(json::Value& out, const V5StoredPayload& payload) {
  json::encodeFields(out, payload, payloadHead);
  out["version"] = static_cast<unsigned>(payload.version);
  json::Value middle;
  json::encodeFields(middle, payload, payloadMiddle);
  appendFields(out, std::move(middle));
  wrapMetadataToJson(out["wrapMetadata"], payload.wrapMetadata);
  out["deviceToken"] = payload.deviceToken;
}

void from_json(const json::Value& in, V5StoredPayload& payload) {
  json::decodeFields(in, payload, payloadHead);
  const auto version = json::required<std::int64_t>(in, "version");
  if (version < 0 || version > 255) {
    throw json::DecodeError(json::DecodeFailure::dataCorrupted, "version out of range").underKey("version");
  }
  payload.version = static_cast<std::uint8_t>(version);
  json::decodeFields(in, payload, payloadMiddle);
  auto it = in.find("wrapMetadata");
  if (it == in.end())
    throw json::DecodeError(json::DecodeFailure::keyNotFound, "missing key").underKey("wrapMetadata");
  try {
    if (it->is_null()) throw json::DecodeError(json::DecodeFailure::valueNotFound, "value is null");
    payload.wrapMetadata = wrapMetadataFromJson(*it);
  } catch (json::DecodeError& e) {
    e.underKey("wrapMetadata");
    throw;
  }
  payload.deviceToken = json::required<std::string>(in, "deviceToken");
}

V5StoredPayload::~V5StoredPayload() {
  for (auto* text : {&salt0, &combinedPrs, &combinedXPrs}) {
    if (*text) wipe(**text);
  }
  wipe(salt1);
  wipe(salt2);
  wipe(aPeer);
}

V5KeyMaterial::~V5KeyMaterial() {
  wipe(salt0);
  wipe(salt1);
  wipe(salt2);
  wipe(combinedPrs);
  wipe(aPeer);
}

V5CredentialStore::V5CredentialStore(std::string serviceName)
    : serviceName_(std::move(serviceName)), wrapper_(serviceName_) {}

std::optional<V5KeyMaterial> V5CredentialStore::load(const std::string& userId) const {
  auto stored = KeychainRecord(serviceName_, userId).load();
  if (!stored) return std::nullopt;
  if (*stored && isLegacyObject(stored->value().document()))
    throw V5CredentialStoreError(Case::legacyPayloadDetected);
  auto decoded = *stored ? json::decodeValue<V5StoredPayload>(stored->value().document())
                         : Result<V5StoredPayload, platform::PlatformError>::failure(stored->error());
  if (!decoded) throw V5CredentialStoreError(Case::decodingFailed, decoded.error().localizedDescription());
  const V5StoredPayload& payload = decoded.value();

  if (!payload.infoString) throw V5CredentialStoreError(Case::legacyPayloadDetected);
  const std::optional<std::string>& sealedKey =
      payload.combinedPrs ? payload.combinedPrs : payload.combinedXPrs;
  if (!payload.salt0 || !sealedKey) throw V5CredentialStoreError(Case::corruptedSecrets);

  V5KeyMaterial material;
  material.salt0 = secretBytes(*payload.salt0);
  material.salt1 = secretBytes(payload.salt1);
  material.salt2 = secretBytes(payload.salt2);
  material.combinedPrs = secretBytes(*sealedKey);
  material.infoString = secretBytes(*payload.infoString);
  material.aPeer = secretBytes(payload.aPeer);
  material.version = payload.version;
  material.algorithmUsed = payload.algorithmUsed.value_or(std::string(V5Crypto::algorithm));
  material.environment = V5EnvironmentInfo::fromStored(payload.userAgent, payload.osType, payload.sdkVersion);
  material.wrapMetadata = payload.wrapMetadata;
  material.deviceToken = payload.deviceToken;
  return material;
}

void V5CredentialStore::save(const V5StoredPayload& payload, const std::string& userId) const {
  auto encoded = recordJson(payload, Slashes::escaped);
  if (!encoded) throw V5CredentialStoreError(Case::encodingFailed, encoded.error().localizedDescription());
  if (!KeychainRecord(serviceName_, userId).saveText(std::move(encoded).value()))
    throw V5CredentialStoreError(Case::encodingFailed);
}

void V5CredentialStore::remove(const std::string& userId) const {
  KeychainRecord(serviceName_, userId).remove();
}

}  // namespace velqo
