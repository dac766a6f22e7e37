#include "ipc/serverpeer.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace serverpeer {

bool identify(std::intptr_t descriptor, Server *server, std::string *error)
{
    // On the connecting end these are the credentials the listener had when it began to listen.
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        *error = std::string("SO_PEERCRED: ") + std::strerror(errno);
        return false;
    }
    server->pid = cred.pid;
    server->principal = std::to_string(cred.uid);
    return true;
}

std::string daemonPrincipal()
{
    return "0";
}

std::string daemonAccount()
{
    return "root";
}

} // namespace serverpeer
