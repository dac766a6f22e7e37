// Children on Linux: posix_spawn with three pipes, the child in a session and process group of
// its own (its "console"), SIGINT to that group as the Ctrl+C and SIGKILL as the forced end.
// The exit is watched through a pidfd and the output through poll(): nothing here polls on a
// timer.

#include "process/childprocess.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
    std::atomic<bool> reaped{false};
    std::atomic<bool> waitStopped{false};
    std::atomic<bool> terminated{false};
    std::atomic<long> error{0};

    ~Impl()
    {
        for (int *fd : {&pidfd, &stdinFd, &stdoutFd, &stderrFd, &stopWait, &wakeRead})
            closeFd(*fd);
        // A child that outlives its record is still reaped, so it leaves no zombie behind.
        if (pid > 0 && !reaped.load()) {
            const pid_t p = pid;
            if (::waitpid(p, nullptr, WNOHANG) == 0)
                std::thread([p] { ::waitpid(p, nullptr, 0); }).detach();
        }
    }
};

Child::Child(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

Child::~Child() = default;

std::unique_ptr<Child> Child::launch(const LaunchSpec &spec, LaunchError *error)
{
    // A write to the stdin of a child that has gone must fail, not end the daemon.
    static const bool sigpipeIgnored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipeIgnored;

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const auto fail = [&](const char *step, int code) {
        for (int *fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
            closeFd(*fd);
        if (error) {
            error->step = step;
            error->code = code;
        }
        return std::unique_ptr<Child>();
    };
    if (::pipe2(in, O_CLOEXEC) != 0)
        return fail("stdin pipe", errno);
    if (::pipe2(out, O_CLOEXEC) != 0)
        return fail("stdout pipe", errno);
    if (::pipe2(err, O_CLOEXEC) != 0)
        return fail("stderr pipe", errno);

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

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, spec.executable.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(err[1]);
    if (rc != 0)
        return fail("create process", rc);

    auto impl = std::make_unique<Impl>();
    impl->pid = pid;
    impl->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    impl->stdinFd = in[1];
    impl->stdoutFd = out[0];
    impl->stderrFd = err[0];
    impl->stopWait = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->wakeRead = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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
    if (d->waitStopped.load() || d->reaped.load())
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
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(d->pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != d->pid) {
        d->error = errno;
        return false;
    }
    d->reaped = true;
    if (WIFEXITED(status))
        *exitCode = WEXITSTATUS(status);
    else if (d->terminated.load() && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        *exitCode = 1; // the forced end, as on every platform
    else if (WIFSIGNALED(status))
        *exitCode = 128 + WTERMSIG(status);
    else
        *exitCode = -1;
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

bool Child::interrupt()
{
    // Once reaped, the number may name another process group: leave it alone.
    if (d->reaped.load() || ::kill(-d->pid, SIGINT) != 0) {
        d->error = d->reaped.load() ? ESRCH : errno;
        return false;
    }
    return true;
}

bool Child::terminate()
{
    if (d->reaped.load()) {
        d->error = ESRCH;
        return false;
    }
    d->terminated = true;
    if (::kill(-d->pid, SIGKILL) != 0 && ::kill(d->pid, SIGKILL) != 0) {
        d->error = errno;
        return false;
    }
    return true;
}

long Child::lastError() const
{
    return d->error.load();
}

} // namespace childprocess
