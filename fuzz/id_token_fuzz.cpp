// Feeds arbitrary text to the ID-token verifier: it must either accept or throw its own error,
// never crash, hang or throw anything else. The key matches the seed tokens in corpus/id_token
// (made by tests/core/data/make_core_vectors.py).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velqo/core/oauth_token_verifier.hpp"

namespace {

constexpr const char* kES256PublicPem = R"PEM(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEn62Erq4Iu+9/AQAU2CzvagneKwz4
cbXODE8dE6WaWTQHy0V2nxBw4sJHD+Wxv+YxM8CwzcZOpL83kajsKgf9Tw==
-----END PUBLIC KEY-----
)PEM";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const velqo::OAuthTokenVerifier verifier{kES256PublicPem, "client-123"};
  const std::string_view token(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
  try {
    verifier.verify(token);
    // Accepted tokens are within the cap; anything else would be a verifier fault.
    if (token.size() > velqo::OAuthTokenVerifier::maxTokenLength) std::abort();
  } catch (const velqo::OAuthTokenVerifierError&) {
    // Refusals are the expected outcome for almost every input.
  }
  return 0;
}
