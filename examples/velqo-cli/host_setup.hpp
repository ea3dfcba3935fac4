#pragma once

// Applies the global options to the platform stand-ins before any library object exists.

#include "cli_options.hpp"

namespace velqo::cli {

/// Bundle identifier and versions, the application data directory (created with mode 0700
/// when missing), the hardware-key mode and the debug sink. Throws std::runtime_error when
/// the data directory cannot be created or is writable by group or others.
void applyGlobalOptions(const GlobalOptions& options);

}  // namespace velqo::cli
