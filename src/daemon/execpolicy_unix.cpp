#include "daemon/execfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace execfile {

namespace {

// The groups whose write bit reaches the client: its own gid and, from the group database, the
// supplementary groups of its user. The peer's credentials carry no supplementary groups, so the
// database stands in for them. Nothing when the database cannot be read.
std::optional<std::vector<gid_t>> groupsOf(uid_t uid, gid_t gid)
{
    struct passwd pw;
    struct passwd *found = nullptr;
    std::vector<char> buffer(4096);
    int rc;
    while ((rc = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found)) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (rc != 0)
        return std::nullopt;
    if (!found) // no user of that number: no supplementary groups either
        return std::vector<gid_t>{gid};
    int count = 64;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 8; ++attempt) {
        groups.resize(std::size_t(count));
        const int asked = count;
        if (::getgrouplist(found->pw_name, gid, groups.data(), &count) >= 0) {
            groups.resize(std::size_t(count));
            return groups; // gid among them
        }
        count = std::max(count, asked * 2); // too small: count now says how many there are
    }
    return std::nullopt;
}

// Why the client could change the object, or an empty text.
std::string writableReason(const struct stat &st, uid_t uid, const std::vector<gid_t> &groups)
{
    if (st.st_uid == uid)
        return "its owner"; // an owner can chmod whatever it owns
    if ((st.st_mode & S_IWGRP) && std::find(groups.begin(), groups.end(), st.st_gid) != groups.end())
        return "group-writable, group " + std::to_string(st.st_gid);
    if (st.st_mode & S_IWOTH)
        return "writable by everyone";
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

bool writableBy(const std::string &file, const std::string &folder, const logfile::Identity &client,
                std::string *reason)
{
    if (client.daemon)
        return fail(reason, "cannot be checked: the client's identity cannot be had");
    const std::string prefix = folder == "/" ? folder : folder + "/";
    if (folder.empty() || folder.front() != '/' || file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0)
        return fail(reason, "is not inside " + folder);

    // A root client can change every file; refusing what it could change would refuse it
    // everything, and it gains no rights from the daemon. It still gets only regular files.
    const bool checkRights = client.uid != 0;
    std::vector<gid_t> groups;
    if (checkRights) {
        const auto found = groupsOf(client.uid, client.gid);
        if (!found)
            return fail(reason, "cannot be checked: the client's groups cannot be had");
        groups = *found;
    }

    // Walk down from the allowed folder, each step opened relative to the last without following a
    // link, so the objects examined are the ones on the path and none can be swapped in between.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return fail(reason, "cannot be checked: " + folder + ": " + std::strerror(errno));
    std::string current = folder;
    std::size_t start = prefix.size();
    while (true) {
        struct stat st;
        if (::fstat(dir.get(), &st) != 0)
            return fail(reason, "cannot be checked: " + current + ": " + std::strerror(errno));
        if (checkRights) {
            const std::string why = writableReason(st, client.uid, groups);
            if (!why.empty())
                return fail(reason, "is in a folder writable by the client: " + current + " (" + why + ")");
        }
        const std::size_t slash = file.find('/', start);
        if (slash == std::string::npos)
            break;
        const std::string part = file.substr(start, slash - start);
        const int next = ::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return fail(reason, "cannot be checked: " + file.substr(0, slash) + ": " + std::strerror(errno));
        dir.reset(next);
        current = file.substr(0, slash);
        start = slash + 1;
    }

    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    Fd fd(::openat(dir.get(), file.c_str() + start, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return fail(reason, std::string("cannot be opened: ") + std::strerror(errno));
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return fail(reason, std::string("cannot be checked: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(reason, "is not a regular file");
    if (checkRights) {
        const std::string why = writableReason(st, client.uid, groups);
        if (!why.empty())
            return fail(reason, "is writable by the client (" + why + ")");
    }
    return false;
}

bool folderWritableBy(const std::string &folder, const logfile::Identity &client, std::string *reason)
{
    if (client.daemon)
        return fail(reason, "cannot be checked: the client's identity cannot be had");
    if (folder.empty() || folder.front() != '/')
        return fail(reason, "is not an absolute path");
    if (client.uid == 0)
        return false;
    const auto groups = groupsOf(client.uid, client.gid);
    if (!groups)
        return fail(reason, "cannot be checked: the client's groups cannot be had");
    // Down from the root, each step opened relative to the last without following a link.
    Fd dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string current = "/";
    std::size_t start = 1;
    while (true) {
        struct stat st;
        if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0)
            return fail(reason, "cannot be checked: " + current + ": " + std::strerror(errno));
        const std::string why = writableReason(st, client.uid, *groups);
        if (!why.empty() && current == folder)
            return fail(reason, "is writable by the client (" + why + ")");
        if (!why.empty())
            return fail(reason, "is in a folder writable by the client: " + current + " (" + why + ")");
        if (start >= folder.size())
            return false;
        const std::size_t end = std::min(folder.find('/', start), folder.size());
        dir.reset(::openat(dir.get(), folder.substr(start, end - start).c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        current = folder.substr(0, end);
        start = end + 1;
    }
}

} // namespace execfile
