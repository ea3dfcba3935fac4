#pragma once

// Command-line parsing of velqo-cli: the global options that come before the command, the
// commands with their own options, and the usage text. Parsing never echoes an option's value
// (values may be codes, tokens or identifiers); errors name the option only.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velqo::cli {

/// Options that shape the host before any command runs.
struct GlobalOptions {
  std::optional<std::filesystem::path> dataDir;  ///< application data directory
  std::string bundleId = "com.velqo.cli";
  std::optional<std::string> appVersion;
  std::optional<std::string> appBuild;
  bool noSecureEnclave = false;  ///< the hardware-key store reports "not available"
  bool debug = false;            ///< diagnostic lines to standard error
};

/// Token endpoint settings for redeeming an authorization code.
struct TokenOptions {
  std::string tokenEndpoint;
  std::string clientId;
  std::filesystem::path pemFile;
};

struct SigninCommand {
  std::optional<std::string> baseUrl;  ///< absent: the embedded local service
  std::string configId;
  std::string identifier;
  std::string flow = "signin";  ///< "signin", "signup" or "account_manage"
  std::optional<std::string> relyingParty;
  std::optional<std::string> startToken;
  std::optional<std::string> inviteCode;
  std::optional<std::string> codeChallenge;
  bool manualMethod = false;
  bool noAutoPoll = false;
  std::optional<TokenOptions> token;
};

struct QrCommand {
  std::optional<std::string> baseUrl;
  std::string configId;
  std::string identifier;
  std::string payload;
  bool rememberDevice = false;
};

struct ExchangeCommand {
  TokenOptions token;
  std::string code;
  std::optional<std::string> verifier;
};

struct CredentialsCommand {
  std::string configId;
  std::string identifier;
};

struct ForgetCommand {
  std::string configId;
  std::string identifier;
};

struct LocalServiceCommand {
  std::uint16_t port = 0;  ///< 0: an ephemeral port
};

// ---------------------------------------------------------------------------------------------
// Account commands ("account ..."): each builds one account facade and does one piece of work.

/// Options every account command takes after its command words.
struct AccountServiceOptions {
  std::optional<std::string> baseUrl;  ///< absent: the embedded local service
  std::string apiKey = "velqo-cli-dev";
  std::optional<TokenOptions> oauth;  ///< absent: the facade has no OAuth settings
};

enum class AccountEngine { v4, v5 };

/// account v4 signin / account v5 signin.
struct AccountSigninAction {
  AccountEngine engine = AccountEngine::v5;
  std::string userId;
};

/// account push register: the push token's bytes (parsed from hexadecimal digits).
struct PushRegisterAction {
  std::vector<std::uint8_t> token;
};

enum class PushDecision { none, approve, decline };

/// account push handle: the notification's user information (a JSON object's text, checked).
struct PushHandleAction {
  std::string payloadJson;
  PushDecision decision = PushDecision::none;
};

/// account push approve / account push decline.
struct PushDecideAction {
  std::string requestId;
  bool approve = true;
};

struct WebLoginAction {
  std::string pin;
  bool approve = false;
};

struct WebApproveAction {
  std::string token;
};

struct DevicesAction {};
struct LastUserAction {};

struct StoreTokensAction {
  std::string userId;
  std::string accessToken;
  std::optional<std::string> refreshToken;
};

enum class ClearScope { session, all, lastUser };

/// account clear: `userId` is empty for ClearScope::lastUser.
struct ClearAction {
  ClearScope scope = ClearScope::session;
  std::string userId;
};

/// local-service login-request / local-service web-session: acts on the embedded service's
/// account state in the data directory, so the account commands have something to act on.
struct LocalServiceAdminCommand {
  enum class Kind { loginRequest, webSession };
  Kind kind = Kind::loginRequest;
  std::string userId;              ///< login-request: the user the request is for
  std::optional<std::string> pin;  ///< web-session: the PIN the web page shows (else random)
};

using AccountAction =
    std::variant<AccountSigninAction, PushRegisterAction, PushHandleAction, PushDecideAction, WebLoginAction,
                 WebApproveAction, DevicesAction, LastUserAction, StoreTokensAction, ClearAction>;

struct AccountCommand {
  AccountServiceOptions service;
  AccountAction action;
};

/// `--help` (or `-h`, or `help`) anywhere a command may stand.
struct HelpCommand {};

using Command = std::variant<SigninCommand, QrCommand, ExchangeCommand, CredentialsCommand, ForgetCommand,
                             LocalServiceCommand, AccountCommand, LocalServiceAdminCommand, HelpCommand>;

struct Invocation {
  GlobalOptions global;
  Command command;
};

/// Why the command line was refused: one line, without any option value in it.
struct UsageError {
  std::string message;
};

/// Parses argv[1..] (program name excluded).
std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& args);

/// The usage text (several lines, ends with a line break).
const std::string& usageText();

}  // namespace velqo::cli
