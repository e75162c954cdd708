#pragma once

#include <cstdio>

#include "app/command_line.h"
#include "platform/user_defaults.h"

namespace velmora {

// --list-trusted and --forget-trusted: works on the file alone, whether or not a host runs (a
// running host watches the file and acts on the change). Returns the exit status.
int runTrustCommand(const HostOptions& options, const std::shared_ptr<UserDefaults>& userDefaults, std::FILE* output,
                    std::FILE* errors);

}  // namespace velmora
