#pragma once

// QR codes shown on another screen: their two kinds and the parser of the scanned text.

#include <optional>
#include <string>
#include <string_view>

#include "velqo/export.hpp"

namespace velqo {

/// The kind of a QR code: `qrAuth` ("qr_auth") approves a sign-in waiting on the other
/// screen; `qrLogin` ("qr_login") binds the other screen's session to this user. Hashable
/// (std::hash of an enum); equality goes by the raw value.
enum class VelqoV1QrPayloadType { qrAuth, qrLogin };

/// The raw value: "qr_auth" or "qr_login".
VELQO_API std::string_view qrPayloadTypeRawValue(VelqoV1QrPayloadType type) noexcept;
/// The type of exactly one of the two raw values (case-sensitive, untrimmed), else nothing.
VELQO_API std::optional<VelqoV1QrPayloadType> qrPayloadTypeFromRawValue(std::string_view raw) noexcept;

/// A scanned QR code. `token`, `projectId` and `version` are carried for the host
/// application; approval reads only the type, session, nonce and phone action token.
struct VELQO_API VelqoV1QrPayload {
  VelqoV1QrPayloadType type = VelqoV1QrPayloadType::qrAuth;
  std::string sessionId;  ///< the V1 session of the other screen
  std::string nonce;
  std::optional<std::string> phoneActionToken;  ///< required to approve a `qrAuth` code
  std::optional<std::string> token;
  std::optional<std::string> projectId;
  std::optional<std::string> version;
  std::string raw;  ///< the scanned text, trimmed

  bool isQrLogin() const noexcept { return type == VelqoV1QrPayloadType::qrLogin; }

  friend bool operator==(const VelqoV1QrPayload&, const VelqoV1QrPayload&) = default;
};

/// Reads scanned QR texts. Pure and thread-safe.
struct VELQO_API VelqoV1QrPayloadParser {
  VelqoV1QrPayloadParser() = delete;

  /// The payload of a scanned text, or nothing when it is not a QR payload.
  ///
  /// The text is trimmed of white space and line breaks; an empty text, or one that is not
  /// valid UTF-8, is no payload. A JSON object is read first: string values only (a key of
  /// another type counts as absent, so "session_id" falls back to "sessionId", "phone_action_token"
  /// to "phoneActionToken", "project_id" to "projectId", "v" to "version"); "session_id" and
  /// "nonce" are required; a "type" of "qr_login" (any letter case) makes a `qrLogin` code,
  /// otherwise a phone action token makes `qrAuth` and a "token" makes `qrLogin`. Any text the
  /// JSON reading does not accept is split at ":" (empty pieces dropped): at least three pieces
  /// give a `qrAuth` code of session, nonce and the remaining pieces joined with ":" as phone
  /// action token.
  [[nodiscard]] static std::optional<VelqoV1QrPayload> parse(std::string_view scanned);
};

}  // namespace velqo
