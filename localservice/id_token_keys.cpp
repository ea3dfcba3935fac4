#include "id_token_keys.hpp"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "platform/encoding.hpp"
#include "platform/openssl_raii.hpp"

namespace velqo::localservice::detail {
namespace {

using platform::detail::BioPtr;
using platform::detail::EcdsaSigPtr;
using platform::detail::EvpMdCtxPtr;
using platform::detail::EvpPkeyPtr;

std::size_t index(Curve curve) {
  return static_cast<std::size_t>(curve);
}

const char* groupName(Curve curve) {
  switch (curve) {
    case Curve::p256:
      return "P-256";
    case Curve::p384:
      return "P-384";
    case Curve::p521:
      return "P-521";
  }
  return "P-256";
}

const EVP_MD* digest(Curve curve) {
  switch (curve) {
    case Curve::p256:
      return EVP_sha256();
    case Curve::p384:
      return EVP_sha384();
    case Curve::p521:
      return EVP_sha512();
  }
  return EVP_sha256();
}

// Bytes of r and of s in a JWT signature.
int scalarSize(Curve curve) {
  switch (curve) {
    case Curve::p256:
      return 32;
    case Curve::p384:
      return 48;
    case Curve::p521:
      return 66;
  }
  return 32;
}

std::string base64Url(std::string_view text) {
  return platform::base64UrlEncode(bytesOf(text));
}

}  // namespace

struct IdTokenKeys::Keys {
  std::mutex mutex;
  std::array<EvpPkeyPtr, 3> pairs;  // guarded by mutex; a key, once made, is never replaced
};

IdTokenKeys::IdTokenKeys() : keys_(std::make_unique<Keys>()) {}

EVP_PKEY* IdTokenKeys::pair(Curve curve) const {
  std::lock_guard lock(keys_->mutex);
  EvpPkeyPtr& slot = keys_->pairs[index(curve)];
  if (!slot) {
    slot.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", groupName(curve)));
    if (!slot) throw std::runtime_error("local service: EC key generation failed");
  }
  return slot.get();
}

IdTokenKeys::~IdTokenKeys() = default;

const char* IdTokenKeys::algorithm(Curve curve) {
  switch (curve) {
    case Curve::p256:
      return "ES256";
    case Curve::p384:
      return "ES384";
    case Curve::p521:
      return "ES512";
  }
  return "ES256";
}

std::string IdTokenKeys::publicKeyPem(Curve curve) const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), pair(curve)) != 1) {
    throw std::runtime_error("local service: cannot write public key");
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string IdTokenKeys::sign(Curve curve, std::string_view headerJson, std::string_view claimsJson) const {
  std::string signingInput = base64Url(headerJson) + "." + base64Url(claimsJson);

  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  std::size_t derLength = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, digest(curve), nullptr, pair(curve)) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &derLength,
                     reinterpret_cast<const unsigned char*>(signingInput.data()), signingInput.size()) != 1) {
    throw std::runtime_error("local service: signing failed");
  }
  Bytes der(derLength);
  if (EVP_DigestSign(ctx.get(), der.data(), &derLength,
                     reinterpret_cast<const unsigned char*>(signingInput.data()), signingInput.size()) != 1) {
    throw std::runtime_error("local service: signing failed");
  }
  const unsigned char* cursor = der.data();
  EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  if (!sig) throw std::runtime_error("local service: bad DER signature");
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  const int size = scalarSize(curve);
  Bytes raw(static_cast<std::size_t>(size) * 2);
  if (BN_bn2binpad(r, raw.data(), size) != size || BN_bn2binpad(s, raw.data() + size, size) != size) {
    throw std::runtime_error("local service: signature scalar too large");
  }
  return signingInput + "." + platform::base64UrlEncode(raw);
}

}  // namespace velqo::localservice::detail
