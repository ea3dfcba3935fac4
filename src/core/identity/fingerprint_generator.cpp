#include "core/identity/fingerprint_generator.hpp"

#include <nlohmann/json.hpp>

#include "core/identity/identity_json.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "platform/crypto.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

namespace {

namespace pc = platform::crypto;

// The name of a host without a bundle identifier, as the keychain service names it.
constexpr const char* kDefaultBundleIdentifier = "com.velqo.sdk";

platform::PlatformError fingerprintError(FingerprintGenerator::ErrorCode code, const char* description) {
  return platform::PlatformError(FingerprintGenerator::errorDomain, code, description);
}

// "17.2.1" -> "17.2"; "17" -> "17"; empty parts are kept ("17..2" -> "17.").
std::string firstTwoVersionParts(const std::string& version) {
  const auto first = version.find('.');
  if (first == std::string::npos) return version;
  const auto second = version.find('.', first + 1);
  return second == std::string::npos ? version : version.substr(0, second);
}

}  // namespace

SdabAttributes FingerprintGenerator::generateSdabAttributes() {
  // A host that sets no bundle identifier is the library's own application, as its item
  // store names it: without this, every V4, V5 and push fingerprint of such a host failed.
  const auto identifier = platform::mainBundle().identifier;
  SdabAttributes result;
  result.appBundleId = identifier && !identifier->empty() ? *identifier : kDefaultBundleIdentifier;
  result.cpuArch = "arm64";
  result.deviceModel = deviceModelIdentifier();
  result.osVersion = firstTwoVersionParts(platform::currentDevice().systemVersion);

  std::string serialised;
  try {
    nlohmann::ordered_json json = result.basicAttributes();
    serialised = json.dump();
  } catch (const nlohmann::json::exception&) {
    // Texts that are not UTF-8 cannot be serialised.
    throw fingerprintError(attributesNotSerializable, "Could not serialize SDAB attributes.");
  }
  result.sdabHash = pc::sha256Hex(pc::view(serialised));
  return result;
}

std::string FingerprintGenerator::generateFingerprint(const std::string& userId) {
  return generateFingerprint(userId, nullptr);
}

std::string FingerprintGenerator::generateFingerprint(const std::string& userId, const SdabAttributes* sdab) {
  if (userId.empty()) {
    throw fingerprintError(emptyUserId, "UserID cannot be empty for fingerprint generation.");
  }
  const auto vendor = platform::currentDevice().identifierForVendor;
  if (!vendor || vendor->empty()) {
    throw fingerprintError(vendorIdentifierUnavailable, "Could not retrieve identifierForVendor (OSDI).");
  }
  const std::string sdabHash = sdab ? sdab->sdabHash : generateSdabAttributes().sdabHash;
  std::string hka = SecureEnclaveHelper::deviceSecretHash(userId);
  std::string input = hka + "|" + *vendor + "|" + sdabHash + "|" + userId;
  std::string fingerprint = pc::sha256Hex(pc::view(input));
  wipe(input);
  wipe(hka);
  return fingerprint;
}

}  // namespace velqo
