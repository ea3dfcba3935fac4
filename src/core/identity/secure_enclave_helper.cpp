#include "core/identity/secure_enclave_helper.hpp"

#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>

#include "platform/crypto.hpp"
#include "platform/files.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {

namespace {

namespace pc = platform::crypto;

constexpr std::size_t kSecretSize = 32;

// Our choice of file layout: "<sanitised bundle id>.devsecret.<SHA-256 hex of the user id>".
// Hashing the user id keeps user ids out of path components (no separators, no "..", no
// over-long names); the bundle-derived prefix is fixed once per process.
const std::string& fileNamePrefix() {
  static const std::string prefix = [] {
    std::string bundle;
    try {
      bundle = platform::mainBundle().identifier.value_or("");
    } catch (...) {
      bundle.clear();
    }
    if (bundle.empty()) bundle = "com.velqo.sdk";
    for (char& c : bundle) {
      const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_';
      if (!safe) c = '_';
    }
    return bundle + ".devsecret.";
  }();
  return prefix;
}

// One process-wide lock around the read-or-create step, so two first uses for the same user
// never end with two different secrets.
std::mutex& secretMutex() {
  static std::mutex m;
  return m;
}

// Directories this process has cleared of the temporaries a dead writer left (guarded by
// secretMutex()). Only a process that died mid-write leaves one, so each process clears a
// directory once, at its first creation there, rather than listing it at every creation.
std::set<std::filesystem::path>& sweptDirectories() {
  static std::set<std::filesystem::path> swept;
  return swept;
}

std::string describe(SecureEnclaveError::Case c) {
  using C = SecureEnclaveError::Case;
  switch (c) {
    case C::keyGenerationFailed:
      return "Failed to generate the device key.";
    case C::keyQueryFailed:
      return "Failed to query the device key.";
    case C::unhandledError:
      return "An unexpected device key error occurred.";
    case C::keyNotFound:
      return "The device key was not found.";
    case C::publicKeyRetrievalFailed:
      return "Failed to retrieve the public key of the device key.";
    case C::hashingFailed:
      return "Failed to hash the device key.";
    case C::secureEnclaveNotAvailable:
      return "The Secure Enclave is not available on this device.";
    case C::interactionNotAllowed:
      return "The device key cannot be used without user interaction.";
  }
  return "Unknown device key error.";
}

}  // namespace

SecureEnclaveError::SecureEnclaveError(Case errorCase, platform::OSStatus status, std::string description)
    : PlatformError("SecureEnclaveError", static_cast<long>(errorCase), std::move(description)),
      case_(errorCase),
      status_(status) {}

SecureEnclaveError SecureEnclaveError::keyGenerationFailed(platform::OSStatus status) {
  return SecureEnclaveError(Case::keyGenerationFailed, status,
                            describe(Case::keyGenerationFailed) + " (status " + std::to_string(status) + ")");
}
SecureEnclaveError SecureEnclaveError::keyQueryFailed(platform::OSStatus status) {
  return SecureEnclaveError(Case::keyQueryFailed, status,
                            describe(Case::keyQueryFailed) + " (status " + std::to_string(status) + ")");
}
SecureEnclaveError SecureEnclaveError::unhandledError(const std::string& text) {
  return SecureEnclaveError(Case::unhandledError, 0, describe(Case::unhandledError) + " " + text);
}
SecureEnclaveError SecureEnclaveError::keyNotFound() {
  return SecureEnclaveError(Case::keyNotFound, 0, describe(Case::keyNotFound));
}
SecureEnclaveError SecureEnclaveError::publicKeyRetrievalFailed() {
  return SecureEnclaveError(Case::publicKeyRetrievalFailed, 0, describe(Case::publicKeyRetrievalFailed));
}
SecureEnclaveError SecureEnclaveError::hashingFailed() {
  return SecureEnclaveError(Case::hashingFailed, 0, describe(Case::hashingFailed));
}
SecureEnclaveError SecureEnclaveError::secureEnclaveNotAvailable() {
  return SecureEnclaveError(Case::secureEnclaveNotAvailable, 0, describe(Case::secureEnclaveNotAvailable));
}
SecureEnclaveError SecureEnclaveError::interactionNotAllowed() {
  return SecureEnclaveError(Case::interactionNotAllowed, 0, describe(Case::interactionNotAllowed));
}

namespace {

// The hash of the stored secret; nothing when there is no file or it does not hold a secret
// of the right size. Throws when the file is there but cannot be looked up or read.
std::optional<std::string> storedSecretHash(const std::filesystem::path& path) {
  std::error_code ec;
  const bool exists = std::filesystem::exists(path, ec);
  if (ec) throw SecureEnclaveError::unhandledError("The device secret could not be looked up.");
  if (!exists) return std::nullopt;
  auto stored = platform::files::read(path);
  if (!stored) throw SecureEnclaveError::unhandledError("The device secret could not be read.");
  ScopedWipe wipeStored(*stored);
  if (stored->size() != kSecretSize) return std::nullopt;
  return pc::sha256Hex(pc::view(*stored));
}

}  // namespace

std::filesystem::path SecureEnclaveHelper::secretFilePath(const std::string& userId) {
  return platform::applicationSupportDirectory() / (fileNamePrefix() + pc::sha256Hex(pc::view(userId)));
}

std::string SecureEnclaveHelper::deviceSecretHash(const std::string& userId) {
  std::filesystem::path path;
  try {
    path = secretFilePath(userId);
  } catch (const std::exception& e) {
    throw SecureEnclaveError::unhandledError(
        std::string("The application support directory is unavailable: ") + e.what());
  }

  std::lock_guard lock(secretMutex());
  if (auto found = storedSecretHash(path)) return *found;

  // Creation is serialised with other processes sharing the directory, and the secret is
  // created exclusively: two first uses never end with two different secrets.
  const std::filesystem::path directory = path.parent_path();
  platform::files::LockFile directoryLock(directory / ".device-secret.lock");
  if (directoryLock.held()) {
    if (auto found = storedSecretHash(path)) return *found;  // another process was first
    // What a writer that died before its rename left behind holds a whole secret.
    if (!sweptDirectories().contains(directory)) {
      const std::string prefix = fileNamePrefix();
      platform::files::removeStaleTemporaries(
          directory, [&prefix](std::string_view target) { return target.starts_with(prefix); });
      sweptDirectories().insert(directory);
    }
  }

  Bytes secret(kSecretSize, 0);
  ScopedWipe wipeSecret(secret);
  const int status = pc::randomBytes(secret.data(), secret.size());
  if (status != 0) throw SecureEnclaveError::keyGenerationFailed(status);
  switch (platform::files::createExclusively(path, secret, 0600)) {
    case platform::files::CreateResult::created:
      return pc::sha256Hex(pc::view(secret));
    case platform::files::CreateResult::alreadyExists:
      // Either created meanwhile by a process that could not take the lock (its secret
      // counts) or a file that holds no secret.
      if (auto found = storedSecretHash(path)) return *found;
      // A secret of the wrong size cannot have been written by us (writes are atomic); a
      // fresh one replaces it, which makes this a new device for the service.
      debugLog("[SecureEnclaveHelper] Replacing a device secret of unexpected size.");
      if (platform::files::writeAtomically(path, secret, 0600)) return pc::sha256Hex(pc::view(secret));
      break;
    case platform::files::CreateResult::failed:
      break;
  }
  throw SecureEnclaveError::unhandledError("The device secret could not be stored.");
}

}  // namespace velqo
