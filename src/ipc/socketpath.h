#pragma once
// Where the socket of a session lives, and the right to serve it.
//   Windows: the named pipe \\.\pipe\<base>-<session>.
//   Linux:   <dir>/<base>-<session>, dir being $RUNTIME_DIRECTORY (set by systemd for the
//            service) or /run/tarnd. A base that holds a '/' is itself the path prefix.
// Main thread; nothing here waits on another process.

#include <cstdint>
#include <memory>
#include <string>

namespace socketpath {

std::string socketPath(const std::string &base, std::uint32_t session);

// Makes sure the folder that holds the socket can be trusted with it, creating it when absent
// (Linux): a real folder (not a link), owned by the daemon's user, writable by nobody else, so
// that no other user can replace or redirect the socket. False, with *error saying what is
// wrong, otherwise; then the socket must not be served.
bool prepare(const std::string &socketPath, std::string *error);

// The right to serve one socket, held for the life of the object: a lock beside the socket
// (Linux); on Windows the pipe's first instance itself, which only one process can make, so the
// claim is always had here and a name held by another process fails the listen instead. Null,
// with *error, when another process holds it: that process serves the socket, which must then
// be left alone.
class Claim
{
public:
    virtual ~Claim() = default;
};
std::unique_ptr<Claim> claim(const std::string &socketPath, std::string *error);

} // namespace socketpath
