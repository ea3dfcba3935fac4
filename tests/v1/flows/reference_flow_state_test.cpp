// The reference flow's state file: devices are read lazily, and one whose keyset no longer
// opens is forgotten rather than served.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "support/test_environment.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_reference_flow.hpp"

namespace velqo::testing {
namespace {

using Json = nlohmann::json;

TEST(ReferenceFlowState, DevicesReadFromTheStateFileWhoseKeysetsDoNotOpenAreForgotten) {
  const Bytes key(32, 7), nonce(12, 1), plain(40, 9);  // public key, then the salt
  const auto sealed = platform::crypto::aesGcmSeal(key, nonce, plain);
  ASSERT_TRUE(sealed);
  Bytes keyset = nonce;
  keyset.insert(keyset.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  keyset.insert(keyset.end(), sealed->tag.begin(), sealed->tag.end());
  const Json good = {{"identifier", "a@example.com"},
                     {"keyset", platform::base64Encode(keyset)},
                     {"sk2", platform::base64Encode(key)}};
  Json bad = good;
  bad["sk2"] = platform::base64Encode(Bytes(32, 8));
  const auto file = makeTempDirectory("reference-state") / "state.json";
  std::ofstream(file) << Json{{"version", 1}, {"devices", {{"good", good}, {"bad", bad}}}}.dump();
  localservice::LocalService service;
  localservice::V1ReferenceOptions options;
  options.stateFile = file;
  localservice::V1ReferenceFlow flow(service, options);
  EXPECT_EQ(flow.registeredDeviceCount(), 1u);
}

}  // namespace
}  // namespace velqo::testing
