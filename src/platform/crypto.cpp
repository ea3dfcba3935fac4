#include "platform/crypto.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "platform/openssl_raii.hpp"

namespace velqo::platform::crypto {

namespace {

using detail::BignumPtr;
using detail::BioPtr;
using detail::EcdsaSigPtr;
using detail::EvpCipherCtxPtr;
using detail::EvpCipherPtr;
using detail::EvpKdfCtxPtr;
using detail::EvpKdfPtr;
using detail::EvpMdCtxPtr;
using detail::EvpMdPtr;
using detail::EvpPkeyPtr;

constexpr std::size_t kGcmKeySize = 32;
constexpr std::size_t kGcmNonceSize = gcmNonceSize;
constexpr std::size_t kGcmTagSize = gcmTagSize;
constexpr std::size_t kEd25519KeySize = 32;
constexpr std::size_t kEd25519SignatureSize = 64;
constexpr std::size_t kSha256Size = 32;

// OpenSSL takes int lengths in its update calls; longer inputs go in slices of this size.
constexpr std::size_t kMaxSlice = static_cast<std::size_t>(INT_MAX) & ~static_cast<std::size_t>(0xF);

// Algorithms are fetched once per process: a fetch walks the provider tables under a lock,
// while the fetched objects are immutable and safe to share between threads.
const EVP_MD* sha256Md() {
  static const EvpMdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md.get();
}

const EVP_CIPHER* aes256Gcm() {
  static const EvpCipherPtr cipher(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  return cipher.get();
}

EVP_KDF* hkdf() {
  static const EvpKdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  return kdf.get();
}

// OSSL_PARAM wants non-const pointers for octet strings it only reads.
void* mutableData(ByteView bytes) {
  return const_cast<void*>(static_cast<const void*>(bytes.data()));
}

// Errors a failed call leaves on this thread's OpenSSL error queue are dropped, so that they
// are not mistaken for the cause of a later, unrelated failure.
struct ErrorQueueGuard {
  ~ErrorQueueGuard() { ERR_clear_error(); }
};

// Feeds data through an update function in int-sized slices; `out` may be null (AAD).
template <class Update>
bool updateInSlices(Update update, EVP_CIPHER_CTX* ctx, std::uint8_t* out, ByteView input) {
  std::size_t offset = 0;
  while (offset < input.size()) {
    const std::size_t slice = std::min(kMaxSlice, input.size() - offset);
    int written = 0;
    if (update(ctx, out == nullptr ? nullptr : out + offset, &written, input.data() + offset,
               static_cast<int>(slice)) != 1) {
      return false;
    }
    if (out != nullptr && static_cast<std::size_t>(written) != slice) return false;
    offset += slice;
  }
  return true;
}

bool gcmSizesValid(ByteView key, ByteView nonce) {
  return key.size() == kGcmKeySize && nonce.size() == kGcmNonceSize;
}

EvpPkeyPtr ed25519PrivateKey(ByteView seed) {
  if (seed.size() != kEd25519KeySize) return nullptr;
  return EvpPkeyPtr(EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr, seed.data(), seed.size()));
}

struct CurveInfo {
  const char* groupName;
  const char* digestName;
  std::size_t scalarSize;
};

CurveInfo curveInfo(EcCurve curve) {
  switch (curve) {
    case EcCurve::p256:
      return {"prime256v1", "SHA256", 32};
    case EcCurve::p384:
      return {"secp384r1", "SHA384", 48};
    case EcCurve::p521:
      return {"secp521r1", "SHA512", 66};
  }
  return {"", "", 0};
}

// DER encoding of a raw r||s signature (each half big-endian, padded to the curve size).
std::optional<Bytes> derFromRawSignature(ByteView raw) {
  const std::size_t half = raw.size() / 2;
  BignumPtr r(BN_bin2bn(raw.data(), static_cast<int>(half), nullptr));
  BignumPtr s(BN_bin2bn(raw.data() + half, static_cast<int>(half), nullptr));
  EcdsaSigPtr sig(ECDSA_SIG_new());
  if (!r || !s || !sig) return std::nullopt;
  if (ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return std::nullopt;
  // The signature object owns both numbers now.
  (void)r.release();
  (void)s.release();
  const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (length <= 0) return std::nullopt;
  Bytes der(static_cast<std::size_t>(length));
  unsigned char* cursor = der.data();
  if (i2d_ECDSA_SIG(sig.get(), &cursor) != length) return std::nullopt;
  return der;
}

// An EC public key read from PEM, with its named curve.
struct EcPublicKey {
  EvpPkeyPtr key;
  std::string groupName;
};

// Reads a "PUBLIC KEY" PEM block holding an EC key on a named curve; null for anything else.
std::shared_ptr<const EcPublicKey> parseEcPublicKey(const std::string& pem) {
  if (pem.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  char* rawName = nullptr;
  char* rawHeader = nullptr;
  unsigned char* rawData = nullptr;
  long length = 0;
  const int read = PEM_read_bio(bio.get(), &rawName, &rawHeader, &rawData, &length);
  const detail::OpensslStringPtr name(rawName), header(rawHeader);
  const detail::OpensslStringPtr data(reinterpret_cast<char*>(rawData));
  if (read != 1 || std::strcmp(name.get(), PEM_STRING_PUBLIC) != 0 || length <= 0) return nullptr;

  // The DER body goes straight to the SubjectPublicKeyInfo reader, which costs a quarter of
  // the generic PEM key decoder; the whole body must be one structure.
  const unsigned char* cursor = rawData;
  auto parsed = std::make_shared<EcPublicKey>();
  parsed->key.reset(d2i_PUBKEY_ex(nullptr, &cursor, length, nullptr, nullptr));
  if (!parsed->key || cursor != rawData + length || EVP_PKEY_is_a(parsed->key.get(), "EC") != 1) {
    return nullptr;
  }
  char group[64] = {};
  std::size_t groupLength = 0;
  if (EVP_PKEY_get_utf8_string_param(parsed->key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group),
                                     &groupLength) != 1) {
    // Keys with explicit curve parameters carry no group name; we do not accept them.
    return nullptr;
  }
  parsed->groupName.assign(group, groupLength);
  return parsed;
}

// ID-token keys come from a small key set and are used again and again, while reading one
// from PEM costs more than the verification itself; read keys are kept by their PEM text.
// A parsed EVP_PKEY is immutable and may be used by several threads at once.
std::shared_ptr<const EcPublicKey> ecPublicKeyFromPem(const std::string& pem) {
  // OpenSSL registers its exit-time cleanup when first initialised. Initialising it before the
  // table exists makes the table (and its keys) go first at exit, while the providers that
  // the keys refer to are still there.
  static const bool opensslReady = OPENSSL_init_crypto(0, nullptr) == 1;
  static std::mutex mutex;
  static std::unordered_map<std::string, std::shared_ptr<const EcPublicKey>> cache;
  constexpr std::size_t kCacheLimit = 32;
  constexpr std::size_t kCachedTextLimit = 4096;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    if (const auto found = cache.find(pem); found != cache.end()) return found->second;
  }
  std::shared_ptr<const EcPublicKey> parsed = parseEcPublicKey(pem);
  if (!opensslReady) return parsed;
  // Text after the PEM block is ignored by the reader; oversized texts are not kept.
  if (!parsed || pem.size() > kCachedTextLimit) return parsed;
  const std::lock_guard<std::mutex> lock(mutex);
  if (cache.size() >= kCacheLimit) cache.clear();
  cache.emplace(pem, parsed);
  return parsed;
}

}  // namespace

int randomBytes(std::uint8_t* out, std::size_t count) noexcept {
  if (count == 0) return 0;
  if (out == nullptr) return randomFailureStatus;
  std::size_t offset = 0;
  while (offset < count) {
    const std::size_t slice = std::min(kMaxSlice, count - offset);
    if (RAND_bytes(out + offset, static_cast<int>(slice)) != 1) {
      ERR_clear_error();
      std::memset(out, 0, count);
      return randomFailureStatus;
    }
    offset += slice;
  }
  return 0;
}

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  if (randomBytes(out.data(), out.size()) != 0) {
    throw std::runtime_error("secure random generator failed");
  }
  return out;
}

Bytes sha256(ByteView data) {
  const EVP_MD* md = sha256Md();
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  Bytes digest(kSha256Size);
  unsigned int length = 0;
  bool ok = md != nullptr && ctx && EVP_DigestInit_ex2(ctx.get(), md, nullptr) == 1;
  for (std::size_t offset = 0; ok && offset < data.size();) {
    const std::size_t slice = std::min(kMaxSlice, data.size() - offset);
    ok = EVP_DigestUpdate(ctx.get(), data.data() + offset, slice) == 1;
    offset += slice;
  }
  ok = ok && EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) == 1 && length == kSha256Size;
  if (!ok) {
    ERR_clear_error();
    throw std::runtime_error("SHA-256 failed");
  }
  return digest;
}

std::string sha256Hex(ByteView data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const Bytes digest = sha256(data);
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

Bytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length) {
  if (length == 0) return {};
  if (length > 255 * kSha256Size) throw std::invalid_argument("HKDF-SHA256 output longer than 8160 bytes");
  ErrorQueueGuard clearErrors;
  EVP_KDF* kdf = hkdf();
  EvpKdfCtxPtr ctx(kdf == nullptr ? nullptr : EVP_KDF_CTX_new(kdf));
  if (!ctx) throw std::runtime_error("HKDF unavailable");

  char digestName[] = "SHA256";
  OSSL_PARAM params[5];
  std::size_t count = 0;
  params[count++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0);
  // OpenSSL insists on a key parameter; an empty one still means "no input key material".
  static std::uint8_t emptyKey = 0;
  params[count++] = OSSL_PARAM_construct_octet_string(
      OSSL_KDF_PARAM_KEY, inputKeyMaterial.empty() ? &emptyKey : mutableData(inputKeyMaterial),
      inputKeyMaterial.size());
  if (!salt.empty()) {
    params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableData(salt), salt.size());
  }
  if (!info.empty()) {
    params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutableData(info), info.size());
  }
  params[count] = OSSL_PARAM_construct_end();

  Bytes out(length);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    wipe(out);
    throw std::runtime_error("HKDF-SHA256 failed");
  }
  return out;
}

std::optional<GcmSealed> aesGcmSeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView aad) {
  if (!gcmSizesValid(key, nonce)) return std::nullopt;
  ErrorQueueGuard clearErrors;
  const EVP_CIPHER* cipher = aes256Gcm();
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (cipher == nullptr || !ctx) return std::nullopt;
  // The default GCM IV length is 12 bytes, which is what we were given.
  if (EVP_EncryptInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), nullptr) != 1) return std::nullopt;

  GcmSealed sealed;
  sealed.ciphertext.resize(plaintext.size());
  sealed.tag.resize(kGcmTagSize);
  int finalLength = 0;
  const bool ok = updateInSlices(EVP_EncryptUpdate, ctx.get(), nullptr, aad) &&
                  updateInSlices(EVP_EncryptUpdate, ctx.get(), sealed.ciphertext.data(), plaintext) &&
                  EVP_EncryptFinal_ex(ctx.get(), sealed.ciphertext.data() + sealed.ciphertext.size(),
                                      &finalLength) == 1 &&
                  finalLength == 0 &&
                  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kGcmTagSize),
                                      sealed.tag.data()) == 1;
  if (!ok) return std::nullopt;
  return sealed;
}

std::optional<Bytes> aesGcmOpen(ByteView key, ByteView nonce, ByteView ciphertext, ByteView tag,
                                ByteView aad) {
  // OpenSSL would accept a tag of 1 to 16 bytes and compare only that prefix: a truncated tag
  // must not authenticate anything.
  if (!gcmSizesValid(key, nonce) || tag.size() != kGcmTagSize) return std::nullopt;
  ErrorQueueGuard clearErrors;
  const EVP_CIPHER* cipher = aes256Gcm();
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (cipher == nullptr || !ctx) return std::nullopt;
  if (EVP_DecryptInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), nullptr) != 1) return std::nullopt;

  Bytes plaintext(ciphertext.size());
  int finalLength = 0;
  const bool ok = updateInSlices(EVP_DecryptUpdate, ctx.get(), nullptr, aad) &&
                  updateInSlices(EVP_DecryptUpdate, ctx.get(), plaintext.data(), ciphertext) &&
                  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kGcmTagSize),
                                      mutableData(tag)) == 1 &&
                  EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + plaintext.size(), &finalLength) == 1 &&
                  finalLength == 0;
  if (!ok) {
    // DecryptUpdate has already written unauthenticated plaintext: destroy it.
    wipe(plaintext);
    return std::nullopt;
  }
  return plaintext;
}

std::optional<Bytes> aesGcmSealCombined(ByteView key, ByteView nonce, ByteView plaintext, ByteView aad) {
  std::optional<GcmSealed> sealed = aesGcmSeal(key, nonce, plaintext, aad);
  if (!sealed) return std::nullopt;
  Bytes combined;
  combined.reserve(nonce.size() + sealed->ciphertext.size() + sealed->tag.size());
  combined.insert(combined.end(), nonce.begin(), nonce.end());
  combined.insert(combined.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  combined.insert(combined.end(), sealed->tag.begin(), sealed->tag.end());
  return combined;
}

std::optional<Bytes> aesGcmOpenCombined(ByteView key, ByteView combined, ByteView aad) {
  if (combined.size() < kGcmNonceSize + kGcmTagSize) return std::nullopt;
  return aesGcmOpen(key, combined.first(kGcmNonceSize),
                    combined.subspan(kGcmNonceSize, combined.size() - kGcmNonceSize - kGcmTagSize),
                    combined.last(kGcmTagSize), aad);
}

std::optional<Bytes> ed25519PublicKey(ByteView privateSeed) {
  ErrorQueueGuard clearErrors;
  const EvpPkeyPtr key = ed25519PrivateKey(privateSeed);
  if (!key) return std::nullopt;
  Bytes publicKey(kEd25519KeySize);
  std::size_t length = publicKey.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &length) != 1 || length != kEd25519KeySize) {
    return std::nullopt;
  }
  return publicKey;
}

std::optional<Bytes> ed25519Sign(ByteView privateSeed, ByteView message) {
  ErrorQueueGuard clearErrors;
  const EvpPkeyPtr key = ed25519PrivateKey(privateSeed);
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!key || !ctx) return std::nullopt;
  // Ed25519 hashes internally: no digest name, one-shot signing.
  if (EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr) != 1) {
    return std::nullopt;
  }
  Bytes signature(kEd25519SignatureSize);
  std::size_t length = signature.size();
  if (EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1 ||
      length != kEd25519SignatureSize) {
    return std::nullopt;
  }
  return signature;
}

bool ed25519Verify(ByteView publicKey, ByteView message, ByteView signature) {
  if (publicKey.size() != kEd25519KeySize || signature.size() != kEd25519SignatureSize) return false;
  ErrorQueueGuard clearErrors;
  const EvpPkeyPtr key(
      EVP_PKEY_new_raw_public_key_ex(nullptr, "ED25519", nullptr, publicKey.data(), publicKey.size()));
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!key || !ctx) return false;
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

EcdsaVerifyResult ecdsaVerifyRaw(const std::string& publicKeyPem, EcCurve curve, ByteView message,
                                 ByteView rawSignature) {
  ErrorQueueGuard clearErrors;
  const std::shared_ptr<const EcPublicKey> key = ecPublicKeyFromPem(publicKeyPem);
  if (!key) return EcdsaVerifyResult::badPublicKey;
  const CurveInfo info = curveInfo(curve);
  if (key->groupName != info.groupName) return EcdsaVerifyResult::curveMismatch;

  if (rawSignature.size() != 2 * info.scalarSize) return EcdsaVerifyResult::badSignatureLength;
  const std::optional<Bytes> der = derFromRawSignature(rawSignature);
  if (!der) return EcdsaVerifyResult::invalidSignature;

  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit_ex(ctx.get(), nullptr, info.digestName, nullptr, nullptr, key->key.get(),
                                      nullptr) != 1) {
    return EcdsaVerifyResult::invalidSignature;
  }
  // EVP_DigestVerify reports a malformed signature with -1 and a wrong one with 0.
  return EVP_DigestVerify(ctx.get(), der->data(), der->size(), message.data(), message.size()) == 1
             ? EcdsaVerifyResult::valid
             : EcdsaVerifyResult::invalidSignature;
}

}  // namespace velqo::platform::crypto
