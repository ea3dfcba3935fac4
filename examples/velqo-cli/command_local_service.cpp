#include "commands.hpp"

namespace velqo::cli {
int runLocalService(const LocalServiceCommand&, const GlobalOptions&) { return kExitFailure; }
}  // namespace velqo::cli
