// JSON form of the stored device credential record and its wrap metadata.

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/json/json_reader.hpp"
#include "core/storage/keychain_record.hpp"
#include "platform/encoding.hpp"
#include "v1/flows/crypto/device_crypto_record_factory.hpp"
#include "velqo/v1/flows/device_crypto_store.hpp"

namespace velqo {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

namespace key {
constexpr const char* recordVersion = "recordVersion";
constexpr const char* createdAt = "createdAt";
constexpr const char* userIdentifier = "userIdentifier";
constexpr const char* projectId = "projectId";
constexpr const char* algorithm = "algorithm";
constexpr const char* keyset = "keyset";
constexpr const char* hindex = "hindex";
constexpr const char* salt1 = "salt1";
constexpr const char* salt2 = "salt2";
constexpr const char* combinedsalt = "combinedsalt";
constexpr const char* combinedprs = "combinedprs";
constexpr const char* iv0 = "iv0";
constexpr const char* wrapMetadata = "wrapMetadata";
constexpr const char* type = "type";
constexpr const char* value = "value";
}  // namespace key

constexpr const char* kSecureEnclaveType = "secureEnclave";
constexpr const char* kFallbackType = "fallback";

// ---- encoding ----

OrderedJson metadataJson(const VelqoV1WrapMetadata& metadata) {
  OrderedJson object = OrderedJson::object();
  object[key::type] =
      metadata.kind() == VelqoV1WrapMetadata::Kind::secureEnclave ? kSecureEnclaveType : kFallbackType;
  object[key::value] = platform::base64Encode(metadata.value());
  return object;
}

// A double as a default encoder writes it: whole numbers without a fraction, others as the
// shortest decimal that reads back to the same value.
OrderedJson numberJson(double value) {
  if (!std::isfinite(value)) {
    throw VelqoV1JSONCodingError::invalidValue(
        "createdAt: a number that is not finite cannot be written as JSON");
  }
  constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53
  if (std::trunc(value) == value && std::fabs(value) < kExactIntegerLimit) {
    return static_cast<std::int64_t>(value);
  }
  return value;
}

// Compact text with "/" written as "\/", as a default encoder does. The document may hold a
// fallback secret (the metadata value): it is wiped once written.
std::string compactText(OrderedJson object) {
  auto text = compactJson(std::move(object), Slashes::escaped);
  if (!text) throw VelqoV1JSONCodingError::invalidValue("a text is not valid UTF-8");
  return std::move(text).value();
}

// ---- decoding ----

const char* typeName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "a number";
    default:
      return "an unknown value";
  }
}

Json parseObject(std::string_view text) {
  std::optional<Json> document = json::readJson(text);
  if (!document) throw VelqoV1JSONCodingError::dataCorrupted("The given data was not valid JSON.");
  Json parsed = std::move(*document);
  if (!parsed.is_object()) {
    throw VelqoV1JSONCodingError::typeMismatch(std::string("Expected an object but found ") +
                                               typeName(parsed) + " instead.");
  }
  return parsed;
}

// The value of a required key: missing keys and nulls fail.
const Json& required(const Json& object, const char* name, const std::string& path) {
  auto found = object.find(name);
  if (found == object.end()) throw VelqoV1JSONCodingError::keyNotFound(path + name);
  if (found->is_null()) {
    throw VelqoV1JSONCodingError::valueNotFound(path + name + ": expected a value but found null instead.");
  }
  return *found;
}

[[noreturn]] void throwTypeMismatch(const std::string& path, const char* name, const char* expected,
                                    const Json& found) {
  throw VelqoV1JSONCodingError::typeMismatch(path + name + ": expected " + expected + " but found " +
                                             typeName(found) + " instead.");
}

std::string requiredString(const Json& object, const char* name, const std::string& path = "") {
  const Json& value = required(object, name, path);
  if (!value.is_string()) throwTypeMismatch(path, name, "a string", value);
  return value.get<std::string>();
}

Bytes base64Field(const Json& value, const char* name, const std::string& path) {
  if (!value.is_string()) throwTypeMismatch(path, name, "a base64 string", value);
  auto decoded = platform::base64Decode(value.get_ref<const std::string&>());
  if (!decoded) {
    throw VelqoV1JSONCodingError::dataCorrupted(path + name + ": Encountered data is not valid base64.");
  }
  return std::move(*decoded);
}

Bytes requiredBytes(const Json& object, const char* name) {
  return base64Field(required(object, name, ""), name, "");
}

std::int64_t requiredInteger(const Json& object, const char* name) {
  const Json& value = required(object, name, "");
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(number);
    }
  } else if (value.is_number_float()) {
    // A number written with a fraction or exponent is read as an integer only when exact.
    const double number = value.get<double>();
    if (std::trunc(number) == number && number >= -9223372036854775808.0 && number < 9223372036854775808.0) {
      return static_cast<std::int64_t>(number);
    }
  } else {
    throwTypeMismatch("", name, "an integer", value);
  }
  throw VelqoV1JSONCodingError::dataCorrupted(std::string(name) +
                                              ": Parsed JSON number does not fit in an integer.");
}

double requiredDouble(const Json& object, const char* name) {
  const Json& value = required(object, name, "");
  if (!value.is_number()) throwTypeMismatch("", name, "a number", value);
  return value.get<double>();
}

VelqoV1WrapMetadata metadataFrom(const Json& object, const std::string& path) {
  const std::string type = requiredString(object, key::type, path);
  VelqoV1WrapMetadata::Kind kind;
  if (type == kSecureEnclaveType) {
    kind = VelqoV1WrapMetadata::Kind::secureEnclave;
  } else if (type == kFallbackType) {
    kind = VelqoV1WrapMetadata::Kind::fallback;
  } else {
    throw VelqoV1JSONCodingError::dataCorrupted(path + "type: Unknown wrap metadata type");
  }
  const Json& value = required(object, key::value, path);
  if (!value.is_string()) throwTypeMismatch(path, key::value, "a string", value);
  auto decoded = platform::base64Decode(value.get_ref<const std::string&>());
  if (!decoded) throw VelqoV1JSONCodingError::dataCorrupted("Invalid base64 metadata");
  return kind == VelqoV1WrapMetadata::Kind::secureEnclave
             ? VelqoV1WrapMetadata::secureEnclave(std::move(*decoded))
             : VelqoV1WrapMetadata::fallback(std::move(*decoded));
}

}  // namespace

// ---- VelqoV1WrapMetadata ----

VelqoV1WrapMetadata VelqoV1WrapMetadata::secureEnclave(Bytes ephemeralPublicKey) {
  return VelqoV1WrapMetadata(Kind::secureEnclave, std::move(ephemeralPublicKey));
}

VelqoV1WrapMetadata VelqoV1WrapMetadata::fallback(Bytes sharedSecret) {
  return VelqoV1WrapMetadata(Kind::fallback, std::move(sharedSecret));
}

VelqoV1WrapMetadata::VelqoV1WrapMetadata(VelqoV1WrapMetadata&& other) noexcept
    : kind_(other.kind_), value_(std::move(other.value_)) {
  other.value_.clear();
}

VelqoV1WrapMetadata& VelqoV1WrapMetadata::operator=(const VelqoV1WrapMetadata& other) {
  if (this != &other) {
    wipe(value_);
    kind_ = other.kind_;
    value_ = other.value_;
  }
  return *this;
}

VelqoV1WrapMetadata& VelqoV1WrapMetadata::operator=(VelqoV1WrapMetadata&& other) noexcept {
  if (this != &other) {
    wipe(value_);
    kind_ = other.kind_;
    value_ = std::move(other.value_);
    other.value_.clear();
  }
  return *this;
}

VelqoV1WrapMetadata::~VelqoV1WrapMetadata() {
  wipe(value_);
}

std::string encodeV1JSON(const VelqoV1WrapMetadata& metadata) {
  return compactText(metadataJson(metadata));
}

template <>
VelqoV1WrapMetadata decodeV1JSON<VelqoV1WrapMetadata>(std::string_view json) {
  Json parsed = parseObject(json);
  ScopedTextWipe wipeParsed(parsed);  // a fallback secret stands in the metadata value
  return metadataFrom(parsed, "");
}

// ---- VelqoV1DeviceCryptoRecord ----

VelqoV1DeviceCryptoRecord::VelqoV1DeviceCryptoRecord(std::int64_t recordVersion, double createdAt,
                                                     std::string userIdentifier, std::string projectId,
                                                     std::string algorithm, std::string keyset,
                                                     std::string hindex, Bytes salt1, Bytes salt2,
                                                     std::optional<Bytes> combinedsalt, Bytes combinedprs,
                                                     Bytes iv0, VelqoV1WrapMetadata wrapMetadata)
    : recordVersion_(recordVersion),
      createdAt_(createdAt),
      userIdentifier_(std::move(userIdentifier)),
      projectId_(std::move(projectId)),
      algorithm_(std::move(algorithm)),
      keyset_(std::move(keyset)),
      hindex_(std::move(hindex)),
      salt1_(std::move(salt1)),
      salt2_(std::move(salt2)),
      combinedsalt_(std::move(combinedsalt)),
      combinedprs_(std::move(combinedprs)),
      iv0_(std::move(iv0)),
      wrapMetadata_(std::move(wrapMetadata)) {}

std::string encodeV1JSON(const VelqoV1DeviceCryptoRecord& record) {
  OrderedJson object = OrderedJson::object();
  object[key::recordVersion] = record.recordVersion();
  object[key::createdAt] = numberJson(record.createdAt());
  object[key::userIdentifier] = record.userIdentifier();
  object[key::projectId] = record.projectId();
  object[key::algorithm] = record.algorithm();
  object[key::keyset] = record.keyset();
  object[key::hindex] = record.hindex();
  object[key::salt1] = platform::base64Encode(record.salt1());
  object[key::salt2] = platform::base64Encode(record.salt2());
  if (record.combinedsalt()) object[key::combinedsalt] = platform::base64Encode(*record.combinedsalt());
  object[key::combinedprs] = platform::base64Encode(record.combinedprs());
  object[key::iv0] = platform::base64Encode(record.iv0());
  object[key::wrapMetadata] = metadataJson(record.wrapMetadata());
  return compactText(std::move(object));
}

template <>
VelqoV1DeviceCryptoRecord decodeV1JSON<VelqoV1DeviceCryptoRecord>(std::string_view json) {
  Json parsed = parseObject(json);
  ScopedTextWipe wipeParsed(parsed);  // a fallback secret stands in the metadata value

  auto recordVersion = requiredInteger(parsed, key::recordVersion);
  auto createdAt = requiredDouble(parsed, key::createdAt);
  auto userIdentifier = requiredString(parsed, key::userIdentifier);
  auto projectId = requiredString(parsed, key::projectId);
  auto algorithm = requiredString(parsed, key::algorithm);
  auto keyset = requiredString(parsed, key::keyset);
  auto hindex = requiredString(parsed, key::hindex);
  auto salt1 = requiredBytes(parsed, key::salt1);
  auto salt2 = requiredBytes(parsed, key::salt2);
  std::optional<Bytes> combinedsalt;
  if (auto found = parsed.find(key::combinedsalt); found != parsed.end() && !found->is_null()) {
    combinedsalt = base64Field(*found, key::combinedsalt, "");
  }
  auto combinedprs = requiredBytes(parsed, key::combinedprs);
  auto iv0 = requiredBytes(parsed, key::iv0);
  const Json& metadataObject = required(parsed, key::wrapMetadata, "");
  if (!metadataObject.is_object()) throwTypeMismatch("", key::wrapMetadata, "an object", metadataObject);
  auto wrapMetadata = metadataFrom(metadataObject, std::string(key::wrapMetadata) + ".");

  return detail::VelqoV1DeviceCryptoRecordFactory::make(
      recordVersion, createdAt, std::move(userIdentifier), std::move(projectId), std::move(algorithm),
      std::move(keyset), std::move(hindex), std::move(salt1), std::move(salt2), std::move(combinedsalt),
      std::move(combinedprs), std::move(iv0), std::move(wrapMetadata));
}

}  // namespace velqo
