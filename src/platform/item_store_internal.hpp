#pragma once

// Lookup identities of item-store items, shared by the store backends, and what the library
// needs to know of the file store (not installed).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/platform/item_store.hpp"

namespace velqo::platform::detail {

// Appends a 32-bit big-endian length and the bytes, so that no two different field lists
// give the same encoding.
inline void appendField(std::string& out, std::string_view field) {
  auto n = static_cast<std::uint32_t>(field.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((n >> shift) & 0xff));
  out.append(field);
}

// The identity of a generic-password item: its service and account.
inline std::string genericPasswordIdentity(const std::string& service, const std::string& account) {
  std::string id = "generic-password";
  appendField(id, service);
  appendField(id, account);
  return id;
}

// The identity of a key item: its application tag, key type and token.
inline std::string keyIdentity(const Bytes& applicationTag, KeyType keyType, KeyToken token) {
  std::string id = "key";
  appendField(id,
              std::string_view(reinterpret_cast<const char*>(applicationTag.data()), applicationTag.size()));
  id.push_back(static_cast<char>(keyType));
  id.push_back(static_cast<char>(token));
  return id;
}

// Parameter checks shared by every backend.
inline bool validGenericPasswordQuery(const std::string& service, const std::string& account) {
  return !(service.empty() && account.empty());
}
inline bool validKeyQuery(const Bytes& applicationTag) {
  return !applicationTag.empty();
}

// The item directory of a store made by makeFileItemStore; nothing for any other store (the
// in-memory one, a host's own backend, a host's wrapper around a file store). Locks that
// guard several items at once (the token pair) live beside the items they guard, so processes
// sharing the items take turns whatever their data directories.
std::optional<std::filesystem::path> fileItemStoreDirectory(const ItemStore& store);

}  // namespace velqo::platform::detail
