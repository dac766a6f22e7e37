#include "daemon/execfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace execfile {

namespace {

// Why the client could change the object open at fd, or an empty text; asked on a thread that
// holds the client's identity. The kernel's answer counts the ACL and every group of the
// thread; the owner is asked about apart, as it may give itself any right.
std::string writableReason(int fd, const struct stat &st, uid_t uid)
{
    if (st.st_uid == uid)
        return "its owner";
    // faccessat2: the plain call (and glibc's fallback to it) would judge with the real uid, root.
    if (::syscall(SYS_faccessat2, fd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == 0)
        return "it may write to it";
    if (errno != EACCES && errno != EROFS && errno != EPERM)
        return std::string("its rights cannot be checked: ") + std::strerror(errno);
    return std::string();
}

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(-1); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

bool fail(std::string *reason, const std::string &text)
{
    if (reason)
        *reason = text;
    return true;
}

} // namespace

std::string defaultPolicyPath()
{
    return "/etc/tarnd/tarnd.conf";
}

bool asClient(const logfile::Identity &client, const std::function<void()> &work)
{
    if (client.daemon || !client.groups)
        return false;
    bool taken = false;
    // A thread of its own: the identity ends with it, whatever work does.
    try {
        std::thread([&] {
            const std::vector<gid_t> groups(client.groups->begin(), client.groups->end());
            // glibc's setgroups() changes every thread of the process; the system call only this one.
            if (::syscall(SYS_setgroups, groups.size(), groups.data()) != 0)
                return;
            ::setfsgid(client.gid);
            ::setfsuid(client.uid);
            // Both calls report the previous value, never a failure: ask again to know.
            taken = uid_t(::setfsuid(uid_t(-1))) == client.uid && gid_t(::setfsgid(gid_t(-1))) == client.gid;
            if (taken)
                work();
        }).join();
    } catch (const std::system_error &) {
        return false; // no thread to be had: refused, like an identity not taken on
    }
    return taken;
}

bool mayNotRun(const std::string &file, const std::string &folder, const logfile::Identity &client,
               std::string *reason)
{
    if (client.daemon)
        return fail(reason, "cannot be checked: the client's identity cannot be had");
    const std::string prefix = folder == "/" ? folder : folder + "/";
    if (folder.empty() || folder.front() != '/' || file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0)
        return fail(reason, "is not inside " + folder);
    if (::setfsuid(uid_t(-1)) != int(client.uid))
        return fail(reason, "cannot be checked: not asked with the client's identity");

    // A root client can change every file; refusing what it could change would refuse it
    // everything, and it gains no rights from the daemon. It still gets only regular files.
    const bool checkRights = client.uid != 0;

    // Walk down from the allowed folder, each step opened relative to the last without following a
    // link, so the objects examined are the ones on the path and none can be swapped in between.
    // O_PATH: nothing is read, so a folder or file the client may only search or run is checked
    // too, and a FIFO is not waited on.
    Fd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return fail(reason, "cannot be checked: " + folder + ": " + std::strerror(errno));
    std::string current = folder;
    std::size_t start = prefix.size();
    while (true) {
        struct stat st;
        if (::fstat(dir.get(), &st) != 0)
            return fail(reason, "cannot be checked: " + current + ": " + std::strerror(errno));
        if (checkRights) {
            const std::string why = writableReason(dir.get(), st, client.uid);
            if (!why.empty())
                return fail(reason, "is in a folder writable by the client: " + current + " (" + why + ")");
        }
        const std::size_t slash = file.find('/', start);
        if (slash == std::string::npos)
            break;
        const std::string part = file.substr(start, slash - start);
        const int next = ::openat(dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return fail(reason, "cannot be checked: " + file.substr(0, slash) + ": " + std::strerror(errno));
        dir.reset(next);
        current = file.substr(0, slash);
        start = slash + 1;
    }

    Fd fd(::openat(dir.get(), file.c_str() + start, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        return fail(reason, std::string("cannot be opened: ") + std::strerror(errno));
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return fail(reason, std::string("cannot be checked: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(reason, "is not a regular file");
    if (checkRights) {
        const std::string why = writableReason(fd.get(), st, client.uid);
        if (!why.empty())
            return fail(reason, "is writable by the client (" + why + ")");
        // The daemon runs it with its own rights: never what the client may not run itself.
        if (::syscall(SYS_faccessat2, fd.get(), "", X_OK, AT_EACCESS | AT_EMPTY_PATH) != 0)
            return fail(reason, errno == EACCES ? std::string("is not the client's to run")
                                                : std::string("its rights cannot be checked: ") + std::strerror(errno));
    }
    return false;
}

bool folderWritableBy(const std::string &, const logfile::Identity &, std::string *)
{
    // The dynamic loader never looks in the working folder, and a child gets no environment of
    // the client's: what the client may write there brings no code into the child.
    return false;
}

} // namespace execfile
