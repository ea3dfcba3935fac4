// The V4 device-proof routines against values computed independently by
// tests/account/data/make_v4_vectors.py (plain Python integers and the `cryptography` package).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "account/utils/velqo_framework_internal_utils.hpp"
#include "core/transport/json_codec.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo {
namespace {

using platform::BigInt;
using Utils = VelqoFrameworkInternalUtils;

const json::Value& vectors() {
  static const json::Value data = [] {
    std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "data" / "v4_proof_vectors.json");
    return json::Value::parse(in);
  }();
  return data;
}

BigInt big(const std::string& decimal) {
  return BigInt::fromDecimal(decimal).value();
}

TEST(DeviceProof, HashesAndKeyNormalisation) {
  for (const auto& [text, hex] : vectors().at("sha256Hex").items()) {
    EXPECT_EQ(Utils::sha256Hex(text), hex.get<std::string>()) << text;
    EXPECT_EQ(Utils::sha256BigUInt(text),
              BigInt::fromBigEndian(platform::hexDecode(hex.get<std::string>()).value()));
  }
  for (const auto& row : vectors().at("keys")) {
    EXPECT_EQ(platform::hexEncode(Utils::normalized32ByteKey(big(row.at("value")))),
              row.at("key").get<std::string>())
        << row.at("value");
  }
}

TEST(DeviceProof, PayloadsOpenOrFailWithTheirDescriptions) {
  for (const auto& row : vectors().at("payloads")) {
    auto plain = Utils::decryptAesGcmPayload(row.at("payload").get<std::string>(), big(row.at("key")));
    ASSERT_TRUE(plain.ok()) << plain.error().localizedDescription();
    EXPECT_EQ(plain.value(), row.at("plaintext").get<std::string>());
  }
  auto wrongKey = Utils::decryptAesGcmPayload(vectors().at("payloads").at(0).at("payload").get<std::string>(),
                                              BigInt(43));
  EXPECT_TRUE(!wrongKey.ok() && wrongKey.error().domain() == Utils::cipherErrorDomain);

  const auto& notUtf8 = vectors().at("notUtf8");
  const struct {
    std::string payload;
    std::string description;
  } rows[] = {
      {"not base64!", "Invalid Base-64 input."},
      {platform::base64Encode(Bytes(27, 1)), "GCM payload too short. Length: 27"},
      {"", "GCM payload too short. Length: 0"},
      {notUtf8.at("payload"), "UTF-8 decode failed."},
  };
  for (const auto& row : rows) {
    auto result = Utils::decryptAesGcmPayload(row.payload, BigInt(9));
    ASSERT_FALSE(result.ok()) << row.payload;
    EXPECT_EQ(result.error(), platform::PlatformError("AESErrorGCM", -1, row.description));
  }
}

TEST(DeviceProof, LcmAndL) {
  EXPECT_EQ(Utils::leastCommonMultiple(BigInt(4), BigInt(6)), BigInt(12));
  EXPECT_FALSE(Utils::leastCommonMultiple(BigInt(0), BigInt(6)));
  EXPECT_FALSE(Utils::leastCommonMultiple(BigInt(4), BigInt(-6)));
  for (long long n : {1LL, 7LL, -7LL, 1000003LL})
    EXPECT_TRUE(Utils::paillierL(BigInt(1), BigInt(n)).isZero());
  EXPECT_EQ(Utils::paillierL(BigInt(36), BigInt(5)), BigInt(7));
  EXPECT_EQ(Utils::paillierL(BigInt(-9), BigInt(3)), BigInt(-3));  // truncating
}

TEST(DeviceProof, RegenerateM2MatchesTheIndependentValues) {
  for (const auto& row : vectors().at("proofs")) {
    const std::string name = row.at("name");
    auto m2 = Utils::regenerateM2f(row.at("c2").get<std::string>(), row.at("m1").get<std::string>(),
                                   row.at("er1r2").get<std::string>(), row.at("e12").get<std::string>(),
                                   row.at("er3").get<std::string>());
    if (row.at("m2").is_null()) {
      EXPECT_FALSE(m2) << name;
    } else {
      EXPECT_EQ(m2, row.at("m2").get<std::string>()) << name;
      EXPECT_EQ(m2, row.at("message").get<std::string>()) << name;  // the service's secret comes back
    }
  }
}

TEST(DeviceProof, RegenerateM2RefusesBrokenInputs) {
  const auto& good = vectors().at("proofs").at(0);
  auto run = [&](const char* field, const std::string& value) {
    std::map<std::string, std::string> in;
    for (const char* key : {"c2", "m1", "er1r2", "e12", "er3"}) in[key] = good.at(key).get<std::string>();
    in[field] = value;
    return Utils::regenerateM2f(in["c2"], in["m1"], in["er1r2"], in["e12"], in["er3"]);
  };
  EXPECT_TRUE(run("m1", "+" + good.at("m1").get<std::string>()));  // an explicit sign reads
  for (const auto& [field, value] : std::vector<std::pair<const char*, std::string>>{
           {"c2", "12a"},
           {"c2", ""},
           {"m1", "+-5"},
           {"m1", "0x10"},
           {"er3", vectors().at("proofs").at(1).at("er3")},      // another device's er3
           {"e12", vectors().at("proofs").at(1).at("e12")},      // another device's e12
           {"er1r2", vectors().at("proofs").at(1).at("er1r2")},  // unlocks nothing here
           {"er3", "AAAA"},
           // the same numbers written past the size bound, which no honest service reaches
           {"c2", std::string(5000, '0') + good.at("c2").get<std::string>()},
           {"m1", "+" + std::string(5000, '0') + good.at("m1").get<std::string>()}}) {
    EXPECT_FALSE(run(field, value)) << field << "=" << value.substr(0, 40);
  }
}

// A payload as the service seals it: base64 of nonce, ciphertext and tag.
std::string seal(const std::string& plain, const BigInt& key) {
  const Bytes keyBytes = Utils::normalized32ByteKey(key);
  const Bytes nonce(Utils::GCM_IV_LEN, 7);
  auto sealed = platform::crypto::aesGcmSeal(platform::crypto::view(keyBytes), platform::crypto::view(nonce),
                                             platform::crypto::view(plain));
  Bytes out = nonce;
  out.insert(out.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  out.insert(out.end(), sealed->tag.begin(), sealed->tag.end());
  return platform::base64Encode(out);
}

TEST(DeviceProof, RegenerateM2RefusesAModulusPastTheBound) {
  // Well-formed payloads whose shares make an N of about 8400 bits; with N + 1 as M1 the proof
  // would go through (lambda is prime to N), and would spend seconds on the main queue.
  const BigInt p = BigInt::fromBigEndian(Bytes(526, 0xff)) - BigInt(2);
  const BigInt q = p - BigInt(2);
  const std::string m1 = (p * q + BigInt(1)).toDecimal();
  const BigInt r3(987654321);
  const std::string er1r2 = seal("7,9", r3);
  const std::string e12 = seal((p - BigInt(7)).toDecimal() + "," + (q - BigInt(9)).toDecimal(), r3);
  const std::string er3 = seal(r3.toDecimal(), Utils::sha256BigUInt(er1r2));
  EXPECT_FALSE(Utils::regenerateM2f("12345", m1, er1r2, e12, er3));
}

}  // namespace
}  // namespace velqo
