#pragma once

// A throw-away private PKI for TLS tests: a CA and one server certificate signed by it,
// written as PEM files.

#include <filesystem>
#include <string>
#include <vector>

namespace velqo::testing {

struct TestPki {
  std::filesystem::path caFile;    ///< the CA certificate (trust this one)
  std::filesystem::path certFile;  ///< the server certificate
  std::filesystem::path keyFile;   ///< the server's private key
};

/// Creates a fresh P-256 CA and a server certificate for the given subject alternative
/// names ("IP:127.0.0.1", "DNS:localhost"), valid from an hour ago for a day, under `dir`.
/// Throws std::runtime_error when OpenSSL fails.
TestPki makeTestPki(const std::filesystem::path& dir,
                    const std::vector<std::string>& subjectAltNames = {"IP:127.0.0.1", "DNS:localhost"});

}  // namespace velqo::testing
