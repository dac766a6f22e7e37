// The Linux side of the test child: signals, fork and TUN devices.

#include "childhelper.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern char **environ;

namespace child {
namespace {
void (*g_onInterrupt)();
}

void put(int stream, const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        const ssize_t w = write(stream, text.data() + at, text.size() - at);
        if (w <= 0)
            _exit(99);
        at += size_t(w);
    }
}

size_t readIn(char *buf, size_t n) { return size_t(std::max<ssize_t>(read(0, buf, n), 0)); }

void appendTo(const std::string &path, const std::string &text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, text.data(), text.size());
        close(fd);
    }
}

std::vector<std::string> environment()
{
    std::vector<std::string> all;
    for (char **e = environ; *e; ++e)
        all.emplace_back(*e);
    return all;
}

std::string argsNote() { return {}; }

void idle() { for (;;) pause(); }

void onInterrupt(void (*handler)())
{
    g_onInterrupt = handler;
    std::signal(SIGINT, [](int) { g_onInterrupt(); });
}

long long startGrandchild(bool hold)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t gc = fork();
    if (gc == 0) {
        std::signal(SIGINT, SIG_IGN);
        const int null = hold ? -1 : open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3 && null >= 0; ++fd)
            dup2(null, fd);
        close(ready[0]);
        close(ready[1]); // the leader speaks only once the grandchild is set up
        idle();
    }
    close(ready[1]);
    for (char c; read(ready[0], &c, 1) > 0;) {
    }
    close(ready[0]);
    return gc;
}

long long ownPid() { return getpid(); }

bool holdTun(const std::string &name)
{
    const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return fd >= 0 && ::ioctl(fd, TUNSETIFF, &request) == 0; // the device lives while this process does
}
int platformMode(const std::vector<std::string> &) { return -1; }

} // namespace child

int main(int argc, char **argv)
{
    return child::run({argv, argv + argc});
}
