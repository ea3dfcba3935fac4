#include "diagnostics.hpp"

#include <nlohmann/json.hpp>

#include <velqo/core/debug_sink.hpp>
#include <velqo/v1/protocol/wire_redaction.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace velqo::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kRedacted = "<redacted>";
// Shorter texts would blank out unrelated parts of lines; the key rule still covers them.
constexpr std::size_t kMinSecretLength = 3;

// The sink may write a line from a library worker while the process exits, after statics
// start to be destroyed: what it reads is created once and never destroyed.
std::mutex& secretsMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::vector<std::string>& secrets() {
  static auto* list = new std::vector<std::string>;
  return *list;
}

std::mutex& stderrMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

// How a JSON text writes the string (without the quotes), including "\/" for "/".
std::string jsonEscaped(std::string_view text) {
  std::string dumped = Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string inner = dumped.substr(1, dumped.size() - 2);
  std::string slashEscaped;
  for (char c : inner) {
    if (c == '/')
      slashEscaped += "\\/";
    else
      slashEscaped.push_back(c);
  }
  return slashEscaped;
}

std::string percentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
  return out;
}

void replaceAll(std::string& line, std::string_view needle) {
  if (needle.size() < kMinSecretLength) return;
  std::size_t pos = 0;
  while ((pos = line.find(needle, pos)) != std::string::npos) {
    line.replace(pos, needle.size(), kRedacted);
    pos += kRedacted.size();
  }
}

// Words that mark further keys as sensitive on the terminal, on top of the library's own.
constexpr std::array<std::string_view, 14> kTerminalSensitiveWords = {
    "secret", "otpauth", "verifier",    "password", "nonce",  "salt",      "prs",
    "qrdata", "userid",  "destination", "h2index",  "hindex", "assertion", "challenge"};

// Wire lines carry a body after their tag: "[...][REQ_BODY]\n{...}". The body goes through
// the library's redaction once more with the terminal's extra words; a body it cannot read
// is dropped.
std::string redactBody(std::string_view line) {
  const auto newline = line.find('\n');
  if (newline == std::string_view::npos) return std::string(line);
  const std::string_view head = line.substr(0, newline);
  if (head.find("_BODY]") == std::string_view::npos) return std::string(line);
  std::optional<std::string> body = velqoRedactedWireBody(line.substr(newline + 1), kTerminalSensitiveWords);
  if (!body) return std::string(head) + " <body not shown>";
  return std::string(head) + "\n" + *body;
}

void writeStderr(std::string_view text) {
  std::string out(text);
  if (out.empty() || out.back() != '\n') out.push_back('\n');
  std::lock_guard lock(stderrMutex());
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void registerSecret(std::string_view text) {
  if (text.empty()) return;
  std::lock_guard lock(secretsMutex());
  for (std::string form : {std::string(text), jsonEscaped(text), percentEncoded(text)}) {
    if (std::find(secrets().begin(), secrets().end(), form) == secrets().end()) secrets().push_back(form);
  }
  // Longer texts first, so a secret that contains another is replaced whole.
  std::sort(secrets().begin(), secrets().end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

// The account facade's first line shows the leading characters of the project API key
// ("Project API Key: abcde..."); part of a key is still too much for a terminal.
void redactApiKeyPrefix(std::string& line) {
  constexpr std::string_view kMarker = "Project API Key: ";
  const auto marker = line.find(kMarker);
  if (marker == std::string::npos) return;
  const auto start = marker + kMarker.size();
  auto end = line.find("...", start);
  if (end == std::string::npos) end = line.size();
  line.replace(start, end - start, kRedacted);
}

std::string redactLine(std::string_view line) {
  std::string out = redactBody(line);
  redactApiKeyPrefix(out);
  std::lock_guard lock(secretsMutex());
  for (const auto& secret : secrets()) replaceAll(out, secret);
  return out;
}

namespace {

std::atomic<bool> showingLines{false};                        // --debug
thread_local std::vector<std::string>* takenLines = nullptr;  // linesWrittenDuring on this thread

void sinkLine(std::string_view line) {
  try {
    if (takenLines) takenLines->emplace_back(line);
    if (showingLines.load(std::memory_order_relaxed)) writeStderr(redactLine(line));
  } catch (...) {
    // A diagnostic line is never worth a failure of the caller.
  }
}

}  // namespace

void installDebugSink(bool enabled) {
  showingLines.store(enabled, std::memory_order_relaxed);
  setDebugSink(enabled ? DebugSink(sinkLine) : DebugSink{});
}

std::vector<std::string> linesWrittenDuring(const std::function<void()>& call) {
  std::vector<std::string> lines;
  // Without --debug no sink is installed and the library composes no line: one is installed
  // for the call only.
  struct Taking {
    std::vector<std::string>* outer;
    bool installed;
    explicit Taking(std::vector<std::string>& lines)
        : outer(std::exchange(takenLines, &lines)),
          installed(outer == nullptr && !showingLines.load(std::memory_order_relaxed)) {
      if (installed) setDebugSink(sinkLine);
    }
    ~Taking() {
      if (installed) setDebugSink({});
      takenLines = outer;
    }
    Taking(const Taking&) = delete;
    Taking& operator=(const Taking&) = delete;
  } taking(lines);
  call();
  return lines;
}

void printMessage(std::string_view message) {
  writeStderr(redactLine("velqo-cli: " + std::string(message)));
}

void printRawError(std::string_view text) {
  writeStderr(text);
}

}  // namespace velqo::cli
