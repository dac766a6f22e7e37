#include "ipc/socketpath.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace socketpath {

namespace {

std::string runtimeDir()
{
    // systemd may pass several folders separated by colons; the first is ours.
    if (const char *env = std::getenv("RUNTIME_DIRECTORY"); env && *env) {
        std::string dir(env);
        return dir.substr(0, dir.find(':'));
    }
    return "/run/tarnd";
}

class LockClaim : public Claim
{
public:
    explicit LockClaim(int fd) : m_fd(fd) {}
    ~LockClaim() override { ::close(m_fd); }

private:
    int m_fd;
};

} // namespace

std::string socketPath(const std::string &base, std::uint32_t session)
{
    const std::string name = base + "-" + std::to_string(session);
    if (base.find('/') != std::string::npos)
        return name;
    return runtimeDir() + "/" + name;
}

bool prepare(const std::string &path, std::string *error)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "the socket folder " + dir + " cannot be made: " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) {
        *error = "the socket folder " + dir + " cannot be examined: " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode))
        *error = "the socket folder " + dir + " is not a folder (a link, or a file)";
    else if (st.st_uid != ::geteuid())
        *error = "the socket folder " + dir + " belongs to uid " + std::to_string(st.st_uid) + ", not to the daemon's";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        *error = "the socket folder " + dir + " is writable by other users";
    return error->empty();
}

std::unique_ptr<Claim> claim(const std::string &path, std::string *error)
{
    const std::string lock = path + ".lock";
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = lock + " cannot be opened: " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? "it is served by another process" : std::string("lock: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<LockClaim>(fd);
}

} // namespace socketpath
