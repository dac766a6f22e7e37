#pragma once
// Which user sessions get a socket, which session a process belongs to, and who is at the other
// end of an accepted connection: one small platform layer (plain C++, strings in UTF-8).
//   Windows: Terminal Services sessions, named-pipe client queries, process tokens.
//   Linux:   logind sessions over D-Bus, SO_PEERCRED; one session (1) when logind is absent.

#include <cstdint>
#include <string>
#include <vector>

namespace sessions {

struct SessionInfo
{
    std::uint32_t id = 0;
    std::string user;      // never empty in a listed session; for log lines only
    std::string principal; // who the session belongs to, compared exactly: the uid in decimal
                           // (Linux), the user's SID string (Windows)
};

// The sessions that get a socket, in enumeration order. Windows: not session 0, state active or
// connected, with a non-empty user name. False (with *error set) when the enumeration failed.
bool listActive(std::vector<SessionInfo> &out, std::string *error);

// The session that process pid belongs to. False when it cannot be told. Linux: a session
// scope counts only under the slice of the process's own uid. May ask logind (blocking, at
// most a few seconds) when the process is outside any session scope.
bool sessionOfProcess(std::int64_t pid, std::uint32_t *session);

struct PeerInfo
{
    std::int64_t pid = -1;
    std::string user;        // account name of the peer, for log lines only
    std::string principal;   // as in SessionInfo: the peer's uid (Linux) / token user SID (Windows)
    bool privileged = false; // root / LocalSystem
    bool hasSession = false; // Windows: the pipe's client session, from peerOf; Linux: left to
                             // the caller (sessionOfProcess), once the principal matches
    std::uint32_t session = 0;
    std::uint32_t uid = 0;   // Linux only: the peer's uid and gid
    std::uint32_t gid = 0;
};

// Who is at the other end of an accepted connection, from the connection's native descriptor
// (QLocalSocket::socketDescriptor(): a socket on Linux, a pipe HANDLE on Windows). Cheap and
// never blocking: the kernel's peer credentials (Linux), the pipe client's own token taken by
// impersonation (Windows); the user is named from the machine's own accounts only, never by a
// directory service. False when the identity cannot be had; then nothing is admitted.
bool peerOf(std::intptr_t descriptor, PeerInfo *peer);

// The user this process runs as, as a session would name it (user and principal; id left 0).
// False when it cannot be had.
bool ownIdentity(SessionInfo *self);

// Human-readable name of the source in use ("logind", "single session", "Terminal Services").
std::string sourceName();

} // namespace sessions
