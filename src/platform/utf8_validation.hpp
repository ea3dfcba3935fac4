#pragma once

// UTF-8 well-formedness (not installed).

#include <string_view>

namespace velqo::platform {

/// Whether the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing above
/// U+10FFFF, no truncated sequence.
bool isWellFormedUtf8(std::string_view text) noexcept;

}  // namespace velqo::platform
