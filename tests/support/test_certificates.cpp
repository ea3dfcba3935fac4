#include "support/test_certificates.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace velqo::testing {
namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct CertDeleter {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};
struct BioDeleter {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using CertPtr = std::unique_ptr<X509, CertDeleter>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("makeTestPki: ") + what);
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  require(extension != nullptr, "extension");
  const int added = X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  require(added == 1, "add extension");
}

// A certificate for `key` named `commonName`, issued by `issuer` (itself when null).
CertPtr makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, long serial) {
  CertPtr cert(X509_new());
  require(cert != nullptr, "X509_new");
  require(X509_set_version(cert.get(), 2) == 1, "version");
  require(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1, "serial");
  require(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "notBefore");
  require(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) != nullptr, "notAfter");
  require(X509_set_pubkey(cert.get(), key) == 1, "pubkey");
  X509_NAME* name = X509_get_subject_name(cert.get());
  require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0) == 1,
          "subject");
  X509* signer = issuer != nullptr ? issuer : cert.get();
  require(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "issuer");
  return cert;
}

void writePem(const std::filesystem::path& path, X509* cert, EVP_PKEY* key) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new_file(path.c_str(), "w"));
  require(bio != nullptr, "open output file");
  if (cert != nullptr) require(PEM_write_bio_X509(bio.get(), cert) == 1, "write certificate");
  if (key != nullptr) {
    require(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
            "write key");
  }
}

}  // namespace

TestPki makeTestPki(const std::filesystem::path& dir, const std::vector<std::string>& subjectAltNames) {
  KeyPtr caKey(EVP_EC_gen("P-256"));
  KeyPtr serverKey(EVP_EC_gen("P-256"));
  require(caKey && serverKey, "key generation");

  CertPtr ca = makeCertificate(caKey.get(), "Velqo Test CA", nullptr, 1);
  addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  require(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "sign CA");

  CertPtr server = makeCertificate(serverKey.get(), "velqo test server", ca.get(), 2);
  std::string altNames;
  for (const auto& entry : subjectAltNames) altNames += (altNames.empty() ? "" : ",") + entry;
  addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  addExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  if (!altNames.empty()) addExtension(server.get(), ca.get(), NID_subject_alt_name, altNames);
  require(X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0, "sign server certificate");

  std::filesystem::create_directories(dir);
  TestPki pki{dir / "ca.pem", dir / "server.pem", dir / "server-key.pem"};
  writePem(pki.caFile, ca.get(), nullptr);
  writePem(pki.certFile, server.get(), nullptr);
  writePem(pki.keyFile, nullptr, serverKey.get());
  return pki;
}

}  // namespace velqo::testing
