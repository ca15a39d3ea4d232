// vantra-host --check: the installation check.
#pragma once

#include <string>

namespace vantra_host {

// Exit codes, as vantra-host's own: 0 only when DeviceObject_Init succeeded.
enum CheckResult { kCheckOk = 0, kCheckPluginUnusable = 3, kCheckInitFailed = 4 };

// Checks the installation whose programs (and whose idea of the plugin's directory) are in `exeDir`, which ends
// in a separator, with the plugin library at `pluginPath`. Prints one line a step.
int RunCheck(const std::string& exeDir, const std::string& pluginPath);

}  // namespace vantra_host
