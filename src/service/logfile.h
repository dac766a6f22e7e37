#pragma once
// File operations of the daemon's log, as one small platform layer. Paths are UTF-8.
// Nothing here follows a symbolic link at the last component of a path: a link where the
// log file should be is refused, never written through.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace logfile {

// Whose file-system rights an operation runs with. A client that chose the log path gets its
// own rights, so it can make the daemon write or delete only what it could itself.
struct Identity
{
    bool daemon = true;            // the daemon's own rights
    std::uint32_t uid = 0;         // Linux: applied with setfsuid/setfsgid on the calling thread
    std::uint32_t gid = 0;
    std::shared_ptr<void> token;   // Windows: an impersonation token
    // Linux: the supplementary groups the peer had when it connected; none when unknown.
    std::optional<std::vector<std::uint32_t>> groups;
};

// The identity of the process at the other end of an accepted connection (a socket
// descriptor on Linux, a pipe HANDLE on Windows). Nothing when it cannot be had (no peer
// credentials; on Windows a client that allows only identification or anonymous
// impersonation): then nothing at all may be done at that client's paths.
std::optional<Identity> identityOfPeer(std::intptr_t descriptor);

// Whether a client may name this path as its log file; *reason (when given) says why not.
// An absolute path; on Windows a plain drive path only (no "\\server\share", no device
// path "\\.\" or "\\?\" other than "\\?\C:\...").
bool clientPathAllowed(const std::string &path, std::string *reason = nullptr);

// Appends bytes to the file, creating it when absent. Line feeds become the platform's
// line end. Returns false when the file could not be opened or written. The open never
// blocks on what is at the path (a FIFO, a device), and only a regular file with one link
// is written; for a client identity the file must also be the client's own. The operations
// of a client identity run without the daemon's supplementary groups (Linux) and fail,
// doing nothing, when that identity cannot be taken on.
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
