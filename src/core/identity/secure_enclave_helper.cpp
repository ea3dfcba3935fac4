#include "core/identity/secure_enclave_helper.hpp"

#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/crypto.hpp"
#include "platform/files.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/queue.hpp"

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

// New secrets not yet in their files, by path; guarded by secretMutex(). `scheduled`: a write is
// queued, so a later call need not queue another.
struct PendingSecret {
  Bytes secret;
  bool scheduled = false;
};

std::map<std::filesystem::path, PendingSecret>& pendingSecrets() {
  static std::map<std::filesystem::path, PendingSecret> pending;
  return pending;
}

void forgetPendingLocked(std::map<std::filesystem::path, PendingSecret>::iterator it) {
  wipe(it->second.secret);
  pendingSecrets().erase(it);
}

// Writes one pending secret, with secretMutex() held. On failure it stays pending (the process
// goes on with it) and the next deviceSecretHash call queues the write again.
void writePendingLocked(const std::filesystem::path& path) {
  auto it = pendingSecrets().find(path);
  if (it == pendingSecrets().end()) return;
  if (!platform::files::writeAtomically(path, it->second.secret, 0600)) {
    it->second.scheduled = false;
    debugLog("[SecureEnclaveHelper] The device secret could not be stored; trying again at its next use.");
    return;
  }
  forgetPendingLocked(it);
}

void writeAllPendingLocked() {
  std::vector<std::filesystem::path> paths;
  for (const auto& [path, pending] : pendingSecrets()) paths.push_back(path);
  for (const auto& path : paths) writePendingLocked(path);
}

// At exit: the last chance to write; whatever still fails is wiped with the process.
void writeAllPendingAtExit() noexcept {
  try {
    std::lock_guard lock(secretMutex());
    writeAllPendingLocked();
    while (!pendingSecrets().empty()) forgetPendingLocked(pendingSecrets().begin());
  } catch (...) {
    // Exiting: nothing left to report to.
  }
}

// Queues the write of a pending secret on the utility pool; secretMutex() held.
void scheduleWriteLocked(const std::filesystem::path& path, PendingSecret& pending) {
  static const bool registered = [] {
    std::atexit(writeAllPendingAtExit);
    return true;
  }();
  (void)registered;
  pending.scheduled = true;
  platform::globalQueue(platform::QualityOfService::defaultQoS)->async([path] {
    std::lock_guard lock(secretMutex());
    writePendingLocked(path);
  });
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
  if (auto it = pendingSecrets().find(path); it != pendingSecrets().end()) {
    if (!it->second.scheduled) scheduleWriteLocked(path, it->second);
    return pc::sha256Hex(pc::view(it->second.secret));
  }
  std::error_code ec;
  const bool exists = std::filesystem::exists(path, ec);
  if (ec) throw SecureEnclaveError::unhandledError("The device secret could not be looked up.");
  if (exists) {
    auto stored = platform::files::read(path);
    if (!stored) throw SecureEnclaveError::unhandledError("The device secret could not be read.");
    ScopedWipe wipeStored(*stored);
    if (stored->size() == kSecretSize) return pc::sha256Hex(pc::view(*stored));
    // A secret of the wrong size cannot have been written by us (writes are atomic); a fresh
    // one replaces it, which makes this a new device for the service.
    debugLog("[SecureEnclaveHelper] Replacing a device secret of unexpected size.");
  }

  Bytes secret(kSecretSize, 0);
  ScopedWipe wipeSecret(secret);
  const int status = pc::randomBytes(secret.data(), secret.size());
  if (status != 0) throw SecureEnclaveError::keyGenerationFailed(status);
  PendingSecret& pending = pendingSecrets()[path];
  pending.secret = secret;
  scheduleWriteLocked(path, pending);
  return pc::sha256Hex(pc::view(secret));
}

void SecureEnclaveHelper::finishPendingWrites() {
  std::lock_guard lock(secretMutex());
  writeAllPendingLocked();
}

}  // namespace velqo
