// Children on Linux: posix_spawn with three pipes, the child in a session and process group of
// its own (its "console"), SIGINT to that group as the Ctrl+C and SIGKILL as the forced end.
// The exit is watched through a pidfd and the output through poll(): nothing here polls on a
// timer.
//
// The exit is seen without reaping the child (waitid with WNOWAIT): until the record lets go
// of it, the zombie keeps its number and so its process group addressable, and a grandchild
// left in the group is still reached by a signal to the group.

#include "process/childprocess.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace childprocess {

namespace {

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void signalEventFd(int fd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

// Reads what the pipe holds now, up to max bytes. False at end of file or on a hard error.
bool drainPipe(int fd, std::string &into, std::size_t max)
{
    char buf[64 * 1024];
    std::size_t got = 0;
    while (got < max) {
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, max - got));
        if (n > 0) {
            into.append(buf, static_cast<std::size_t>(n));
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

// What the service manager tells the daemon about itself (its notify socket, its invocation,
// its folders, its watchdog, the sockets it passed) describes the daemon, not the children:
// a child that acted on it would speak to systemd in the daemon's name.
bool serviceOwnVariable(const char *entry)
{
    static const char *const names[] = {"NOTIFY_SOCKET=",     "INVOCATION_ID=",     "RUNTIME_DIRECTORY=",
                                        "STATE_DIRECTORY=",   "CACHE_DIRECTORY=",   "LOGS_DIRECTORY=",
                                        "CONFIGURATION_DIRECTORY=", "CREDENTIALS_DIRECTORY=",
                                        "JOURNAL_STREAM=",    "SYSTEMD_EXEC_PID=",  "LISTEN_",
                                        "WATCHDOG_"};
    for (const char *name : names)
        if (std::strncmp(entry, name, std::strlen(name)) == 0)
            return true;
    return false;
}

std::vector<char *> childEnvironment()
{
    std::vector<char *> env;
    for (char **e = environ; e && *e; ++e)
        if (!serviceOwnVariable(*e))
            env.push_back(*e);
    env.push_back(nullptr);
    return env;
}

bool holdsNul(const std::string &s)
{
    return s.find('\0') != std::string::npos;
}

} // namespace

struct Child::Impl
{
    pid_t pid = -1;
    int pidfd = -1;
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
    int stopWait = -1; // eventfd: releases waitForExit
    int wakeRead = -1; // eventfd: releases readOutput
    std::atomic<bool> exited{false}; // seen by waitForExit; still a zombie until reaped
    std::atomic<bool> reaped{false};
    std::atomic<bool> waitStopped{false};
    std::atomic<bool> terminated{false};
    std::atomic<long> error{0};

    ~Impl()
    {
        for (int *fd : {&pidfd, &stdinFd, &stdoutFd, &stderrFd, &stopWait, &wakeRead})
            closeFd(*fd);
        if (pid <= 0 || reaped.load())
            return;
        if (exited.load()) {
            // The supervision of this child ends here: whatever it left in its group goes with
            // it, while the zombie still holds the group's number.
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return;
        }
        // A child that outlives its record is still reaped, so it leaves no zombie behind.
        const pid_t p = pid;
        if (::waitpid(p, nullptr, WNOHANG) != 0)
            return;
        try {
            std::thread([p] { ::waitpid(p, nullptr, 0); }).detach();
        } catch (const std::system_error &) {
            // No thread to be had: a zombie left behind costs less than the daemon.
        }
    }
};

Child::Child(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

Child::~Child() = default;

void lowerReaderPriority()
{
    // Ten steps, about a tenth of the main thread's weight: other clients' round trips while a
    // child floods stayed within 1.32 of idle at the median (five steps: up to 1.47, at the
    // main thread's priority up to 2.5), and the flood went no slower. A reader that
    // competes with busy threads of other processes still gets its turn, only less often.
    constexpr int Steps = 10;
    const id_t self = id_t(::syscall(SYS_gettid));
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, self);
    if (now == -1 && errno != 0)
        return;
    ::setpriority(PRIO_PROCESS, self, std::min(now + Steps, 19));
}

std::unique_ptr<Child> Child::launch(const LaunchSpec &spec, LaunchError *error)
{
    // A write to the stdin of a child that has gone must fail, not end the daemon.
    static const bool sigpipeIgnored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipeIgnored;

    const auto fail = [error](const char *step, int code) {
        if (error) {
            error->step = step;
            error->code = code;
        }
        return std::unique_ptr<Child>();
    };
    // A NUL would silently cut a name or an argument short.
    if (holdsNul(spec.executable) || holdsNul(spec.workingDir)
        || std::any_of(spec.arguments.begin(), spec.arguments.end(), holdsNul))
        return fail("create process", EINVAL);

    // Owns every descriptor from here on, so each failure below leaves nothing open. The
    // eventfds come first: a child must never run without the means to watch it.
    auto impl = std::make_unique<Impl>();
    impl->stopWait = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->stopWait < 0)
        return fail("exit watch", errno);
    impl->wakeRead = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wakeRead < 0)
        return fail("exit watch", errno);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const auto closeChildEnds = [&] {
        for (int *fd : {&in[0], &out[1], &err[1]})
            closeFd(*fd);
    };
    const auto failPipes = [&](const char *step, int code) {
        for (int *fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
            closeFd(*fd);
        return fail(step, code);
    };
    if (::pipe2(in, O_CLOEXEC) != 0)
        return failPipes("stdin pipe", errno);
    if (::pipe2(out, O_CLOEXEC) != 0)
        return failPipes("stdout pipe", errno);
    if (::pipe2(err, O_CLOEXEC) != 0)
        return failPipes("stderr pipe", errno);
    impl->stdinFd = in[1];
    impl->stdoutFd = out[0];
    impl->stderrFd = err[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (!spec.workingDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, spec.workingDir.c_str());

    // The daemon's own signal handling (ignored SIGPIPE, its handlers) is not the child's.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(spec.executable.c_str()));
    for (const std::string &a : spec.arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp = childEnvironment();

    // A bare name is looked up on the daemon's PATH, as CreateProcessW does on Windows.
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, spec.executable.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        closeChildEnds();
        return fail("create process", rc);
    }
    impl->pid = pid;
    impl->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    const int pidfdError = errno;
    closeChildEnds();
    if (impl->pidfd < 0) {
        // Without it the exit would never be seen: the child must not run unwatched.
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        impl->reaped = true;
        return fail("exit watch", pidfdError);
    }
    setNonBlocking(impl->stdinFd);
    setNonBlocking(impl->stdoutFd);
    setNonBlocking(impl->stderrFd);
    return std::unique_ptr<Child>(new Child(std::move(impl)));
}

std::int64_t Child::pid() const
{
    return d->pid;
}

bool Child::waitForExit(int *exitCode)
{
    if (d->waitStopped.load() || d->exited.load())
        return false;
    pollfd fds[2] = {{d->pidfd, POLLIN, 0}, {d->stopWait, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            d->error = errno;
            return false;
        }
        break;
    }
    if (d->waitStopped.load() || !(fds[0].revents & POLLIN))
        return false;
    siginfo_t info{};
    int r;
    do {
        r = ::waitid(P_PID, id_t(d->pid), &info, WEXITED | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    if (r != 0 || info.si_pid != d->pid) {
        d->error = r != 0 ? errno : ECHILD;
        return false;
    }
    d->exited = true;
    if (info.si_code == CLD_EXITED)
        *exitCode = info.si_status;
    else if (d->terminated.load() && info.si_status == SIGKILL)
        *exitCode = 1; // the forced end, as on every platform
    else
        *exitCode = 128 + info.si_status;
    return true;
}

void Child::stopWaiting()
{
    d->waitStopped = true;
    signalEventFd(d->stopWait);
}

bool Child::readOutput(std::string &out, std::string &err, std::size_t maxBytes, int timeoutMs)
{
    if (d->stdoutFd < 0 && d->stderrFd < 0)
        return false;
    pollfd fds[3] = {{d->stdoutFd, POLLIN, 0}, {d->stderrFd, POLLIN, 0}, {d->wakeRead, POLLIN, 0}};
    int n;
    do {
        n = ::poll(fds, 3, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (fds[2].revents & POLLIN) {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t r = ::read(d->wakeRead, &count, sizeof count);
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!drainPipe(d->stdoutFd, out, maxBytes))
            closeFd(d->stdoutFd);
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!drainPipe(d->stderrFd, err, maxBytes))
            closeFd(d->stderrFd);
    }
    return d->stdoutFd >= 0 || d->stderrFd >= 0;
}

void Child::wakeReader()
{
    signalEventFd(d->wakeRead);
}

std::int64_t Child::writeInput(const char *data, std::size_t size)
{
    if (d->stdinFd < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::write(d->stdinFd, data, size);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        d->error = errno;
        return -1;
    }
}

namespace {

// To the whole group, so that what the child started goes too. The leader is not reaped before
// its record lets go of it, so the group's number cannot have passed to anyone else.
bool signalGroup(Child::Impl &d, int signo)
{
    if (d.reaped.load()) {
        d.error = ESRCH;
        return false;
    }
    if (::kill(-d.pid, signo) != 0 && ::kill(d.pid, signo) != 0) {
        d.error = errno;
        return false;
    }
    return true;
}

} // namespace

bool Child::interruptWaits()
{
    return false;
}

bool Child::interrupt(std::vector<LogNote> *notes)
{
    if (signalGroup(*d, SIGINT))
        return true;
    if (notes)
        notes->push_back({LogNote::Level::Warning, "[ProcessManager] kill failed: " + std::to_string(d->error.load())});
    return false;
}

bool Child::terminate()
{
    d->terminated = true;
    return signalGroup(*d, SIGKILL);
}

long Child::lastError() const
{
    return d->error.load();
}

} // namespace childprocess
