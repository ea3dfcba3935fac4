#pragma once

// Helpers for the device-trust tests: an isolated item store, captured diagnostic lines, and
// an independent "service side" that reads stored records and checks signatures with OpenSSL
// and the platform primitives only (never through the code under test).

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "velqo/core/debug_sink.hpp"
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
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size());
  if (key == nullptr) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

// Each test runs on a fresh in-memory item store with the hardware token available and a sink
// that keeps every diagnostic line.
class DeviceCryptoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    items = platform::InMemoryItemStore::create();
    platform::setItemStore(items);
    platform::keys::setHardwareKeyMode(platform::HardwareKeyMode::available);
    setDebugSink([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(linesMutex);
      lines.emplace_back(line);
    });
  }
  void TearDown() override {
    setDebugSink({});
    platform::keys::setHardwareKeyMode(platform::HardwareKeyMode::available);
    platform::setItemStore(nullptr);
  }

  bool loggedPrefix(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(linesMutex);
    for (const auto& l : lines) {
      if (l.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  static std::string account(const std::string& recordKey) { return "velqo.v1.device." + recordKey; }

  std::optional<std::string> rawItem(const std::string& service, const std::string& recordKey) {
    Bytes data;
    if (items->copyGenericPassword(service, account(recordKey), data) != 0) return std::nullopt;
    return textOf(data);
  }
  OrderedJson storedJson(const std::string& service, const std::string& recordKey) {
    auto raw = rawItem(service, recordKey);
    EXPECT_TRUE(raw.has_value());
    return OrderedJson::parse(raw.value_or("{}"));
  }
  void writeRaw(const std::string& service, const std::string& recordKey, const std::string& text) {
    items->deleteGenericPassword(service, account(recordKey));
    ASSERT_EQ(items->addGenericPassword(service, account(recordKey), bytesOf(text),
                                        platform::Accessibility::whenUnlockedThisDeviceOnly),
              0);
  }
  bool hasHardwareKey(const std::string& service, const std::string& recordKey) {
    platform::SecKeyRef key;
    return platform::keys::copyMatchingKey(bytesOf(service + ".v1.uak." + recordKey),
                                           platform::KeyType::ecPrimeRandom,
                                           platform::KeyToken::secureEnclave, key) == 0;
  }

  // The shared secret recomputed from a stored record: the fallback secret itself, or ECDH of
  // the stored hardware key with the stored ephemeral point.
  Bytes independentSecret(const OrderedJson& record, const std::string& service,
                          const std::string& recordKey) {
    Bytes value = unbase64(record["wrapMetadata"]["value"].get<std::string>());
    if (record["wrapMetadata"]["type"] == "fallback") return value;
    platform::SecKeyRef privateKey;
    EXPECT_EQ(platform::keys::copyMatchingKey(bytesOf(service + ".v1.uak." + recordKey),
                                              platform::KeyType::ecPrimeRandom,
                                              platform::KeyToken::secureEnclave, privateKey),
              0);
    auto peer = platform::keys::createPublicKeyWithData(value);
    EXPECT_TRUE(peer.ok());
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
    if (request == nullptr) return {};
    Bytes keyset = unbase64(request->keyset);
    Bytes sk2 = unbase64(request->sk2);
    EXPECT_GE(keyset.size(), 12u + 33u + 16u);
    if (keyset.size() < 12 + 33 + 16) return {};
    auto plain = crypto::aesGcmOpen(crypto::view(sk2), crypto::ByteView(keyset.data(), 12),
                                    crypto::ByteView(keyset.data() + 12, keyset.size() - 28),
                                    crypto::ByteView(keyset.data() + keyset.size() - 16, 16));
    EXPECT_TRUE(plain.has_value());
    if (!plain) return {};
    return {Bytes(plain->begin(), plain->begin() + 32), Bytes(plain->begin() + 32, plain->end())};
  }

  std::shared_ptr<platform::InMemoryItemStore> items;
  std::mutex linesMutex;
  std::vector<std::string> lines;
};

}  // namespace velqo::testing
