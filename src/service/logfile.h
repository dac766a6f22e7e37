#pragma once
// File operations of the daemon's log, as one small platform layer. Paths are UTF-8.
// Nothing here follows a symbolic link at the last component of a path: a link where the
// log file should be is refused, never written through.

#include <cstdint>
#include <memory>
#include <string>

namespace logfile {

// Whose file-system rights an operation runs with. A client that chose the log path gets its
// own rights, so it can make the daemon write or delete only what it could itself.
struct Identity
{
    bool daemon = true;            // the daemon's own rights
    std::uint32_t uid = 0;         // Linux: applied with setfsuid/setfsgid on the calling thread
    std::uint32_t gid = 0;
    std::shared_ptr<void> token;   // Windows: an impersonation token
};

// The identity of the process at the other end of an accepted connection (a socket
// descriptor on Linux, a pipe HANDLE on Windows); the daemon's own when it cannot be had.
Identity identityOfPeer(std::intptr_t descriptor);

// Appends bytes to the file, creating it when absent. Line feeds become the platform's
// line end. Returns false when the file could not be opened or written.
bool append(const std::string &path, const std::string &bytes, const Identity &as = Identity());

// Size in bytes of a regular file, or -1 when there is none at that path.
std::int64_t size(const std::string &path, const Identity &as = Identity());

// True when something (file, link, folder) exists at the path itself.
bool exists(const std::string &path, const Identity &as = Identity());

bool remove(const std::string &path, const Identity &as = Identity());

// Replaces `to` by `from`.
bool rename(const std::string &from, const std::string &to, const Identity &as = Identity());

// Creates the folder and its missing parents.
bool makePath(const std::string &dir, const Identity &as = Identity());

} // namespace logfile
