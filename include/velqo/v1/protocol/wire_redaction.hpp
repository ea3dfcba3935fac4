#pragma once

// The redaction the V1 wire lines apply to JSON bodies, for hosts that show or store bodies
// themselves (a debug console, a support log).

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "velqo/export.hpp"

namespace velqo {

/// The body pretty-printed with two spaces, every value under a sensitive key replaced by
/// "<redacted>" (codes, tokens, signatures, key material, device hash indexes, identifiers,
/// phone numbers, e-mail addresses, authenticator secrets, QR data; arrays take their key),
/// or nothing when the body is not a JSON object or array, nests too deeply, or is not valid
/// UTF-8: such a body is never shown. `extraSensitiveWords` (lower case) mark further keys as
/// sensitive when the lower-cased key contains one of them. Thread-safe; throws only
/// std::bad_alloc.
[[nodiscard]] VELQO_API std::optional<std::string> velqoRedactedWireBody(
    std::string_view body, std::span<const std::string_view> extraSensitiveWords = {});

}  // namespace velqo
