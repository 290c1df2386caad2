#pragma once
// Proxy credentials in the desktop's secret store (the Secret Service, through
// libsecret): one item per proxy, found by its "host:port", the user name as
// an attribute and the password as the secret. Nothing of them is ever
// written to a file of ours.

#include <optional>
#include <string>

#include "platform/Platform.h"

namespace Sys::SecretStore {

// The saved credentials of a proxy; nothing when none are saved, no session
// bus is announced or no store answers. `mayUnlock`: a locked store may ask
// the user to unlock it (never in unattended runs).
std::optional<ProxyCredentials> Lookup(const std::string& hostPort, bool mayUnlock);
// Replaces the proxy's saved credentials; false when no store took them.
bool Store(const std::string& hostPort, const ProxyCredentials& credentials);

}  // namespace Sys::SecretStore
