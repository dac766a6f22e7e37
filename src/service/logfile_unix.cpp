#include "service/logfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace logfile {

namespace {

// Takes on the file-system identity for the life of the guard, on this thread only (the
// kernel keeps fsuid and, through the raw call, the group list per thread), and drops the
// daemon's supplementary groups with it: root's groups would otherwise still open files of
// those groups for the client.
class AsIdentity
{
public:
    explicit AsIdentity(const Identity &as)
        : m_active(!as.daemon)
    {
        if (!m_active)
            return;
        const int count = ::getgroups(0, nullptr);
        if (count > 0) {
            m_groups.resize(static_cast<std::size_t>(count));
            m_groups.resize(static_cast<std::size_t>(std::max(0, ::getgroups(count, m_groups.data()))));
        }
        // glibc's setgroups() changes every thread of the process; the system call only this one.
        if (::syscall(SYS_setgroups, 0, nullptr) == 0)
            m_groupsDropped = true;
        else if (::geteuid() == 0)
            return; // groups that could not be shed: refuse rather than act with them
        m_gid = static_cast<gid_t>(::setfsgid(as.gid));
        m_uid = static_cast<uid_t>(::setfsuid(as.uid));
        // Both calls report the previous value, never a failure: ask again to know.
        m_taken = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == as.uid
            && static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) == as.gid;
    }
    ~AsIdentity()
    {
        if (!m_active)
            return;
        ::setfsuid(m_uid);
        ::setfsgid(m_gid);
        if (m_groupsDropped)
            ::syscall(SYS_setgroups, m_groups.size(), m_groups.data());
    }
    AsIdentity(const AsIdentity &) = delete;
    AsIdentity &operator=(const AsIdentity &) = delete;

    // False when a client identity could not be taken on: then nothing may be done.
    bool ok() const { return !m_active || m_taken; }

private:
    bool m_active;
    bool m_taken = false;
    bool m_groupsDropped = false;
    std::vector<gid_t> m_groups;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

// The log file itself, opened without ever waiting on what is at the path: a FIFO without a
// reader fails at once, one with a reader or a device is refused after the open.
int openLogFile(const std::string &path, const Identity &as)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
        return -1;
    struct stat st;
    const bool acceptable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1
        && (as.daemon || st.st_uid == as.uid);
    if (!acceptable || ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

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
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        len = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            id.groups.emplace(groups.begin(), groups.begin() + len / sizeof(gid_t));
            break;
        }
        if (errno != ERANGE)
            break;
        groups.resize(len / sizeof(gid_t) + 1); // len now says how many there are
    }
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
    if (!guard.ok())
        return false;
    const int fd = openLogFile(path, as);
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
    if (!guard.ok() || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

bool exists(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    struct stat st;
    return guard.ok() && ::lstat(path.c_str(), &st) == 0;
}

bool remove(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    return guard.ok() && ::unlink(path.c_str()) == 0;
}

bool rename(const std::string &from, const std::string &to, const Identity &as)
{
    AsIdentity guard(as);
    return guard.ok() && ::rename(from.c_str(), to.c_str()) == 0;
}

bool makePath(const std::string &dir, const Identity &as)
{
    if (dir.empty())
        return false;
    AsIdentity guard(as);
    if (!guard.ok())
        return false;
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
