#pragma once

// The one place that builds device credential records field by field (internal): the
// device-trust setup and the record decoder.

#include <cstdint>
#include <optional>
#include <string>

#include "velqo/v1/flows/device_crypto_store.hpp"

namespace velqo::detail {

struct VelqoV1DeviceCryptoRecordFactory {
  static VelqoV1DeviceCryptoRecord make(std::int64_t recordVersion, double createdAt,
                                        std::string userIdentifier, std::string projectId,
                                        std::string algorithm, std::string keyset, std::string hindex,
                                        Bytes salt1, Bytes salt2, std::optional<Bytes> combinedsalt,
                                        Bytes combinedprs, Bytes iv0, VelqoV1WrapMetadata wrapMetadata) {
    return VelqoV1DeviceCryptoRecord(
        recordVersion, createdAt, std::move(userIdentifier), std::move(projectId), std::move(algorithm),
        std::move(keyset), std::move(hindex), std::move(salt1), std::move(salt2), std::move(combinedsalt),
        std::move(combinedprs), std::move(iv0), std::move(wrapMetadata));
  }
};

/// Trims whitespace and newlines, then lower-cases: the key under which a user's device
/// credential lives.
std::string normalizeIdentifier(std::string_view identifier);

/// The first 12 lower-case hex digits of the SHA-256 of the record key: tells records apart in
/// diagnostic lines without naming the user.
std::string recordRef(std::string_view recordKey);

}  // namespace velqo::detail
