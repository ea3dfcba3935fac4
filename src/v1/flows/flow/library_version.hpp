#pragma once

// The library's own version, reported as the V1 SDK version when the host gives none
// (internal). It follows the project version of the build; a build may pass
// VELQO_LIBRARY_VERSION to override it.

namespace velqo::v1::detail {

#ifdef VELQO_LIBRARY_VERSION
inline constexpr const char* kLibraryVersion = VELQO_LIBRARY_VERSION;
#else
inline constexpr const char* kLibraryVersion = "0.1.0";
#endif

}  // namespace velqo::v1::detail
