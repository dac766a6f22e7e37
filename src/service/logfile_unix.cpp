#include "service/logfile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logfile {

namespace {

// Takes on the file-system identity for the life of the guard, on this thread only (the
// kernel keeps fsuid per thread), and drops the daemon's file capabilities with it.
class AsIdentity
{
public:
    explicit AsIdentity(const Identity &as)
        : m_active(!as.daemon)
    {
        if (!m_active)
            return;
        m_gid = static_cast<gid_t>(::setfsgid(as.gid));
        m_uid = static_cast<uid_t>(::setfsuid(as.uid));
    }
    ~AsIdentity()
    {
        if (!m_active)
            return;
        ::setfsuid(m_uid);
        ::setfsgid(m_gid);
    }
    AsIdentity(const AsIdentity &) = delete;
    AsIdentity &operator=(const AsIdentity &) = delete;

private:
    bool m_active;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

} // namespace

std::optional<Identity> identityOfPeer(std::intptr_t descriptor)
{
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0)
        return std::nullopt;
    Identity id;
    id.daemon = false;
    id.uid = cred.uid;
    id.gid = cred.gid;
    return id;
}

bool clientPathAllowed(const std::string &path, std::string *reason)
{
    if (path.empty() || path.front() != '/') {
        if (reason)
            *reason = "not an absolute path";
        return false;
    }
    return true;
}

bool append(const std::string &path, const std::string &bytes, const Identity &as)
{
    AsIdentity guard(as);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // O_APPEND with one write per line keeps lines whole even with other writers.
    const char *data = bytes.data();
    std::size_t left = bytes.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ok;
}

std::int64_t size(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

bool exists(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool remove(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    return ::unlink(path.c_str()) == 0;
}

bool rename(const std::string &from, const std::string &to, const Identity &as)
{
    AsIdentity guard(as);
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool makePath(const std::string &dir, const Identity &as)
{
    if (dir.empty())
        return false;
    AsIdentity guard(as);
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace logfile
