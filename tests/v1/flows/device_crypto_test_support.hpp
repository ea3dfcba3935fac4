#pragma once

// Device-trust test helpers; the "service side" checks records with OpenSSL, never the code under test.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "support/faulty_item_store.hpp"
#include "support/scoped_platform_settings.hpp"
#include "v1/flows/line_capture.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/device_crypto_service.hpp"

namespace velqo::testing {

namespace crypto = platform::crypto;
using OrderedJson = nlohmann::ordered_json;

inline Bytes unbase64(const std::string& text) {
  auto decoded = platform::base64Decode(text);
  EXPECT_TRUE(decoded.has_value()) << text;
  return decoded.value_or(Bytes{});
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes hkdf(const Bytes& secret, const Bytes& salt, const char* info) {
  return crypto::hkdfSha256(crypto::view(secret), crypto::view(salt), crypto::view(std::string_view(info)),
                            32);
}

// Ed25519 verification straight through OpenSSL.
inline bool ed25519Verifies(const Bytes& publicKey, const Bytes& message, const Bytes& signature) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()),
      EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

// AES-GCM box as the records hold it: 12-byte nonce, ciphertext, 16-byte tag.
inline std::optional<Bytes> openBox(const Bytes& key, const Bytes& box) {
  if (box.size() < 28) return std::nullopt;
  return crypto::aesGcmOpen(crypto::view(key), crypto::ByteView(box.data(), 12),
                            crypto::ByteView(box.data() + 12, box.size() - 28),
                            crypto::ByteView(box.data() + box.size() - 16, 16));
}

// Each test runs on a fresh in-memory item store with the hardware token available and a sink
// that keeps every diagnostic line. Records live under the item service kService.
class DeviceCryptoTest : public ::testing::Test {
 protected:
  inline static const std::string kService = "svc.test";

  void SetUp() override {
    settings.setItemStore(items);
    settings.setHardwareKeyMode(platform::HardwareKeyMode::available);
  }
  bool loggedPrefix(const std::string& prefix) const { return capture.has(prefix, true); }

  static std::string account(const std::string& recordKey) { return "velqo.v1.device." + recordKey; }
  std::optional<std::string> rawItem(const std::string& recordKey = "alice+p1") {
    Bytes data;
    if (items->copyGenericPassword(kService, account(recordKey), data) != 0) return std::nullopt;
    return textOf(data);
  }
  OrderedJson storedJson(const std::string& recordKey = "alice+p1") {
    return OrderedJson::parse(rawItem(recordKey).value_or("{}"));
  }
  void writeRaw(const std::string& text, const std::string& recordKey = "alice+p1") {
    items->deleteGenericPassword(kService, account(recordKey));
    ASSERT_EQ(items->addGenericPassword(kService, account(recordKey), bytesOf(text),
                                        platform::Accessibility::whenUnlockedThisDeviceOnly),
              0);
  }
  static bool hasHardwareKey(const std::string& recordKey, platform::SecKeyRef* out = nullptr) {
    platform::SecKeyRef key;
    return platform::keys::copyMatchingKey(bytesOf(kService + ".v1.uak." + recordKey),
                                           platform::KeyType::ecPrimeRandom,
                                           platform::KeyToken::secureEnclave, out ? *out : key) == 0;
  }

  // The shared secret recomputed from a stored record: the fallback secret itself, or ECDH of
  // the stored hardware key with the stored ephemeral point.
  static Bytes independentSecret(const OrderedJson& record, const std::string& recordKey) {
    Bytes value = unbase64(record["wrapMetadata"]["value"].get<std::string>());
    if (record["wrapMetadata"]["type"] == "fallback") return value;
    platform::SecKeyRef privateKey;
    EXPECT_TRUE(hasHardwareKey(recordKey, &privateKey));
    auto peer = platform::keys::createPublicKeyWithData(value);
    auto secret = platform::keys::copyKeyExchangeResult(
        privateKey, platform::KeyExchangeAlgorithm::ecdhStandardX963SHA256, peer.value(), 32);
    EXPECT_TRUE(secret.ok());
    return secret.ok() ? secret.value() : Bytes{};
  }

  // What the remote service learns from a request-challenge action: the Ed25519 public key and
  // the combined salt, found by opening the keyset with the sent sk2.
  struct ServiceView {
    Bytes publicKey;
    Bytes combinedSalt;
  };
  static ServiceView openKeyset(const VelqoV1Action& action) {
    const auto* request = action.as<VelqoV1Action::RequestChallenge>();
    EXPECT_NE(request, nullptr);
    auto plain = request ? openBox(unbase64(request->sk2), unbase64(request->keyset)) : std::nullopt;
    EXPECT_TRUE(plain && plain->size() > 32);
    if (!plain || plain->size() <= 32) return {};
    return {Bytes(plain->begin(), plain->begin() + 32), Bytes(plain->begin() + 32, plain->end())};
  }

  ScopedPlatformSettings settings;
  std::shared_ptr<FaultyItemStore> items = FaultyItemStore::create();
  LineCapture capture;
};

}  // namespace velqo::testing
