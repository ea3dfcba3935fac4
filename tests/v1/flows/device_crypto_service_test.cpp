// The device-trust service, checked the way the remote service checks it.

#include <gtest/gtest.h>

#include "v1/flows/device_crypto_test_support.hpp"
#include "v1/protocol/test_data.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::testing {
namespace {

using platform::HardwareKeyMode;

const std::string kProject = "p1";

class DeviceCryptoServiceTest : public DeviceCryptoTest {
 protected:
  std::shared_ptr<VelqoV1DeviceCryptoStore> store = VelqoV1DeviceCryptoStore::create(kService);
  std::shared_ptr<VelqoV1DeviceCryptoService> service = VelqoV1DeviceCryptoService::create(kProject, store);

  VelqoV1Action setup(const std::string& user = "alice", const std::string& domain = "example.com") {
    return service->handleSetupDevice(domain, "ECDH P-256+Ed25519", "1", user);
  }
  // Answers a challenge as the service would pose it after `setup`.
  VelqoV1Action challenge(const VelqoV1Action& setupAction, const Bytes& challengeBytes,
                          const std::string& user = "alice", const std::string& domain = "example.com") {
    const ServiceView view = openKeyset(setupAction);
    return service->handleDeviceChallenge(platform::base64Encode(challengeBytes), "base64", "kid-1", "",
                                          domain, platform::base64Encode(view.combinedSalt), "base64", user);
  }
  static void expectError(const std::function<void()>& call, const std::string& code,
                          const std::string& message, bool clear, const char* name) {
    EXPECT_EQ(thrown<VelqoV1DeviceCryptoError>(call), VelqoV1DeviceCryptoError(code, message, clear)) << name;
  }
};

class DeviceCryptoServiceModeTest : public DeviceCryptoServiceTest,
                                    public ::testing::WithParamInterface<HardwareKeyMode> {};

TEST_P(DeviceCryptoServiceModeTest, SetupAndChallengeVerifyIndependently) {
  platform::keys::setHardwareKeyMode(GetParam());
  const VelqoV1Action action = service->handleSetupDevice("", "", "1", " Alice ");
  const auto& sent = *action.as<VelqoV1Action::RequestChallenge>();
  const OrderedJson record = storedJson();
  EXPECT_EQ(record["wrapMetadata"]["type"],
            GetParam() == HardwareKeyMode::available ? "secureEnclave" : "fallback");
  EXPECT_EQ(record["keyset"], sent.keyset);
  EXPECT_EQ(record["hindex"], sent.hindex);

  // Every stored value recomputed from the shared secret with the platform primitives alone.
  const Bytes secret = independentSecret(record, "alice+p1");
  const Bytes salt1 = unbase64(record["salt1"]), salt2 = unbase64(record["salt2"]);
  const Bytes combinedprs = unbase64(record["combinedprs"]), combinedsalt = unbase64(record["combinedsalt"]);
  const Bytes sk2 = hkdf(secret, salt1, "Symmetrickey2");
  EXPECT_EQ(platform::base64Encode(sk2), sent.sk2);
  const ServiceView view = openKeyset(action);
  EXPECT_EQ(view.combinedSalt, combinedsalt);

  const Bytes sk1 = hkdf(secret, crypto::sha256(crypto::view(combinedprs)), "Symmetrickey1");
  auto saltAndInfo = openBox(sk1, combinedsalt);
  ASSERT_TRUE(saltAndInfo.has_value());
  const std::string os = platform::currentDevice().systemName;
  EXPECT_EQ(textOf(Bytes(saltAndInfo->begin() + 32, saltAndInfo->end())),
            "com.velqo.tests" + os + "ECDH P-256+Ed25519v1");
  const Bytes sk0 = hkdf(secret, Bytes(saltAndInfo->begin(), saltAndInfo->begin() + 32), "Symmetrickey0");
  auto seed = crypto::aesGcmOpen(crypto::view(sk0), crypto::view(unbase64(record["iv0"])),
                                 crypto::ByteView(combinedprs.data(), 32),
                                 crypto::ByteView(combinedprs.data() + 32, 16));
  ASSERT_TRUE(seed.has_value());
  EXPECT_EQ(crypto::ed25519PublicKey(crypto::view(*seed)), view.publicKey);

  const Bytes peer =
      GetParam() == HardwareKeyMode::available ? unbase64(record["wrapMetadata"]["value"]) : secret;
  const Bytes dfp = crypto::sha256(
      crypto::view(concat({hkdf(secret, salt2, "HDS"), bytesOf("com.velqo.tests"), bytesOf(os)})));
  const Bytes hindex = crypto::sha256(crypto::view(
      concat({salt1, salt2, sk2, combinedprs, peer, secret, bytesOf("alice"), bytesOf(kProject), dfp})));
  EXPECT_EQ(platform::base64Encode(hindex), sent.hindex);

  EXPECT_EQ(service->deviceCredentials("ALICE"),
            (VelqoV1DeviceCredentials{sent.keyset, sent.hindex, sent.sk2}));

  // The challenge, signed over challenge || domain with the key from the keyset.
  const Bytes nonce = crypto::randomBytes(32);
  const VelqoV1Action answer = challenge(action, nonce, "alice", "example.com");
  const auto* signature = answer.as<VelqoV1Action::SubmitSignature>();
  ASSERT_NE(signature, nullptr);
  EXPECT_EQ(signature->keyId, "kid-1");
  const Bytes message = concat({nonce, bytesOf("example.com")});
  EXPECT_EQ(signature->mapp, platform::base64Encode(message));
  EXPECT_TRUE(ed25519Verifies(view.publicKey, message, unbase64(signature->signature)));

  // QR signing signs the message text unchanged with the same key.
  const VelqoV1QrSignaturePayload qr = service->signQrMessage("sess:nonce:approve", "alice");
  EXPECT_TRUE(ed25519Verifies(view.publicKey, bytesOf("sess:nonce:approve"), unbase64(qr.signature)));
  EXPECT_EQ(qr.h2index, sent.hindex);
  EXPECT_EQ(qr.sk2, sent.sk2);
  EXPECT_TRUE(rawItem().has_value());
}

INSTANTIATE_TEST_SUITE_P(HardwareAndFallback, DeviceCryptoServiceModeTest,
                         ::testing::Values(HardwareKeyMode::available, HardwareKeyMode::notAvailable));

TEST_F(DeviceCryptoServiceTest, SetupRefusals) {
  for (const char* accepted : {"", "ecdh p-256 + ed25519", "P256", "ed25519"}) {
    service->handleSetupDevice("d", accepted, "1", "alice");
    EXPECT_EQ(storedJson()["algorithm"], "ECDH P-256+Ed25519") << accepted;
  }
  service->clearRecord("alice");
  expectError([&] { service->handleSetupDevice("d", "rsa-2048", "1", "alice"); }, "unsupported_algorithm",
              "Unsupported crypto algorithm", false, "rsa");
  EXPECT_FALSE(rawItem().has_value());
  expectError([&] { service->handleSetupDevice("d", "", "1", " \n\t"); }, "invalid_identifier",
              "Invalid user identifier", false, "blank setup");
  expectError([&] { service->handleDeviceChallenge("AA==", "base64", "k", "", "", "AA==", "", " "); },
              "invalid_identifier", "Invalid user identifier", false, "blank challenge");
  expectError([&] { service->signQrMessage("m", ""); }, "invalid_identifier", "Invalid user identifier",
              false, "blank qr");

  platform::keys::setHardwareKeyMode(HardwareKeyMode::notAvailable);
  items->failNext(FaultyItemStore::Operation::add, platform::status::badParameter);
  expectError([&] { setup(); }, "internal_error", "Failed to setup device trust", false, "keychain add");
  EXPECT_TRUE(loggedPrefix("[V1DeviceCrypto] setup_device failed: The device credential record"));
  EXPECT_EQ(items->itemCount(), 0u) << "nothing stored, nothing deleted";
}

TEST_F(DeviceCryptoServiceTest, ChallengeFailuresFollowTheTable) {
  // The prompt's fields; `prepare` may also break the stored state first.
  struct Prompt {
    std::string challenge = "AAEC", encoding = "base64", algorithm, combinedsalt, responseEncoding,
                user = "alice";
  };
  auto flipStored = [this](const char* field) {
    OrderedJson record = storedJson();
    Bytes value = unbase64(record[field]);
    value[3] ^= 0x01;
    record[field] = platform::base64Encode(value);
    writeRaw(record.dump());
  };
  struct Row {
    const char* name;
    std::function<void(Prompt&)> prepare;
    std::string code, message;
    bool clear;
    bool deleted = clear;  // whether alice's credential is gone afterwards
  };
  const std::string failed = "Device challenge failed";
  const std::vector<Row> rows = {
      {"hex response encoding", [](Prompt& p) { p.responseEncoding = "hex"; }, "invalid_challenge",
       "Unsupported response encoding", false},
      {"no record", [](Prompt& p) { p.user = "bob"; }, "device_not_found", "Device record not found", true,
       false},
      {"undecodable record", [&](Prompt&) { writeRaw("{}"); }, "device_not_found", "Device record not found",
       true},
      {"other algorithm", [](Prompt& p) { p.algorithm = "rsa"; }, "info_string_mismatch",
       "Algorithm mismatch", true},
      {"salt not base64", [](Prompt& p) { p.combinedsalt = "AA =="; }, "invalid_challenge",
       "Invalid combinedsalt", true},
      {"odd hex challenge",
       [](Prompt& p) {
         p.challenge = "abc";
         p.encoding = "hex";
       },
       "invalid_challenge", failed, true},
      {"unknown encoding", [](Prompt& p) { p.encoding = "rot13"; }, "invalid_challenge", failed, true},
      {"tampered combinedprs", [&](Prompt&) { flipStored("combinedprs"); }, "decryption_failed", failed,
       true},
      {"tampered server salt",
       [](Prompt& p) {
         Bytes salt = unbase64(p.combinedsalt);
         salt[20] ^= 0x80;
         p.combinedsalt = platform::base64Encode(salt);
       },
       "decryption_failed", failed, true},
      {"hardware key gone",
       [](Prompt&) {
         platform::keys::deleteKey(bytesOf(kService + ".v1.uak.alice+p1"), platform::KeyType::ecPrimeRandom,
                                   platform::KeyToken::secureEnclave);
       },
       "decryption_failed", failed, true},
      {"hardware key replaced after the start's lookup",
       [&](Prompt&) {
         EXPECT_TRUE(service->deviceCredentials("alice").has_value());
         (void)items->deleteKey(bytesOf(kService + ".v1.uak.alice+p1"), platform::KeyType::ecPrimeRandom,
                                platform::KeyToken::secureEnclave);
       },
       "decryption_failed", failed, true},
      {"hardware switched off",
       [](Prompt&) { platform::keys::setHardwareKeyMode(HardwareKeyMode::notAvailable); },
       "invalid_signature", failed, true},
      {"sealed for another bundle",
       [](Prompt&) {
         platform::setMainBundle(platform::BundleInfo{"com.other.app", {}});
       },
       "info_string_mismatch", failed, true},
  };
  const platform::BundleInfo bundle = platform::mainBundle();
  for (const auto& row : rows) {
    platform::keys::setHardwareKeyMode(HardwareKeyMode::available);
    platform::setMainBundle(bundle);
    Prompt prompt;
    prompt.combinedsalt = platform::base64Encode(openKeyset(setup()).combinedSalt);
    row.prepare(prompt);
    expectError(
        [&] {
          service->handleDeviceChallenge(prompt.challenge, prompt.encoding, "k", prompt.algorithm, "",
                                         prompt.combinedsalt, prompt.responseEncoding, prompt.user);
        },
        row.code, row.message, row.clear, row.name);
    platform::setMainBundle(bundle);
    EXPECT_EQ(rawItem().has_value(), !row.deleted) << row.name;
    EXPECT_EQ(service->deviceCredentials("alice").has_value(), !row.deleted) << row.name;
  }
  EXPECT_TRUE(loggedPrefix("[V1DeviceCrypto] device_challenge failed: "));
}

TEST_F(DeviceCryptoServiceTest, ChallengeEncodingsAndMapp) {
  const VelqoV1Action action = setup("alice", "d");
  const Bytes combinedSalt = openKeyset(action).combinedSalt;
  const VelqoV1Action answer =
      service->handleDeviceChallenge("AAEC", "BASE64", "k", "ECDH P-256+Ed25519", "d",
                                     platform::base64Encode(combinedSalt), "BASE64", "alice");
  EXPECT_EQ(answer.as<VelqoV1Action::SubmitSignature>()->mapp, "AAECZA==");
  const VelqoV1Action hex = service->handleDeviceChallenge("0001FF", "Hex", "k", "p-256", "",
                                                           platform::base64Encode(combinedSalt), "", "alice");
  EXPECT_EQ(hex.as<VelqoV1Action::SubmitSignature>()->mapp,
            platform::base64Encode(concat({{0, 1, 0xff}, bytesOf(kProject)})));
}

TEST_F(DeviceCryptoServiceTest, QrSigningWithoutStoredCombinedSaltAndItsFailures) {
  const VelqoV1Action action = setup();
  const ServiceView view = openKeyset(action);
  OrderedJson record = storedJson();
  record.erase("combinedsalt");
  writeRaw(record.dump());
  const VelqoV1QrSignaturePayload qr = service->signQrMessage("s:n:alice:bind", "Alice");
  EXPECT_TRUE(ed25519Verifies(view.publicKey, bytesOf("s:n:alice:bind"), unbase64(qr.signature)));
  EXPECT_EQ(qr.h2index, record["hindex"]);

  // A tampered keyset can no longer give the combined salt: the credential is dropped.
  Bytes keyset = unbase64(record["keyset"]);
  keyset[keyset.size() - 1] ^= 0x01;
  record["keyset"] = platform::base64Encode(keyset);
  writeRaw(record.dump());
  expectError([&] { service->signQrMessage("m", "alice"); }, "decryption_failed", "QR signing failed", true,
              "tampered keyset");
  EXPECT_FALSE(rawItem().has_value());
  expectError([&] { service->signQrMessage("m", "alice"); }, "device_not_found", "Device record not found",
              true, "after deletion");
}

TEST_F(DeviceCryptoServiceTest, CallbacksHoldTheServiceWeakly) {
  setup();
  auto provider = VelqoV1DeviceCryptoService::makeDeviceCredentialsProvider(service);
  auto invalidator = VelqoV1DeviceCryptoService::makeDeviceCredentialsInvalidator(service);
  EXPECT_EQ(provider(" ALICE"), service->deviceCredentials("alice"));
  EXPECT_TRUE(provider("alice").has_value());

  service.reset();
  EXPECT_EQ(provider("alice"), std::nullopt);
  invalidator("alice");
  EXPECT_TRUE(rawItem().has_value());

  auto again = VelqoV1DeviceCryptoService::create(kProject, store);
  VelqoV1DeviceCryptoService::makeDeviceCredentialsInvalidator(again)("alice");
  EXPECT_FALSE(rawItem().has_value());
  EXPECT_FALSE(hasHardwareKey("alice+p1"));
}

}  // namespace
}  // namespace velqo::testing
