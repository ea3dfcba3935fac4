#pragma once

// VELQO_API marks the declarations that a shared build of the library exports.
// Everything else keeps hidden visibility.
#if defined(VELQO_STATIC)
#define VELQO_API
#elif defined(VELQO_BUILDING_LIBRARY)
#define VELQO_API __attribute__((visibility("default")))
#else
#define VELQO_API __attribute__((visibility("default")))
#endif
