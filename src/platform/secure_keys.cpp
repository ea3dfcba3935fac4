// Software P-256 keys standing in for hardware-held keys, kept as key items of the item
// store. Stored key data: the 32-byte private scalar followed by the 65-byte uncompressed
// public point. Checking that the pair belongs together costs a scalar multiplication, so a
// loaded key is kept once checked, under its tag and the digest of the data it came from:
// every lookup still reads the item store, and data that changed is loaded and checked anew.

#include "velqo/platform/secure_keys.hpp"

#include "platform/crypto.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velqo::platform {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
struct KdfFree {
  void operator()(EVP_KDF* p) const noexcept { EVP_KDF_free(p); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* p) const noexcept { EVP_KDF_CTX_free(p); }
};
struct BnClearFree {
  void operator()(BIGNUM* p) const noexcept { BN_clear_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using KdfPtr = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnClearFree>;

constexpr std::size_t kScalarSize = 32;
constexpr std::size_t kPointSize = 65;
constexpr std::size_t kStoredKeySize = kScalarSize + kPointSize;
constexpr std::size_t kDefaultExchangeSize = 32;
// Upper bound for a requested key-exchange output, so a caller's size cannot make us
// allocate without limit.
constexpr std::size_t kMaxExchangeSize = 1u << 20;

std::atomic<HardwareKeyMode>& modeSlot() {
  static std::atomic<HardwareKeyMode> mode{HardwareKeyMode::available};
  return mode;
}

// The status the hardware token reports in the current mode (success when available).
OSStatus hardwareStatus() {
  switch (modeSlot().load()) {
    case HardwareKeyMode::notAvailable:
      return status::notAvailable;
    case HardwareKeyMode::unimplemented:
      return status::unimplemented;
    case HardwareKeyMode::available:
      break;
  }
  return status::success;
}

class EcKey final : public SecKey {
 public:
  EcKey(PkeyPtr pkey, bool isPrivateKey) : pkey_(std::move(pkey)), private_(isPrivateKey) {}
  bool isPrivate() const noexcept override { return private_; }
  int sizeInBits() const noexcept override { return 256; }
  EVP_PKEY* pkey() const noexcept { return pkey_.get(); }

 private:
  PkeyPtr pkey_;
  bool private_;
};

const EcKey* ecKey(const SecKeyRef& key) {
  return dynamic_cast<const EcKey*>(key.get());
}

template <class T>
Result<T, PlatformError> fail(OSStatus s) {
  return Result<T, PlatformError>::failure(PlatformError::fromStatus(s));
}

// The 65-byte uncompressed point of a key.
std::optional<Bytes> encodedPoint(EVP_PKEY* pkey) {
  Bytes point(kPointSize);
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                      &length) != 1 ||
      length != kPointSize || point[0] != 0x04) {
    return std::nullopt;
  }
  return point;
}

PkeyPtr keyFromParams(OSSL_PARAM* params, int selection) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, selection, params) != 1) {
    return nullptr;
  }
  return PkeyPtr(raw);
}

// A public key of a 65-byte uncompressed point. With `validate`, the point is checked to lie
// on the curve and not to be the point at infinity. P-256 has cofactor 1, so every such
// point is of the group's prime order and the quick check is complete (the full check would
// multiply by the order to prove it again). This is the one place where outside points enter,
// so key agreement does not check them again.
PkeyPtr importPublicPoint(const std::uint8_t* point, bool validate) {
  if (point[0] != 0x04) return nullptr;  // compressed, hybrid and infinity forms are refused
  char group[] = SN_X9_62_prime256v1;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                         OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                                           const_cast<std::uint8_t*>(point), kPointSize),
                         OSSL_PARAM_construct_end()};
  PkeyPtr pkey = keyFromParams(params, EVP_PKEY_PUBLIC_KEY);
  if (!pkey || !validate) return pkey;
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  if (!check || EVP_PKEY_public_check_quick(check.get()) != 1) return nullptr;
  return pkey;
}

// Stored key data of a private key.
std::optional<Bytes> serialisePrivate(EVP_PKEY* pkey) {
  BIGNUM* rawScalar = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &rawScalar) != 1) return std::nullopt;
  BnPtr scalar(rawScalar);
  auto point = encodedPoint(pkey);
  if (!point) return std::nullopt;
  Bytes out(kStoredKeySize);
  if (BN_bn2binpad(scalar.get(), out.data(), static_cast<int>(kScalarSize)) !=
      static_cast<int>(kScalarSize)) {
    wipe(out);
    return std::nullopt;
  }
  std::copy(point->begin(), point->end(), out.begin() + kScalarSize);
  return out;
}

// The private key of stored key data, after checking that scalar and point belong together.
PkeyPtr importPrivate(const Bytes& data) {
  if (data.size() != kStoredKeySize || data[kScalarSize] != 0x04) return nullptr;
  // OpenSSL takes unsigned integers in native byte order.
  std::uint8_t scalar[kScalarSize];
  std::copy(data.begin(), data.begin() + kScalarSize, scalar);
  if constexpr (std::endian::native == std::endian::little) std::reverse(scalar, scalar + kScalarSize);
  char group[] = SN_X9_62_prime256v1;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, scalar, kScalarSize),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<std::uint8_t*>(data.data() + kScalarSize), kPointSize),
      OSSL_PARAM_construct_end()};
  PkeyPtr pkey = keyFromParams(params, EVP_PKEY_KEYPAIR);
  OPENSSL_cleanse(scalar, sizeof scalar);
  if (!pkey) return nullptr;
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  if (!check || EVP_PKEY_check(check.get()) != 1) return nullptr;
  return pkey;
}

// Keys loaded and checked, by tag, with the digest of their stored data. Bounded: when full it
// starts again empty (a dropped key is only loaded and checked once more).
class CheckedKeyCache {
 public:
  std::shared_ptr<const EcKey> find(const Bytes& tag, const std::string& digest) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(keyOf(tag));
    if (it == entries_.end() || it->second.digest != digest) return nullptr;
    return it->second.key;
  }
  void put(const Bytes& tag, std::string digest, std::shared_ptr<const EcKey> key) {
    std::lock_guard lock(mutex_);
    std::string name = keyOf(tag);
    if (entries_.size() >= kCapacity && !entries_.contains(name)) entries_.clear();
    entries_[std::move(name)] = Entry{std::move(digest), std::move(key)};
  }
  void forget(const Bytes& tag) {
    std::lock_guard lock(mutex_);
    entries_.erase(keyOf(tag));
  }

 private:
  static constexpr std::size_t kCapacity = 4096;
  struct Entry {
    std::string digest;
    std::shared_ptr<const EcKey> key;
  };
  static std::string keyOf(const Bytes& tag) { return std::string(tag.begin(), tag.end()); }
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

// The digest a checked key is kept under: of the stored data, the token and the type, so a key
// is never served for another lookup.
std::string storedKeyDigest(const Bytes& keyData, KeyToken token, KeyType keyType) {
  Bytes keyed = keyData;
  ScopedWipe keyedGuard(keyed);
  keyed.push_back(static_cast<std::uint8_t>(token));
  keyed.push_back(static_cast<std::uint8_t>(keyType));
  return crypto::sha256Hex(crypto::view(keyed));
}

CheckedKeyCache& checkedKeys() {
  static CheckedKeyCache cache;
  return cache;
}

// Public keys imported from points that passed the curve check, by point: a credential's
// stored point is imported once, not at every sign-in. The points are public; the keys are
// never changed after import, so one object may serve several threads. Bounded like the
// checked keys.
class ImportedPointCache {
 public:
  std::shared_ptr<const EcKey> find(const Bytes& point) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(keyOf(point));
    return it == entries_.end() ? nullptr : it->second;
  }
  void put(const Bytes& point, std::shared_ptr<const EcKey> key) {
    std::lock_guard lock(mutex_);
    std::string name = keyOf(point);
    if (entries_.size() >= kCapacity && !entries_.contains(name)) entries_.clear();
    entries_[std::move(name)] = std::move(key);
  }

 private:
  static constexpr std::size_t kCapacity = 4096;
  static std::string keyOf(const Bytes& point) { return std::string(point.begin(), point.end()); }
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const EcKey>> entries_;
};

ImportedPointCache& importedPoints() {
  static ImportedPointCache cache;
  return cache;
}

EVP_KDF* x963Kdf() {
  static const KdfPtr kdf(EVP_KDF_fetch(nullptr, "X963KDF", nullptr));
  return kdf.get();
}

}  // namespace

namespace keys {

Result<SecKeyRef, PlatformError> createRandomKey(const KeyAttributes& attributes) {
  if (attributes.keyType != KeyType::ecPrimeRandom || attributes.sizeInBits != 256) {
    return fail<SecKeyRef>(status::badParameter);
  }
  if (attributes.token == KeyToken::secureEnclave) {
    if (OSStatus s = hardwareStatus(); s != status::success) return fail<SecKeyRef>(s);
  }
  if (attributes.permanent && attributes.applicationTag.empty()) return fail<SecKeyRef>(status::badParameter);

  PkeyPtr pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!pkey) return fail<SecKeyRef>(status::badParameter);

  auto key = std::make_shared<const EcKey>(std::move(pkey), true);
  if (attributes.permanent) {
    auto data = serialisePrivate(key->pkey());
    if (!data) return fail<SecKeyRef>(status::badParameter);
    KeyItem item;
    item.applicationTag = attributes.applicationTag;
    item.keyType = attributes.keyType;
    item.sizeInBits = attributes.sizeInBits;
    item.token = attributes.token;
    item.permanent = true;
    item.accessibility = attributes.accessibility;
    item.keyData = std::move(*data);
    ScopedWipe guard(item.keyData);
    if (OSStatus s = itemStore()->addKey(item); s != status::success) return fail<SecKeyRef>(s);
    // A key made here needs no check when it is looked up again.
    checkedKeys().put(item.applicationTag, storedKeyDigest(item.keyData, item.token, item.keyType), key);
  }
  return Result<SecKeyRef, PlatformError>::success(std::move(key));
}

OSStatus copyMatchingKey(const Bytes& applicationTag, KeyType keyType, KeyToken token, SecKeyRef& out) {
  if (token == KeyToken::secureEnclave) {
    if (OSStatus s = hardwareStatus(); s != status::success) return s;
  }
  KeyItem item;
  ScopedWipe guard(item.keyData);
  if (OSStatus s = itemStore()->copyKey(applicationTag, keyType, token, item); s != status::success) return s;
  std::string digest = storedKeyDigest(item.keyData, token, keyType);
  if (auto cached = checkedKeys().find(applicationTag, digest)) {
    out = std::move(cached);
    return status::success;
  }
  PkeyPtr pkey = importPrivate(item.keyData);
  // A stored key that does not load is reported as a bad item, not as absent: it still
  // occupies its tag until it is deleted.
  if (!pkey) return status::badParameter;
  auto key = std::make_shared<const EcKey>(std::move(pkey), true);
  checkedKeys().put(applicationTag, std::move(digest), key);
  out = std::move(key);
  return status::success;
}

OSStatus deleteKey(const Bytes& applicationTag, KeyType keyType, KeyToken token) {
  checkedKeys().forget(applicationTag);
  return itemStore()->deleteKey(applicationTag, keyType, token);
}

SecKeyRef copyPublicKey(const SecKeyRef& key) {
  const EcKey* k = ecKey(key);
  if (!k) return nullptr;
  if (!k->isPrivate()) return key;
  auto point = encodedPoint(k->pkey());
  if (!point) return nullptr;
  // The point comes from a valid private key; no need to check it again.
  PkeyPtr pub = importPublicPoint(point->data(), false);
  if (!pub) return nullptr;
  return std::make_shared<EcKey>(std::move(pub), false);
}

Result<Bytes, PlatformError> copyExternalRepresentation(const SecKeyRef& key) {
  const EcKey* k = ecKey(key);
  if (!k || k->isPrivate()) return fail<Bytes>(status::badParameter);
  auto point = encodedPoint(k->pkey());
  if (!point) return fail<Bytes>(status::badParameter);
  return Result<Bytes, PlatformError>::success(std::move(*point));
}

Result<SecKeyRef, PlatformError> createPublicKeyWithData(const Bytes& x963Point) {
  if (x963Point.size() != kPointSize || x963Point[0] != 0x04) return fail<SecKeyRef>(status::badParameter);
  if (auto known = importedPoints().find(x963Point)) return Result<SecKeyRef, PlatformError>::success(known);
  PkeyPtr pkey = importPublicPoint(x963Point.data(), true);
  if (!pkey) return fail<SecKeyRef>(status::badParameter);
  auto key = std::make_shared<const EcKey>(std::move(pkey), false);
  importedPoints().put(x963Point, key);
  return Result<SecKeyRef, PlatformError>::success(std::move(key));
}

bool isAlgorithmSupported(const SecKeyRef& key, KeyExchangeAlgorithm algorithm) {
  return ecKey(key) != nullptr && (algorithm == KeyExchangeAlgorithm::ecdhStandardX963SHA256 ||
                                   algorithm == KeyExchangeAlgorithm::ecdhCofactorX963SHA256);
}

Result<Bytes, PlatformError> copyKeyExchangeResult(const SecKeyRef& privateKey,
                                                   KeyExchangeAlgorithm algorithm, const SecKeyRef& publicKey,
                                                   std::optional<std::size_t> requestedSize) {
  const EcKey* own = ecKey(privateKey);
  const EcKey* peer = ecKey(publicKey);
  std::size_t outputSize = requestedSize.value_or(kDefaultExchangeSize);
  if (!own || !own->isPrivate() || !peer || !isAlgorithmSupported(privateKey, algorithm) || outputSize == 0 ||
      outputSize > kMaxExchangeSize) {
    return fail<Bytes>(status::badParameter);
  }

  // ECDH. Peers were validated when they were imported or generated.
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own->pkey(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) return fail<Bytes>(status::badParameter);
  if (algorithm == KeyExchangeAlgorithm::ecdhCofactorX963SHA256 &&
      EVP_PKEY_CTX_set_ecdh_cofactor_mode(ctx.get(), 1) != 1) {
    return fail<Bytes>(status::badParameter);
  }
  std::size_t sharedSize = 0;
  if (EVP_PKEY_derive_set_peer_ex(ctx.get(), peer->pkey(), 0) != 1 ||
      EVP_PKEY_derive(ctx.get(), nullptr, &sharedSize) != 1 || sharedSize == 0) {
    return fail<Bytes>(status::badParameter);
  }
  Bytes shared(sharedSize);
  ScopedWipe sharedGuard(shared);
  if (EVP_PKEY_derive(ctx.get(), shared.data(), &sharedSize) != 1) return fail<Bytes>(status::badParameter);
  shared.resize(sharedSize);

  // ANSI X9.63 KDF with SHA-256 and no shared info.
  EVP_KDF* kdf = x963Kdf();
  KdfCtxPtr kctx(kdf ? EVP_KDF_CTX_new(kdf) : nullptr);
  if (!kctx) return fail<Bytes>(status::badParameter);
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, shared.data(), shared.size()),
                         OSSL_PARAM_construct_end()};
  Bytes out(outputSize);
  if (EVP_KDF_derive(kctx.get(), out.data(), out.size(), params) != 1) {
    wipe(out);
    return fail<Bytes>(status::badParameter);
  }
  return Result<Bytes, PlatformError>::success(std::move(out));
}

void setHardwareKeyMode(HardwareKeyMode mode) {
  modeSlot().store(mode);
}

HardwareKeyMode hardwareKeyMode() {
  return modeSlot().load();
}

}  // namespace keys
}  // namespace velqo::platform
