// The Linux entry: "--register" and "--unregister" (registration_unix.cpp), or else the host
// of the run body, the way a systemd Type=notify service runs: SIGTERM and
// SIGINT are the stop control, SIGUSR1 the "shut clients down" control, and readiness and
// stopping are told to systemd over $NOTIFY_SOCKET.

#include "service/logging.h"
#include "service/registration.h"
#include "service/rundaemon.h"
#include "service/servicehost.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int signo)
{
    // Only async-signal-safe work here: the byte is read on the main thread.
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &b, 1);
    errno = saved;
}

// One datagram to systemd; silently nothing when not run by systemd.
void notifySystemd(const char *state)
{
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path || std::strlen(path) >= sizeof(sockaddr_un::sun_path))
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path, std::strlen(path));
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0'; // abstract namespace
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(path));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr), len);
    ::close(fd);
}

class LinuxHost : public ServiceControl
{
public:
    LinuxHost()
    {
        // Each child costs about eight descriptors (pipes, its watch, two threads'); the soft
        // limit of 1024 a service starts with would cap the daemon near a hundred children.
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
        // Output moves through buffers of up to a mebibyte each (event frames, socket queues).
        // glibc would map and unmap each of them, faulting its pages in afresh every time;
        // kept on the heap, they are reused, and what stays resident is bounded by the trim
        // threshold.
        ::mallopt(M_MMAP_THRESHOLD, 8 * 1024 * 1024);
        ::mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        struct sigaction sa{};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (int s : {SIGTERM, SIGINT, SIGUSR1})
            ::sigaction(s, &sa, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
    }

    void setCustomControlHandler(std::function<void(quint32)> handler) override
    {
        m_customControl = std::move(handler);
        if (m_customControl)
            watchSignals();
    }
    void reportRunning() override
    {
        watchSignals();
        notifySystemd("READY=1");
    }
    void reportStopped(quint32 exitCode) override
    {
        m_exitCode = static_cast<int>(exitCode);
        m_notifier.reset();
    }
    int exitCode() const { return m_exitCode; }

private:
    // The notifier needs the application object, which the run body creates.
    void watchSignals()
    {
        if (m_notifier || g_signalPipe[0] < 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { drainSignals(); });
    }

    void drainSignals()
    {
        unsigned char b;
        while (::read(g_signalPipe[0], &b, 1) == 1) {
            if (b == SIGUSR1) {
                if (m_customControl)
                    m_customControl(ShutdownClientsControl);
            } else if (!m_stopping.exchange(true)) {
                // A second stop while stopping does nothing.
                notifySystemd("STOPPING=1");
                requestDaemonStop();
            }
        }
    }

    std::function<void(quint32)> m_customControl;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::atomic<bool> m_stopping{false};
    int m_exitCode = 0;
};

} // namespace

int runServiceHost(int argc, char **argv)
{
    const int command = registration::runCommand(argc, argv);
    if (command >= 0)
        return command;
    LinuxHost host;
    runDaemon(argc, argv, host);
    return host.exitCode();
}
