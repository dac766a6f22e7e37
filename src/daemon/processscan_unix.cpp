// Processes on Linux, from /proc. An entry's name is the file name of its executable, or, where
// that link cannot be read, of the first word of its command line. A process is ended through a
// pidfd opened before it is looked at again, so a number that has meanwhile passed to another
// process is never signalled.

#include "daemon/processscan.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace processscan {

namespace {

std::string readSmallFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    std::string text;
    char buf[4096];
    ssize_t n;
    while (text.size() < 64 * 1024 && (n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, std::size_t(n));
    ::close(fd);
    return text;
}

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string executableName(const std::string &dir)
{
    char target[4096];
    const ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
        std::string path(target, std::size_t(n));
        static const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return baseName(path);
    }
    // Not ours to read, or a kernel thread (whose command line is empty).
    const std::string cmdline = readSmallFile(dir + "/cmdline");
    return baseName(cmdline.substr(0, cmdline.find('\0')));
}

// The process group and session of the process of that folder: the fifth and sixth fields of
// stat, counted after the command name, which may hold blanks and parentheses of its own.
bool groupAndSession(const std::string &dir, long long *group, long long *session)
{
    const std::string stat = readSmallFile(dir + "/stat");
    const auto close = stat.rfind(')');
    char state = 0;
    long long ppid = 0;
    return close != std::string::npos
        && std::sscanf(stat.c_str() + close + 1, " %c %lld %lld %lld", &state, &ppid, group, session) == 4;
}

// Reads what the sweep needs of /proc/<pid>; false when the process is gone.
bool readEntry(std::int64_t pid, Entry *entry)
{
    const std::string dir = "/proc/" + std::to_string(pid);
    const std::string status = readSmallFile(dir + "/status");
    const auto uidAt = status.find("\nUid:");
    if (uidAt == std::string::npos)
        return false;
    entry->pid = pid;
    entry->owner = std::uint32_t(std::strtoul(status.c_str() + uidAt + 5, nullptr, 10)); // the real uid
    entry->hasOwner = true;
    long long group = 0, session = -1;
    entry->consoleId = groupAndSession(dir, &group, &session) ? session : -1;
    entry->name = executableName(dir);
    return true;
}

// Whether the process of that folder has a descriptor of /dev/net/tun attached to the device.
bool holdsTun(const std::string &dir, const std::string &interfaceName)
{
    DIR *fds = ::opendir((dir + "/fd").c_str());
    if (!fds)
        return false;
    static const std::string Tun = "/dev/net/tun";
    const std::string attached = "\niff:\t" + interfaceName + "\n";
    bool held = false;
    for (const dirent *e; !held && (e = ::readdir(fds));) {
        char target[32];
        const ssize_t n = ::readlink((dir + "/fd/" + e->d_name).c_str(), target, sizeof target);
        held = n == ssize_t(Tun.size()) && Tun.compare(0, Tun.size(), target, std::size_t(n)) == 0
            && readSmallFile(dir + "/fdinfo/" + e->d_name).find(attached) != std::string::npos;
    }
    ::closedir(fds);
    return held;
}

std::int64_t numericName(const char *name)
{
    if (!name || !*name)
        return -1;
    std::int64_t value = 0;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return -1;
        value = value * 10 + (*c - '0');
    }
    return value;
}

} // namespace

const std::vector<std::string> &sweptNames()
{
    static const std::vector<std::string> names{"xray", "skirtnet"};
    return names;
}

struct Snapshot::Impl
{
    DIR *dir = nullptr;
};

Snapshot::Snapshot()
    : d(std::make_unique<Impl>())
{
}

Snapshot::~Snapshot()
{
    if (d->dir)
        ::closedir(d->dir);
}

bool Snapshot::take(long *error)
{
    d->dir = ::opendir("/proc");
    if (!d->dir) {
        *error = errno;
        return false;
    }
    return true;
}

bool Snapshot::first(Entry *entry, long *error)
{
    if (!d->dir) {
        *error = EBADF;
        return false;
    }
    ::rewinddir(d->dir);
    if (next(entry))
        return true;
    *error = ENOENT;
    return false;
}

bool Snapshot::next(Entry *entry)
{
    if (!d->dir)
        return false;
    // A process that ends while the table is read is passed over.
    while (const dirent *e = ::readdir(d->dir)) {
        const std::int64_t pid = numericName(e->d_name);
        if (pid > 0 && readEntry(pid, entry))
            return true;
    }
    return false;
}

bool groupHoldsTun(std::int64_t leader, const std::string &interfaceName)
{
    const std::string own = "/proc/" + std::to_string(leader);
    if (holdsTun(own, interfaceName))
        return true;
    // A core may leave the device to a process it starts: every process of its group counts.
    DIR *table = ::opendir("/proc");
    if (!table)
        return false;
    bool held = false;
    for (const dirent *e; !held && (e = ::readdir(table));) {
        const std::int64_t pid = numericName(e->d_name);
        const std::string dir = "/proc/" + std::to_string(pid);
        long long group = 0, session = 0;
        held = pid > 0 && pid != leader && groupAndSession(dir, &group, &session) && group == leader
            && holdsTun(dir, interfaceName);
    }
    ::closedir(table);
    return held;
}

struct Target::Impl
{
    int pidfd = -1;
    ~Impl()
    {
        if (pidfd >= 0)
            ::close(pidfd);
    }
};

Target::Target(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

Target::~Target() = default;

std::unique_ptr<Target> Target::open(const Entry &entry, long *error)
{
    auto impl = std::make_unique<Impl>();
    impl->pidfd = int(::syscall(SYS_pidfd_open, pid_t(entry.pid), 0));
    if (impl->pidfd < 0) {
        *error = errno;
        return nullptr;
    }
    // The pidfd holds on to one process; only if that is still the one looked at may it be ended.
    Entry now;
    if (!readEntry(entry.pid, &now) || now.name != entry.name || now.owner != entry.owner) {
        *error = ESRCH;
        return nullptr;
    }
    return std::unique_ptr<Target>(new Target(std::move(impl)));
}

bool Target::terminate(long *error)
{
    if (::syscall(SYS_pidfd_send_signal, d->pidfd, SIGKILL, nullptr, 0) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

} // namespace processscan
