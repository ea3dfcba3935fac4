#include "cli_options.hpp"

#include <nlohmann/json.hpp>

#include <velqo/account/velqo_sdk.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <utility>

namespace velqo::cli {
namespace {

struct OptionSpec {
  std::string_view name;  ///< with the leading "--"
  bool takesValue;
};

// The options one command accepts; values by option name ("" for a flag that was given).
using OptionValues = std::map<std::string, std::string, std::less<>>;

class UsageFailure {
 public:
  explicit UsageFailure(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

bool isHelp(std::string_view arg) {
  return arg == "--help" || arg == "-h" || arg == "help";
}

// Thrown where an option name may stand and "--help" or "-h" stands instead.
struct HelpRequested {};

// Nothing the user typed is echoed in an error: option values may be codes or tokens, and
// a mistyped option may be one too. Errors name only the options this parser defines.

// Reads "--name value", "--name=value" and "--flag" options from args[pos..] until the end.
OptionValues parseOptions(const std::vector<std::string>& args, std::size_t pos,
                          const std::vector<OptionSpec>& specs, std::string_view command) {
  OptionValues values;
  while (pos < args.size()) {
    const std::string& arg = args[pos++];
    if (arg == "--help" || arg == "-h") throw HelpRequested{};
    std::string_view name = arg;
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
      inlineValue = std::string(name.substr(eq + 1));
      name = name.substr(0, eq);
    }
    const auto spec =
        std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return s.name == name; });
    if (spec == specs.end()) {
      if (!name.starts_with("-")) {
        throw UsageFailure("unexpected argument for " + std::string(command) + " (options start with --)");
      }
      throw UsageFailure(std::string(command) + ": unknown option");
    }
    if (values.contains(name)) throw UsageFailure("option " + std::string(name) + " given twice");
    if (!spec->takesValue) {
      if (inlineValue) throw UsageFailure("option " + std::string(name) + " takes no value");
      values.emplace(std::string(name), std::string());
      continue;
    }
    if (!inlineValue) {
      if (pos >= args.size()) throw UsageFailure("option " + std::string(name) + " needs a value");
      inlineValue = args[pos++];
    }
    values.emplace(std::string(name), std::move(*inlineValue));
  }
  return values;
}

std::optional<std::string> optionalValue(const OptionValues& values, std::string_view name) {
  const auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

std::string requiredValue(const OptionValues& values, std::string_view name, std::string_view command) {
  auto value = optionalValue(values, name);
  if (!value) throw UsageFailure(std::string(command) + " needs " + std::string(name));
  if (value->empty()) throw UsageFailure("option " + std::string(name) + " must not be empty");
  return std::move(*value);
}

bool flag(const OptionValues& values, std::string_view name) {
  return values.contains(name);
}

// The three token options come together or not at all.
std::optional<TokenOptions> tokenOptions(const OptionValues& values, std::string_view command,
                                         bool required) {
  const bool any =
      values.contains("--token-endpoint") || values.contains("--client-id") || values.contains("--pem-file");
  if (!any && !required) return std::nullopt;
  if (!required && !(values.contains("--token-endpoint") && values.contains("--client-id") &&
                     values.contains("--pem-file"))) {
    throw UsageFailure("--token-endpoint, --client-id and --pem-file go together");
  }
  TokenOptions token;
  token.tokenEndpoint = requiredValue(values, "--token-endpoint", command);
  token.clientId = requiredValue(values, "--client-id", command);
  token.pemFile = requiredValue(values, "--pem-file", command);
  return token;
}

const std::vector<OptionSpec> kTokenSpecs = {
    {"--token-endpoint", true}, {"--client-id", true}, {"--pem-file", true}};

SigninCommand parseSignin(const std::vector<std::string>& args, std::size_t pos) {
  std::vector<OptionSpec> specs = {
      {"--base-url", true},      {"--config-id", true},      {"--identifier", true},
      {"--flow", true},          {"--relying-party", true},  {"--start-token", true},
      {"--invite-code", true},   {"--code-challenge", true}, {"--manual-method", false},
      {"--no-auto-poll", false},
  };
  specs.insert(specs.end(), kTokenSpecs.begin(), kTokenSpecs.end());
  const auto values = parseOptions(args, pos, specs, "v1 signin");
  SigninCommand cmd;
  cmd.baseUrl = optionalValue(values, "--base-url");
  if (cmd.baseUrl && cmd.baseUrl->empty()) throw UsageFailure("option --base-url must not be empty");
  cmd.configId = requiredValue(values, "--config-id", "v1 signin");
  cmd.identifier = requiredValue(values, "--identifier", "v1 signin");
  if (auto flowType = optionalValue(values, "--flow")) {
    static const std::set<std::string, std::less<>> kFlows = {"signin", "signup", "account_manage"};
    if (!kFlows.contains(*flowType)) throw UsageFailure("--flow takes signin, signup or account_manage");
    cmd.flow = std::move(*flowType);
  }
  cmd.relyingParty = optionalValue(values, "--relying-party");
  cmd.startToken = optionalValue(values, "--start-token");
  cmd.inviteCode = optionalValue(values, "--invite-code");
  cmd.codeChallenge = optionalValue(values, "--code-challenge");
  cmd.manualMethod = flag(values, "--manual-method");
  cmd.noAutoPoll = flag(values, "--no-auto-poll");
  cmd.token = tokenOptions(values, "v1 signin", /*required=*/false);
  return cmd;
}

QrCommand parseQr(const std::vector<std::string>& args, std::size_t pos) {
  const std::vector<OptionSpec> specs = {{"--base-url", true},
                                         {"--config-id", true},
                                         {"--identifier", true},
                                         {"--payload", true},
                                         {"--remember-device", false}};
  const auto values = parseOptions(args, pos, specs, "v1 qr");
  QrCommand cmd;
  cmd.baseUrl = optionalValue(values, "--base-url");
  if (cmd.baseUrl && cmd.baseUrl->empty()) throw UsageFailure("option --base-url must not be empty");
  cmd.configId = requiredValue(values, "--config-id", "v1 qr");
  cmd.identifier = requiredValue(values, "--identifier", "v1 qr");
  cmd.payload = requiredValue(values, "--payload", "v1 qr");
  cmd.rememberDevice = flag(values, "--remember-device");
  return cmd;
}

ExchangeCommand parseExchange(const std::vector<std::string>& args, std::size_t pos) {
  std::vector<OptionSpec> specs = {{"--code", true}, {"--verifier", true}};
  specs.insert(specs.end(), kTokenSpecs.begin(), kTokenSpecs.end());
  const auto values = parseOptions(args, pos, specs, "v1 exchange");
  ExchangeCommand cmd;
  cmd.token = *tokenOptions(values, "v1 exchange", /*required=*/true);
  cmd.code = requiredValue(values, "--code", "v1 exchange");
  cmd.verifier = optionalValue(values, "--verifier");
  return cmd;
}

template <class T>
T parseUserCommand(const std::vector<std::string>& args, std::size_t pos, std::string_view command) {
  const std::vector<OptionSpec> specs = {{"--config-id", true}, {"--identifier", true}};
  const auto values = parseOptions(args, pos, specs, command);
  T cmd;
  cmd.configId = requiredValue(values, "--config-id", command);
  cmd.identifier = requiredValue(values, "--identifier", command);
  return cmd;
}

LocalServiceCommand parseLocalService(const std::vector<std::string>& args, std::size_t pos) {
  const auto values = parseOptions(args, pos, {{"--port", true}}, "local-service");
  LocalServiceCommand cmd;
  if (auto port = optionalValue(values, "--port")) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), value);
    if (ec != std::errc() || end != port->data() + port->size() || value > 65535 || port->empty()) {
      throw UsageFailure("--port takes a number from 0 to 65535");
    }
    cmd.port = static_cast<std::uint16_t>(value);
  }
  return cmd;
}

// ---------------------------------------------------------------------------------------------
// Account commands.

const std::vector<OptionSpec> kAccountServiceSpecs = {{"--base-url", true},
                                                      {"--api-key", true},
                                                      {"--token-endpoint", true},
                                                      {"--client-id", true},
                                                      {"--pem-file", true}};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One or more pairs of hexadecimal digits, either case; nothing else (no prefix, no spaces).
std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigit(text[i]);
    const int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

// Deeper nesting than any notification carries is refused before the parser sees it, so a
// hostile argument cannot exhaust the stack.
bool nestedTooDeep(std::string_view text, std::size_t maxDepth) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > maxDepth) return true;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return false;
}

bool isJsonObject(std::string_view text) {
  if (nestedTooDeep(text, 64)) return false;
  const auto value = nlohmann::json::parse(text, nullptr, false);
  return !value.is_discarded() && value.is_object();
}

// Reads the command's own options together with the service options every account command
// takes, and fills `service` from the latter.
OptionValues parseAccountOptions(const std::vector<std::string>& args, std::size_t pos,
                                 std::vector<OptionSpec> specs, std::string_view command,
                                 AccountServiceOptions& service) {
  specs.insert(specs.end(), kAccountServiceSpecs.begin(), kAccountServiceSpecs.end());
  const auto values = parseOptions(args, pos, specs, command);
  service.baseUrl = optionalValue(values, "--base-url");
  if (service.baseUrl && service.baseUrl->empty()) throw UsageFailure("option --base-url must not be empty");
  if (values.contains("--api-key")) service.apiKey = requiredValue(values, "--api-key", command);
  service.oauth = tokenOptions(values, command, /*required=*/false);
  return values;
}

// The --userid of an account command: one the library would refuse is a usage error.
std::string accountUserId(const OptionValues& values, std::string_view command) {
  std::string userId = requiredValue(values, "--userid", command);
  if (!VelqoSDK::isUsableUserId(userId)) {
    throw UsageFailure(
        "--userid cannot be used: it is not UTF-8, or it names another stored record (the last "
        "user, another user's tokens or a V1 device credential)");
  }
  return userId;
}

AccountCommand parseAccount(const std::vector<std::string>& args, std::size_t pos) {
  if (pos >= args.size()) throw UsageFailure("account needs a subcommand");
  AccountCommand cmd;
  const std::string& word = args[pos++];
  if (isHelp(word)) throw HelpRequested{};
  auto next = [&](std::string_view what) -> const std::string& {
    if (pos >= args.size()) throw UsageFailure(std::string(what) + " needs a subcommand");
    const std::string& sub = args[pos++];
    if (isHelp(sub)) throw HelpRequested{};
    return sub;
  };

  if (word == "v4" || word == "v5") {
    const std::string command = "account " + word + " signin";
    if (next("account " + word) != "signin") throw UsageFailure("unknown account " + word + " subcommand");
    const auto values = parseAccountOptions(args, pos, {{"--userid", true}}, command, cmd.service);
    cmd.action = AccountSigninAction{word == "v4" ? AccountEngine::v4 : AccountEngine::v5,
                                     accountUserId(values, command)};
  } else if (word == "push") {
    const std::string& sub = next("account push");
    if (sub == "register") {
      const auto values =
          parseAccountOptions(args, pos, {{"--token", true}}, "account push register", cmd.service);
      auto bytes = hexBytes(requiredValue(values, "--token", "account push register"));
      if (!bytes) throw UsageFailure("--token takes pairs of hexadecimal digits");
      cmd.action = PushRegisterAction{std::move(*bytes)};
    } else if (sub == "handle") {
      const auto values =
          parseAccountOptions(args, pos, {{"--payload", true}, {"--approve", false}, {"--decline", false}},
                              "account push handle", cmd.service);
      PushHandleAction action;
      action.payloadJson = requiredValue(values, "--payload", "account push handle");
      if (!isJsonObject(action.payloadJson)) throw UsageFailure("--payload takes a JSON object");
      if (flag(values, "--approve") && flag(values, "--decline")) {
        throw UsageFailure("--approve and --decline exclude each other");
      }
      if (flag(values, "--approve")) action.decision = PushDecision::approve;
      if (flag(values, "--decline")) action.decision = PushDecision::decline;
      cmd.action = std::move(action);
    } else if (sub == "approve" || sub == "decline") {
      const std::string command = "account push " + sub;
      const auto values = parseAccountOptions(args, pos, {{"--request-id", true}}, command, cmd.service);
      cmd.action = PushDecideAction{requiredValue(values, "--request-id", command), sub == "approve"};
    } else {
      throw UsageFailure("unknown account push subcommand");
    }
  } else if (word == "web-login") {
    const auto values = parseAccountOptions(args, pos, {{"--pin", true}, {"--approve", false}},
                                            "account web-login", cmd.service);
    cmd.action =
        WebLoginAction{requiredValue(values, "--pin", "account web-login"), flag(values, "--approve")};
  } else if (word == "web-approve") {
    const auto values =
        parseAccountOptions(args, pos, {{"--token", true}}, "account web-approve", cmd.service);
    cmd.action = WebApproveAction{requiredValue(values, "--token", "account web-approve")};
  } else if (word == "devices") {
    parseAccountOptions(args, pos, {}, "account devices", cmd.service);
    cmd.action = DevicesAction{};
  } else if (word == "last-user") {
    parseAccountOptions(args, pos, {}, "account last-user", cmd.service);
    cmd.action = LastUserAction{};
  } else if (word == "store-tokens") {
    const auto values = parseAccountOptions(
        args, pos, {{"--userid", true}, {"--access-token", true}, {"--refresh-token", true}},
        "account store-tokens", cmd.service);
    StoreTokensAction action;
    action.userId = accountUserId(values, "account store-tokens");
    action.accessToken = requiredValue(values, "--access-token", "account store-tokens");
    if (values.contains("--refresh-token")) {
      action.refreshToken = requiredValue(values, "--refresh-token", "account store-tokens");
    }
    cmd.action = std::move(action);
  } else if (word == "clear") {
    const auto values = parseAccountOptions(
        args, pos, {{"--userid", true}, {"--session", false}, {"--all", false}, {"--last-user", false}},
        "account clear", cmd.service);
    const int scopes =
        int(flag(values, "--session")) + int(flag(values, "--all")) + int(flag(values, "--last-user"));
    if (scopes != 1) throw UsageFailure("account clear takes exactly one of --session, --all, --last-user");
    ClearAction action;
    if (flag(values, "--last-user")) {
      if (values.contains("--userid")) throw UsageFailure("--userid does not go with --last-user");
      action.scope = ClearScope::lastUser;
    } else {
      action.scope = flag(values, "--all") ? ClearScope::all : ClearScope::session;
      action.userId = accountUserId(values, "account clear");
    }
    cmd.action = std::move(action);
  } else {
    throw UsageFailure("unknown account subcommand");
  }
  return cmd;
}

LocalServiceAdminCommand parseLocalServiceAdmin(const std::vector<std::string>& args, std::size_t pos) {
  LocalServiceAdminCommand cmd;
  const std::string& sub = args[pos++];
  if (sub == "login-request") {
    const auto values = parseOptions(args, pos, {{"--userid", true}}, "local-service login-request");
    cmd.kind = LocalServiceAdminCommand::Kind::loginRequest;
    cmd.userId = requiredValue(values, "--userid", "local-service login-request");
  } else {
    const auto values = parseOptions(args, pos, {{"--pin", true}}, "local-service web-session");
    cmd.kind = LocalServiceAdminCommand::Kind::webSession;
    if (values.contains("--pin")) cmd.pin = requiredValue(values, "--pin", "local-service web-session");
  }
  return cmd;
}

Invocation parse(const std::vector<std::string>& args) {
  Invocation inv;
  std::size_t pos = 0;
  // Global options, before the command.
  while (pos < args.size() && args[pos].starts_with("-") && !isHelp(args[pos])) {
    const std::string& arg = args[pos++];
    auto value = [&](std::string_view name) -> std::string {
      if (pos >= args.size()) throw UsageFailure("option " + std::string(name) + " needs a value");
      std::string v = args[pos++];
      if (v.empty()) throw UsageFailure("option " + std::string(name) + " must not be empty");
      return v;
    };
    if (arg == "--data-dir") {
      inv.global.dataDir = std::filesystem::path(value(arg));
    } else if (arg == "--bundle-id") {
      inv.global.bundleId = value(arg);
    } else if (arg == "--app-version") {
      inv.global.appVersion = value(arg);
    } else if (arg == "--app-build") {
      inv.global.appBuild = value(arg);
    } else if (arg == "--no-secure-enclave") {
      inv.global.noSecureEnclave = true;
    } else if (arg == "--debug") {
      inv.global.debug = true;
    } else {
      throw UsageFailure("unknown global option (global options come before the command)");
    }
  }
  if (pos >= args.size()) throw UsageFailure("no command given");
  const std::string& command = args[pos++];
  if (isHelp(command)) {
    inv.command = HelpCommand{};
    return inv;
  }
  if (command == "local-service" && pos < args.size() &&
      (args[pos] == "login-request" || args[pos] == "web-session")) {
    inv.command = parseLocalServiceAdmin(args, pos);
    return inv;
  }
  if (command == "local-service") {
    inv.command = parseLocalService(args, pos);
    return inv;
  }
  if (command == "account") {
    inv.command = parseAccount(args, pos);
    return inv;
  }
  if (command != "v1") throw UsageFailure("unknown command");
  if (pos >= args.size()) throw UsageFailure("v1 needs a subcommand");
  const std::string& sub = args[pos++];
  if (sub == "signin") {
    inv.command = parseSignin(args, pos);
  } else if (sub == "qr") {
    inv.command = parseQr(args, pos);
  } else if (sub == "exchange") {
    inv.command = parseExchange(args, pos);
  } else if (sub == "credentials") {
    inv.command = parseUserCommand<CredentialsCommand>(args, pos, "v1 credentials");
  } else if (sub == "forget") {
    inv.command = parseUserCommand<ForgetCommand>(args, pos, "v1 forget");
  } else if (isHelp(sub)) {
    inv.command = HelpCommand{};
  } else {
    throw UsageFailure("unknown v1 subcommand");
  }
  return inv;
}

}  // namespace

std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& args) {
  try {
    return parse(args);
  } catch (const HelpRequested&) {
    return Invocation{GlobalOptions{}, HelpCommand{}};
  } catch (const UsageFailure& failure) {
    return UsageError{failure.message()};
  }
}

const std::string& usageText() {
  static const std::string text =
      "usage: velqo-cli [global options] <command> [options]\n"
      "\n"
      "global options (before the command):\n"
      "  --data-dir DIR        application data directory (item store, user defaults, per-user\n"
      "                        secrets, embedded service state); kept across runs\n"
      "  --bundle-id ID        application bundle identifier (default com.velqo.cli)\n"
      "  --app-version V       application version\n"
      "  --app-build B         application build\n"
      "  --no-secure-enclave   the hardware-key store reports itself not available\n"
      "  --debug               diagnostic lines to standard error (secrets redacted)\n"
      "\n"
      "commands:\n"
      "  v1 signin [--base-url URL] --config-id ID --identifier TEXT\n"
      "            [--flow signin|signup|account_manage] [--relying-party RP]\n"
      "            [--start-token T] [--invite-code C] [--code-challenge C]\n"
      "            [--manual-method] [--no-auto-poll]\n"
      "            [--token-endpoint URL --client-id ID --pem-file FILE]\n"
      "      Runs a V1 flow. Prints every update as one JSON line; reads one line from\n"
      "      standard input when a prompt needs an answer (select_method: method id;\n"
      "      enter_code: the code or 'resend'; enter_totp, setup_totp: the code;\n"
      "      setup_sms: the phone number; redirect: the callback URL). End of input cancels.\n"
      "      With --no-auto-poll each line typed during an awaited approval polls once.\n"
      "      With the token options the completed code is exchanged for tokens.\n"
      "  v1 qr [--base-url URL] --config-id ID --identifier TEXT --payload TEXT [--remember-device]\n"
      "      Approves a scanned QR payload with this device's stored credential.\n"
      "  v1 exchange --token-endpoint URL --client-id ID --pem-file FILE --code CODE [--verifier V]\n"
      "      Redeems an authorization code and verifies the ID token.\n"
      "  v1 credentials --config-id ID --identifier TEXT\n"
      "      Prints the stored device credentials (keyset, hindex, sk2) or null.\n"
      "  v1 forget --config-id ID --identifier TEXT\n"
      "      Deletes the stored device credentials.\n"
      "  local-service [--port N]\n"
      "      Runs the loopback reference service in the foreground and prints its base URL.\n"
      "\n"
      "account commands (each takes the account options after its command words):\n"
      "  [--base-url URL] [--api-key KEY] [--token-endpoint URL --client-id ID --pem-file FILE]\n"
      "  account v4 signin --userid ID\n"
      "  account v5 signin --userid ID\n"
      "      Signs the user in (or registers the device); prints each event as a JSON line and\n"
      "      reads the one-time code from standard input after otp_required.\n"
      "  account push register --token HEX\n"
      "  account push handle --payload JSON [--approve | --decline]\n"
      "  account push approve --request-id ID\n"
      "  account push decline --request-id ID\n"
      "  account web-login --pin PIN [--approve]\n"
      "  account web-approve --token T\n"
      "  account devices\n"
      "  account last-user\n"
      "  account store-tokens --userid U --access-token T [--refresh-token R]\n"
      "  account clear (--userid U --session | --userid U --all | --last-user)\n"
      "      Without --base-url an account command starts the embedded service too (below).\n"
      "  local-service login-request --userid ID\n"
      "      Raises a push login request for the user on the embedded service; prints its id.\n"
      "  local-service web-session [--pin PIN]\n"
      "      Opens a web session shown with the PIN on the embedded service; prints PIN and token.\n"
      "\n"
      "Without --base-url, v1 signin and v1 qr start the loopback reference service in-process\n"
      "(its state lives in the data directory) and it prints the one-time codes it sends on\n"
      "standard error.\n"
      "\n"
      "exit status: 0 success, 1 error update or failed request, 2 bad usage\n";
  return text;
}

}  // namespace velqo::cli
