#include "ipc/socketpath.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

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

} // namespace

std::string socketPath(const std::string &base, std::uint32_t session)
{
    const std::string name = base + "-" + std::to_string(session);
    if (base.find('/') != std::string::npos)
        return name;
    return runtimeDir() + "/" + name;
}

bool prepare(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace socketpath
