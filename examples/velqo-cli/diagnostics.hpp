#pragma once

// Standard error of velqo-cli: the host's own messages, and (with --debug) the library's
// diagnostic lines. Every line passes the redaction below first, so nothing the user typed
// and no code, token or key the service returned reaches the terminal in clear.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velqo::cli {

/// Remembers a text the user gave (identifier, code, phone number, callback URL, ...): from
/// now on every occurrence of it in a standard-error line shows as "<redacted>" (also its
/// JSON-escaped and percent-encoded forms). Thread-safe.
void registerSecret(std::string_view text);

/// The line as standard error shows it: the bodies of wire lines have the values of
/// sensitive JSON keys replaced, and every registered secret is replaced.
std::string redactLine(std::string_view line);

/// Installs the library's debug sink: with `enabled`, every diagnostic line goes, redacted,
/// to standard error; without, lines are discarded.
void installDebugSink(bool enabled);

/// Runs `call` and returns the library's diagnostic lines that this thread received while it
/// ran, with or without --debug (which still shows them). Lines of other threads are not taken.
std::vector<std::string> linesWrittenDuring(const std::function<void()>& call);

/// Writes "velqo-cli: " + message (redacted) as one line on standard error. Thread-safe.
void printMessage(std::string_view message);

/// Writes a line on standard error as it is (used for the usage text and the embedded
/// service's own lines). Thread-safe; never interleaves with other standard-error lines.
void printRawError(std::string_view text);

}  // namespace velqo::cli
