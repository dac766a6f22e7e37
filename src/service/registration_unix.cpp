// Registration with systemd: a demand-started Type=notify unit, and a polkit rule that lets the
// active local users start and stop it (as the Windows service's access list lets any
// signed-in user). systemctl is run as a program with an argument list, never through a shell.

#include "service/registration.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace registration {

namespace {

// A path as systemd reads one word of ExecStart: quoted, with its escapes and specifiers.
std::string unitQuoted(const std::string &path)
{
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\')
            out += '\\';
        else if (c == '%' || c == '$')
            out += c; // "%%" and "$$" are the characters themselves
        out += c;
    }
    return out + "\"";
}

std::string unitText(const std::string &executable)
{
    return "# Written by tarnd --register; removed by tarnd --unregister.\n"
           "[Unit]\n"
           "Description=Tarn Proxy Client Service\n"
           "After=network.target dbus.service systemd-logind.service\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "NotifyAccess=main\n"
           "ExecStart=" + unitQuoted(executable) + "\n"
           // A crash, and the quit that makes room for a newer binary, both bring it back;
           // a stop does not.
           "Restart=always\n"
           "RestartSec=1\n"
           // Its own graceful stop first (10 s for the children, then the clients' last
           // output), then everything left in the control group.
           "KillMode=control-group\n"
           "TimeoutStopSec=45\n"
           "RuntimeDirectory=tarnd\n"
           "RuntimeDirectoryMode=0755\n"
           "LimitNOFILE=65536\n"
           // The children are proxy cores that need the network, TUN devices and the users'
           // files, so the sandbox keeps only what none of them needs.
           "ProtectSystem=full\n"
           "ProtectKernelModules=yes\n"
           "ProtectControlGroups=yes\n"
           "ProtectClock=yes\n"
           "ProtectHostname=yes\n"
           "RestrictRealtime=yes\n"
           "LockPersonality=yes\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string polkitText()
{
    return std::string("// Written by tarnd --register; removed by tarnd --unregister.\n"
                       "// Active local users may start and stop the tarnd service.\n"
                       "polkit.addRule(function(action, subject) {\n"
                       "    if (action.id == \"org.freedesktop.systemd1.manage-units\" &&\n"
                       "        action.lookup(\"unit\") == \"") +
        UnitName +
        "\" &&\n"
        "        subject.active && subject.local) {\n"
        "        var verb = action.lookup(\"verb\");\n"
        "        if (verb == \"start\" || verb == \"stop\" || verb == \"restart\")\n"
        "            return polkit.Result.YES;\n"
        "    }\n"
        "});\n";
}

bool writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Creates path with text; false with errno when it cannot (EEXIST with exclusive).
bool writeFile(const std::string &path, const std::string &text, bool exclusive)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : O_TRUNC),
                          0644);
    if (fd < 0)
        return false;
    const bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(path.c_str());
        errno = error;
    }
    return ok;
}

bool isDirectory(const std::string &path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// systemctl with these arguments, found on PATH; its exit code, or -1.
int systemctl(std::vector<std::string> args)
{
    args.insert(args.begin(), "systemctl");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void reloadIfRunning(const Places &places)
{
    if (isDirectory(places.systemdRunning))
        systemctl({"daemon-reload"});
}

} // namespace

std::string executablePath()
{
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return {};
        if (size_t(n) < buf.size())
            return std::string(buf.data(), size_t(n));
        buf.resize(buf.size() * 2); // cut off: try again with room for all of it
    }
}

std::string install(const Places &places, const std::string &executable)
{
    if (executable.empty() || executable[0] != '/')
        return "Failed to get module file name";
    // A line break would end ExecStart and begin a line of the caller's choosing.
    if (executable.find_first_of("\n\r") != std::string::npos)
        return "Failed to create service";
    const std::string unit = places.unitDir + "/" + UnitName;
    if (!writeFile(unit, unitText(executable), true))
        return errno == EEXIST ? "Service already exists" : "Failed to open Service Control Manager";
    // Without polkit (no folder of its own) no rule is needed.
    const std::string polkitHome = places.polkitDir.substr(0, places.polkitDir.rfind('/'));
    const bool polkit = isDirectory(places.polkitDir)
        || (isDirectory(polkitHome) && ::mkdir(places.polkitDir.c_str(), 0755) == 0);
    if (polkit && !writeFile(places.polkitDir + "/" + PolkitRuleName, polkitText(), false)) {
        ::unlink(unit.c_str());
        return "Failed to create service";
    }
    reloadIfRunning(places);
    return {};
}

std::string uninstall(const Places &places)
{
    const std::string unit = places.unitDir + "/" + UnitName;
    struct stat st{};
    if (::lstat(unit.c_str(), &st) != 0)
        return errno == ENOENT ? "Failed to open service" : "Failed to open Service Control Manager";
    if (isDirectory(places.systemdRunning))
        systemctl({"stop", UnitName}); // not waited on beyond systemctl's own wait
    if (::unlink(unit.c_str()) != 0)
        return "Failed to delete service";
    const std::string rule = places.polkitDir + "/" + PolkitRuleName;
    if (::unlink(rule.c_str()) != 0 && errno != ENOENT)
        return "Failed to delete service";
    reloadIfRunning(places);
    return {};
}

int runCommand(int argc, char **argv, const Places &places)
{
    if (argc < 2)
        return -1;
    const std::string mode = argv[1];
    if (mode == "--register") {
        const std::string failure = install(places, executablePath());
        if (!failure.empty()) {
            std::fprintf(stderr, "Failed to register service: %s\n", failure.c_str());
            return 1;
        }
        std::printf("Service registered successfully\n");
        return 0;
    }
    if (mode == "--unregister") {
        const std::string failure = uninstall(places);
        if (!failure.empty()) {
            std::fprintf(stderr, "Failed to unregister service: %s\n", failure.c_str());
            return 1;
        }
        std::printf("Service unregistered successfully\n");
        return 0;
    }
    return -1;
}

} // namespace registration
