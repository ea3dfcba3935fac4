#pragma once

// The names of the generic-password items the library keeps in the default service
// (KeychainManager::serviceName()), in one table, and the rule that keeps account user ids
// from naming a record of another kind (internal).

#include <string_view>

namespace velqo::record_names {

/// The last-user record.
inline constexpr char lastUser[] = "lastuser";
/// The per-user items of the account side: the user id followed by one of these.
inline constexpr char persistentDeviceTokenSuffix[] = "_persistentDeviceToken_v4";
inline constexpr char accessTokenSuffix[] = "_jwtAccessToken";
inline constexpr char refreshTokenSuffix[] = "_jwtRefreshToken";
inline constexpr char v3TokenIdSuffix[] = "_tokenId_v3";
/// The V1 device credentials: this, then the record key (normalised identifier + "+" + project).
inline constexpr char v1DeviceCredentialPrefix[] = "velqo.v1.device.";

/// How the items of one record kind are named.
enum class Form {
  userId,      ///< the account user id itself (the user's Er1r2 record)
  fixed,       ///< exactly `text`
  userSuffix,  ///< the account user id followed by `text`
  keyPrefix,   ///< `text` followed by a key of that record kind
};

struct NameForm {
  Form form;
  std::string_view text;
};

/// Every name form of the records in the default service. A new record kind there is added
/// here, so that account user ids are kept from naming it.
inline constexpr NameForm allForms[] = {
    {Form::userId, {}},
    {Form::fixed, lastUser},
    {Form::userSuffix, persistentDeviceTokenSuffix},
    {Form::userSuffix, accessTokenSuffix},
    {Form::userSuffix, refreshTokenSuffix},
    {Form::userSuffix, v3TokenIdSuffix},
    {Form::keyPrefix, v1DeviceCredentialPrefix},
};

/// True when the account user id names a record other than that user's own: it is a fixed
/// name, ends in a per-user suffix (another user's item) or starts with a key prefix. The
/// names an accepted id gives its items (the id, the id + each suffix) are then never names
/// of another record (checked when this is compiled).
[[nodiscard]] bool userIdNamesAnotherRecord(std::string_view userId) noexcept;

}  // namespace velqo::record_names
