#include "cli_options.hpp"

#include <algorithm>
#include <charconv>
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
  cmd.token = tokenOptions(values, "v1 signin", false);
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
  cmd.token = *tokenOptions(values, "v1 exchange", true);
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
  if (command == "local-service") {
    inv.command = parseLocalService(args, pos);
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
      "Without --base-url, v1 signin and v1 qr start the loopback reference service in-process\n"
      "(its state lives in the data directory) and it prints the one-time codes it sends on\n"
      "standard error.\n"
      "\n"
      "exit status: 0 success, 1 error update or failed request, 2 bad usage\n";
  return text;
}

}  // namespace velqo::cli
