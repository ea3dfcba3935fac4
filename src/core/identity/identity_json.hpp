#pragma once

// JSON mapping of the device-detail records and the V5 environment record (keys equal the
// field names, written in declaration order by ordered JSON types). Decoding requires every key
// as a string and throws nlohmann's exceptions otherwise; callers turn them into their own
// decoding errors.

#include <nlohmann/json.hpp>

#include "core/identity/device_records.hpp"

namespace velqo {

namespace identity_keys {
inline constexpr const char* appBundleId = "appBundleId";
inline constexpr const char* cpuArch = "cpuArch";
inline constexpr const char* deviceModel = "deviceModel";
inline constexpr const char* osVersion = "osVersion";
inline constexpr const char* fpVersion = "fp_version";
inline constexpr const char* fingerprintHash = "fingerprint_hash";
inline constexpr const char* sdabAttributes = "sdab_attributes";
inline constexpr const char* userAgent = "userAgent";
inline constexpr const char* osType = "osType";
inline constexpr const char* sdkVersion = "sdkVersion";
}  // namespace identity_keys

template <class Json>
void to_json(Json& j, const BasicAttributesV1& v) {
  j = Json::object();
  j[identity_keys::appBundleId] = v.appBundleId;
  j[identity_keys::cpuArch] = v.cpuArch;
  j[identity_keys::deviceModel] = v.deviceModel;
  j[identity_keys::osVersion] = v.osVersion;
}

template <class Json>
void from_json(const Json& j, BasicAttributesV1& v) {
  j.at(identity_keys::appBundleId).get_to(v.appBundleId);
  j.at(identity_keys::cpuArch).get_to(v.cpuArch);
  j.at(identity_keys::deviceModel).get_to(v.deviceModel);
  j.at(identity_keys::osVersion).get_to(v.osVersion);
}

template <class Json>
void to_json(Json& j, const MobileDeviceInfoV1& v) {
  j = Json::object();
  j[identity_keys::fpVersion] = v.fp_version;
  j[identity_keys::fingerprintHash] = v.fingerprint_hash;
  j[identity_keys::sdabAttributes] = v.sdab_attributes;
}

template <class Json>
void from_json(const Json& j, MobileDeviceInfoV1& v) {
  j.at(identity_keys::fpVersion).get_to(v.fp_version);
  j.at(identity_keys::fingerprintHash).get_to(v.fingerprint_hash);
  j.at(identity_keys::sdabAttributes).get_to(v.sdab_attributes);
}

template <class Json>
void to_json(Json& j, const V5EnvironmentInfo& v) {
  j = Json::object();
  j[identity_keys::userAgent] = v.userAgent;
  j[identity_keys::osType] = v.osType;
  j[identity_keys::sdkVersion] = v.sdkVersion;
}

template <class Json>
void from_json(const Json& j, V5EnvironmentInfo& v) {
  j.at(identity_keys::userAgent).get_to(v.userAgent);
  j.at(identity_keys::osType).get_to(v.osType);
  j.at(identity_keys::sdkVersion).get_to(v.sdkVersion);
}

}  // namespace velqo
