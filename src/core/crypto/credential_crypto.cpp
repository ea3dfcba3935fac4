#include "core/crypto/credential_crypto.hpp"

namespace velqo::detail {

namespace {

namespace pc = platform::crypto;

constexpr std::size_t kDerivedKeySize = 32;

}  // namespace

Bytes LabelledKeySchedule::derive(const Bytes& inputKeyMaterial, const Bytes& salt, std::string_view label) {
  return pc::hkdfSha256(pc::view(inputKeyMaterial), pc::view(salt), pc::view(label), kDerivedKeySize);
}

Bytes LabelledKeySchedule::sk1(const Bytes& sharedSecret, const Bytes& combinedPrs) const {
  return derive(sharedSecret, pc::sha256(pc::view(combinedPrs)), labels_.sk1);
}

std::string withGeneratorStatus(std::string_view description, std::int32_t status) {
  std::string text(description);
  text.append(" (status ").append(std::to_string(status)).append(")");
  return text;
}

}  // namespace velqo::detail
