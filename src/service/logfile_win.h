#pragma once
// The decisions of the Windows log layer that hang on a token, apart from the pipe the token
// came from, so that they can be checked where every pipe client arrives at one level (wine).

#include "service/logfile.h"

#include <windows.h>

#include <optional>

namespace logfile {

// A client identity for a thread token taken from a pipe client: nothing unless the token
// allows impersonation (SecurityImpersonation or SecurityDelegation); an identification or
// anonymous token gives no rights to act with. The token is duplicated, the caller keeps its own.
std::optional<Identity> identityOfToken(HANDLE token);

// Whether a file with this owner is the client's own: the owner is the token's user or the
// token's default owner (for an administrator, BUILTIN\Administrators).
bool ownedByClient(PSID owner, HANDLE token);

} // namespace logfile
