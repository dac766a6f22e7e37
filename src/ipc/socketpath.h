#pragma once
// Where the socket of a session lives.
//   Windows: the named pipe \\.\pipe\<base>-<session>.
//   Linux:   <dir>/<base>-<session>, dir being $RUNTIME_DIRECTORY (set by systemd for the
//            service) or /run/tarnd. A base that holds a '/' is itself the path prefix.

#include <cstdint>
#include <string>

namespace socketpath {

std::string socketPath(const std::string &base, std::uint32_t session);

// Creates the folder that holds the sockets, when there is one. False when it cannot be made.
bool prepare(const std::string &socketPath);

} // namespace socketpath
