// Children on Windows: anonymous pipes for the standard streams, a hidden console of their own,
// Ctrl+C through that console, TerminateProcess as the forced end.

#include "process/childprocess.h"
#include "process/cmdline_win.h"
#include "service/wintext_win.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace childprocess {

namespace {

void closeHandle(HANDLE &h)
{
    if (h)
        CloseHandle(h);
    h = nullptr;
}

bool holdsNul(const std::string &s)
{
    return s.find('\0') != std::string::npos;
}

// A process has one console at a time, and interrupt() borrows the child's: two of them at
// once would detach each other.
std::mutex &consoleLock()
{
    static std::mutex lock;
    return lock;
}

// The Ctrl+C interrupt() sends reaches every process on the child's console, the daemon too,
// each on a thread the system starts in it, which may run after the daemon has stopped ignoring
// Ctrl+C; the default handler would then end the daemon. A handler of its own takes Ctrl+C and
// Ctrl+Break for good: unlike the ignore flag it is not inherited, so children still get their
// graceful stop. Every other event keeps its default handling.
BOOL WINAPI keepDaemonAlive(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

enum class Drain { More, End, Failed };

// Reads what the pipe holds now, up to max bytes, straight into the string. Reading only what
// PeekNamedPipe reports keeps ReadFile from ever blocking the reader.
Drain drainPipe(HANDLE h, std::string &into, std::size_t max, DWORD *error)
{
    std::size_t got = 0;
    while (got < max) {
        DWORD available = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) {
            *error = GetLastError();
            return *error == ERROR_BROKEN_PIPE ? Drain::End : Drain::Failed;
        }
        if (available == 0)
            return Drain::More;
        const std::size_t want = std::min<std::size_t>(available, max - got);
        const std::size_t at = into.size();
        into.resize(at + want);
        DWORD n = 0;
        const BOOL ok = ReadFile(h, &into[at], DWORD(want), &n, nullptr);
        into.resize(at + n);
        got += n;
        if (!ok) {
            *error = GetLastError();
            return *error == ERROR_BROKEN_PIPE ? Drain::End : Drain::Failed;
        }
        if (n == 0) // a zero-length write by the child: nothing to take this round
            return Drain::More;
    }
    return Drain::More;
}

} // namespace

struct Child::Impl
{
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    HANDLE stdinWrite = nullptr;
    HANDLE stdoutRead = nullptr;
    HANDLE stderrRead = nullptr;
    HANDLE stopEvent = nullptr; // manual reset: releases waitForExit for good
    HANDLE wakeEvent = nullptr; // auto reset: releases one readOutput
    DWORD pid = 0;
    std::atomic<bool> waitStopped{false};
    std::atomic<long> error{0};

    ~Impl()
    {
        for (HANDLE *h : {&stdinWrite, &stdoutRead, &stderrRead, &process, &thread, &stopEvent, &wakeEvent})
            closeHandle(*h);
    }

    // Closes a stream at its end; an unexpected failure is remembered, and the stream is given
    // up all the same, since it would fail again on every later round.
    void endStream(HANDLE &h, Drain how, DWORD code)
    {
        if (how == Drain::Failed)
            error = long(code);
        closeHandle(h);
    }
};

Child::Child(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

Child::~Child() = default;

std::unique_ptr<Child> Child::launch(const LaunchSpec &spec, LaunchError *error)
{
    // Owns every handle from here on, so each failure below leaves nothing open.
    auto impl = std::make_unique<Impl>();
    HANDLE inRead = nullptr, outWrite = nullptr, errWrite = nullptr;
    const auto fail = [&](const char *step, DWORD code) {
        for (HANDLE *h : {&inRead, &outWrite, &errWrite})
            closeHandle(*h);
        if (error) {
            error->step = step;
            error->code = long(code);
        }
        return std::unique_ptr<Child>();
    };

    // A NUL would cut the command line short and silently drop what follows it. A quote can be
    // in no Windows file name, and cmdline would have to drop it, naming another file.
    if (holdsNul(spec.executable) || holdsNul(spec.workingDir)
        || std::any_of(spec.arguments.begin(), spec.arguments.end(), holdsNul))
        return fail("create process", ERROR_INVALID_PARAMETER);
    if (spec.executable.find('"') != std::string::npos)
        return fail("create process", ERROR_INVALID_NAME);

    // The events come first: without them the child could not be watched, and failing after
    // it started would leave it running with nobody holding it.
    impl->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!impl->stopEvent)
        return fail("create process", GetLastError());
    impl->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!impl->wakeEvent)
        return fail("create process", GetLastError());

    // Only the child's ends may be inherited; a daemon end leaking into a child would keep the
    // pipe open after the child it belongs to is gone.
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;
    if (!CreatePipe(&inRead, &impl->stdinWrite, &sa, 0)
        || !SetHandleInformation(impl->stdinWrite, HANDLE_FLAG_INHERIT, 0))
        return fail("stdin pipe", GetLastError());
    // Writes to stdin must never block the daemon: a full pipe takes nothing instead. This
    // changes only the daemon's end; the child still reads its stdin blocking.
    DWORD mode = PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(impl->stdinWrite, &mode, nullptr, nullptr))
        return fail("stdin pipe", GetLastError());
    if (!CreatePipe(&impl->stdoutRead, &outWrite, &sa, 0)
        || !SetHandleInformation(impl->stdoutRead, HANDLE_FLAG_INHERIT, 0))
        return fail("stdout pipe", GetLastError());
    if (!CreatePipe(&impl->stderrRead, &errWrite, &sa, 0)
        || !SetHandleInformation(impl->stderrRead, HANDLE_FLAG_INHERIT, 0))
        return fail("stderr pipe", GetLastError());

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;

    // CreateProcessW may write into the command line, so it gets a buffer of its own.
    const std::wstring line = buildCommandLine(spec.executable, spec.arguments);
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    const std::wstring dir = wintext::widen(spec.workingDir);

    // No CREATE_NEW_PROCESS_GROUP: it turns Ctrl+C off in the child, so a graceful stop could
    // never reach it. The child's console of its own already keeps the Ctrl+C to the child.
    PROCESS_INFORMATION pi{};
    const BOOL created = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT, nullptr,
                                        dir.empty() ? nullptr : dir.c_str(), &si, &pi);
    const DWORD createError = GetLastError();
    // The child holds its own copies now; ours would keep its stdout from ever ending.
    closeHandle(inRead);
    closeHandle(outWrite);
    closeHandle(errWrite);
    if (!created)
        return fail("create process", createError);

    impl->process = pi.hProcess;
    impl->thread = pi.hThread;
    impl->pid = pi.dwProcessId;
    return std::unique_ptr<Child>(new Child(std::move(impl)));
}

std::int64_t Child::pid() const
{
    return d->pid;
}

bool Child::waitForExit(int *exitCode)
{
    if (d->waitStopped.load())
        return false;
    HANDLE handles[2] = {d->process, d->stopEvent};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    // Both may be signalled; a stop asked for wins over an exit seen at the same moment.
    if (d->waitStopped.load() || r != WAIT_OBJECT_0) {
        if (r == WAIT_FAILED)
            d->error = long(GetLastError());
        return false;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(d->process, &code)) {
        d->error = long(GetLastError());
        return false;
    }
    if (exitCode)
        *exitCode = static_cast<int>(code);
    return true;
}

void Child::stopWaiting()
{
    d->waitStopped = true;
    SetEvent(d->stopEvent);
}

bool Child::readOutput(std::string &out, std::string &err, std::size_t maxBytes, int timeoutMs)
{
    // Anonymous pipes cannot be waited on: peek, and between empty peeks wait on the wake
    // event with a pause that grows from 1 ms, so a busy child is read at once and an idle one
    // costs little.
    const ULONGLONG started = GetTickCount64();
    DWORD pause = 1;
    for (;;) {
        const std::size_t before = out.size() + err.size();
        DWORD code = 0;
        if (d->stdoutRead) {
            const Drain r = drainPipe(d->stdoutRead, out, maxBytes, &code);
            if (r != Drain::More)
                d->endStream(d->stdoutRead, r, code);
        }
        if (d->stderrRead) {
            const Drain r = drainPipe(d->stderrRead, err, maxBytes, &code);
            if (r != Drain::More)
                d->endStream(d->stderrRead, r, code);
        }
        if (!d->stdoutRead && !d->stderrRead)
            return false;
        if (out.size() + err.size() > before)
            return true;
        DWORD wait = pause;
        if (timeoutMs >= 0) {
            const ULONGLONG spent = GetTickCount64() - started;
            if (spent >= ULONGLONG(timeoutMs))
                return true;
            wait = DWORD(std::min<ULONGLONG>(pause, ULONGLONG(timeoutMs) - spent));
        }
        if (WaitForSingleObject(d->wakeEvent, wait) == WAIT_OBJECT_0)
            return true;
        pause = std::min<DWORD>(pause * 2, 16);
    }
}

void Child::wakeReader()
{
    SetEvent(d->wakeEvent);
}

std::int64_t Child::writeInput(const char *data, std::size_t size)
{
    if (!d->stdinWrite)
        return -1;
    // A non-blocking pipe may take a write only whole (wine does so: a piece larger than the
    // free space takes nothing, where Windows takes part). Halving the piece after a refusal
    // fills the pipe to the byte in a few calls either way.
    std::size_t total = 0;
    std::size_t piece = 64 * 1024;
    while (total < size) {
        const DWORD want = DWORD(std::min(size - total, piece));
        DWORD written = 0;
        if (!WriteFile(d->stdinWrite, data + total, want, &written, nullptr)) {
            d->error = long(GetLastError());
            // Broken (the child's end is gone) or failed: nothing will ever go through, which
            // the caller must hear even if part of this call went.
            return total > 0 ? std::int64_t(total) : -1;
        }
        total += written;
        if (written == 0) {
            if (want == 1)
                break; // full
            piece = want / 2;
        }
    }
    return std::int64_t(total);
}

bool Child::interrupt()
{
    std::lock_guard<std::mutex> hold(consoleLock());
    // Without the handler no Ctrl+C may go out at all: a late one would end the daemon.
    static bool guarded = false;
    if (!guarded) {
        if (!SetConsoleCtrlHandler(keepDaemonAlive, TRUE)) {
            d->error = long(GetLastError());
            return false;
        }
        guarded = true;
    }
    // The daemon lends itself to the child's console for the moment of the Ctrl+C, and ignores
    // the Ctrl+C itself while attached.
    FreeConsole();
    bool attached = false;
    for (int attempt = 1; attempt <= 20; ++attempt) {
        if (AttachConsole(d->pid)) {
            attached = true;
            break;
        }
        const DWORD e = GetLastError();
        d->error = long(e);
        if (e != ERROR_INVALID_HANDLE)
            return false;
        if (attempt < 20)
            Sleep(50); // a child just started may not have its console yet
    }
    if (!attached)
        return false;
    SetConsoleCtrlHandler(nullptr, TRUE);
    const BOOL generated = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const DWORD e = GetLastError();
    FreeConsole();
    // The event is delivered on a thread of its own, usually within this pause; one that comes
    // later meets keepDaemonAlive instead of the ignore flag.
    Sleep(10);
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (!generated)
        d->error = long(e);
    return generated != 0;
}

bool Child::terminate()
{
    if (!TerminateProcess(d->process, 1)) {
        d->error = long(GetLastError());
        return false;
    }
    return true;
}

long Child::lastError() const
{
    return d->error.load();
}

} // namespace childprocess
