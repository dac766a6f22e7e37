#include "ipc/socketpath.h"

namespace socketpath {

std::string socketPath(const std::string &base, std::uint32_t session)
{
    return "\\\\.\\pipe\\" + base + "-" + std::to_string(session);
}

bool prepare(const std::string &, std::string *)
{
    return true; // pipes live in the system's namespace, not in a folder
}

std::unique_ptr<Claim> claim(const std::string &, std::string *)
{
    // No object of its own: any user may create a named object first, whatever its name, and
    // would so keep the daemon from ever serving the session. The pipe's first instance is the
    // claim (pipeserver_win.h); whoever holds the name instead is found out there.
    return std::make_unique<Claim>();
}

} // namespace socketpath
