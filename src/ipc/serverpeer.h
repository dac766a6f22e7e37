#pragma once
// Who serves a connection, asked from the client's end before anything is sent on it: whoever
// holds the socket's name before the daemon does (another user, on Windows, can make the pipe
// of a session first) would otherwise get the client's requests and its processes' input.
//   Linux:   the kernel's credentials of the process that listens (SO_PEERCRED).
//   Windows: the pipe's server process (GetNamedPipeServerProcessId) and its token's user.
// Plain C++; any thread; nothing waits on another process.

#include <cstdint>
#include <string>

namespace serverpeer {

struct Server
{
    std::int64_t pid = -1;
    std::string principal; // the uid in decimal (Linux), the token user's SID string (Windows)
};

// From the connected socket's native descriptor (QLocalSocket::socketDescriptor()). False with
// *error when the server cannot be told.
bool identify(std::intptr_t descriptor, Server *server, std::string *error);

// Whom the daemon runs as: "0" and "root" (Linux), "S-1-5-18" and "LocalSystem" (Windows).
std::string daemonPrincipal();
std::string daemonAccount();

} // namespace serverpeer
