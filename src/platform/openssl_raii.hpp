#pragma once

// Owning handles for the OpenSSL and libcurl objects the platform layer uses (not installed).
// Each alias is a std::unique_ptr whose deleter calls the library's own free function, so a
// handle is released on every path, exceptions included. BIGNUMs are released with
// BN_clear_free because they may hold secrets.

#include <memory>

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace velqo::platform::detail {

/// A deleter that calls `Free` on a non-null pointer.
template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* pointer) const noexcept {
    if (pointer != nullptr) Free(pointer);
  }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<&EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, FreeWith<&EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, FreeWith<&EVP_MD_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, FreeWith<&EVP_MD_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, FreeWith<&EVP_CIPHER_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, FreeWith<&EVP_CIPHER_CTX_free>>;
using EvpKdfPtr = std::unique_ptr<EVP_KDF, FreeWith<&EVP_KDF_free>>;
using EvpKdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, FreeWith<&EVP_KDF_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<&BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, FreeWith<&BN_CTX_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, FreeWith<&ECDSA_SIG_free>>;
using BioPtr = std::unique_ptr<BIO, FreeWith<&BIO_free_all>>;
using CurluPtr = std::unique_ptr<CURLU, FreeWith<&curl_url_cleanup>>;

/// Memory that OpenSSL allocated (BN_bn2dec results, ...). OPENSSL_free is a macro, hence the
/// small function.
inline void opensslFree(char* pointer) noexcept {
  OPENSSL_free(pointer);
}
using OpensslStringPtr = std::unique_ptr<char, FreeWith<&opensslFree>>;

}  // namespace velqo::platform::detail
