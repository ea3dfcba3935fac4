#pragma once

// The commands of velqo-cli. Each returns the process exit status: 0 success, 1 an error
// update or a failed request, 2 bad usage.

#include "cli_options.hpp"

namespace velqo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

int runSignin(const SigninCommand& command);
int runQr(const QrCommand& command);
int runExchange(const ExchangeCommand& command);
int runCredentials(const CredentialsCommand& command);
int runForget(const ForgetCommand& command);
int runLocalService(const LocalServiceCommand& command);
int runAccount(const AccountCommand& command);
int runLocalServiceAdmin(const LocalServiceAdminCommand& command);

}  // namespace velqo::cli
