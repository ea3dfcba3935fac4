#include "velqo/platform/bytes.hpp"

#include <openssl/crypto.h>

namespace velqo {

void wipe(Bytes& bytes) noexcept {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
}

void wipe(std::string& text) noexcept {
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

}  // namespace velqo
