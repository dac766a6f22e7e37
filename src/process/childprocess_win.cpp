// Children on Windows: anonymous pipes for the standard streams, a hidden console of their own,
// Ctrl+C through that console, TerminateProcess as the forced end.

#include "process/childprocess.h"
#include "process/cmdline_win.h"
#include "service/wintext_win.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace childprocess {

namespace {

void closeHandle(HANDLE &h)
{
    if (h)
        CloseHandle(h);
    h = nullptr;
}

// Reads what the pipe holds now, up to max bytes. False once the pipe is drained and its
// writer gone.
bool drainPipe(HANDLE h, std::string &into, std::size_t max)
{
    char buf[64 * 1024];
    std::size_t got = 0;
    while (got < max) {
        DWORD available = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr))
            return false; // ERROR_BROKEN_PIPE: nothing left and nobody writing
        if (available == 0)
            return true;
        const DWORD want = DWORD(std::min<std::size_t>({available, sizeof buf, max - got}));
        DWORD n = 0;
        if (!ReadFile(h, buf, want, &n, nullptr) || n == 0)
            return false;
        into.append(buf, n);
        got += n;
    }
    return true;
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
};

Child::Child(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

Child::~Child() = default;

std::unique_ptr<Child> Child::launch(const LaunchSpec &spec, LaunchError *error)
{
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, errRead = nullptr,
           errWrite = nullptr;
    const auto fail = [&](const char *step, DWORD code) {
        for (HANDLE *h : {&inRead, &inWrite, &outRead, &outWrite, &errRead, &errWrite})
            closeHandle(*h);
        if (error) {
            error->step = step;
            error->code = long(code);
        }
        return std::unique_ptr<Child>();
    };

    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    if (!CreatePipe(&inRead, &inWrite, &sa, 0) || !SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0))
        return fail("stdin pipe", GetLastError());
    if (!CreatePipe(&outRead, &outWrite, &sa, 0) || !SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0))
        return fail("stdout pipe", GetLastError());
    if (!CreatePipe(&errRead, &errWrite, &sa, 0) || !SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0))
        return fail("stderr pipe", GetLastError());

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;

    std::wstring line = buildCommandLine(spec.executable, spec.arguments);
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
    closeHandle(inRead);
    closeHandle(outWrite);
    closeHandle(errWrite);
    if (!created)
        return fail("create process", createError);

    // Writes to stdin must never block the daemon: a full pipe takes nothing instead.
    DWORD mode = PIPE_NOWAIT;
    SetNamedPipeHandleState(inWrite, &mode, nullptr, nullptr);

    auto impl = std::make_unique<Impl>();
    impl->process = pi.hProcess;
    impl->thread = pi.hThread;
    impl->pid = pi.dwProcessId;
    impl->stdinWrite = inWrite;
    impl->stdoutRead = outRead;
    impl->stderrRead = errRead;
    impl->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
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
        if (d->stdoutRead && !drainPipe(d->stdoutRead, out, maxBytes))
            closeHandle(d->stdoutRead);
        if (d->stderrRead && !drainPipe(d->stderrRead, err, maxBytes))
            closeHandle(d->stderrRead);
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
    // Small pieces: a non-blocking pipe may refuse a piece larger than its free space whole.
    std::int64_t total = 0;
    while (std::size_t(total) < size) {
        const DWORD piece = DWORD(std::min<std::size_t>(size - std::size_t(total), 4096));
        DWORD written = 0;
        if (!WriteFile(d->stdinWrite, data + total, piece, &written, nullptr)) {
            const DWORD e = GetLastError();
            if (e == ERROR_NO_DATA || e == ERROR_BROKEN_PIPE) {
                d->error = long(e);
                return total > 0 ? total : -1;
            }
            d->error = long(e);
            break;
        }
        if (written == 0)
            break;
        total += written;
    }
    return total;
}

bool Child::interrupt()
{
    if (!d->process)
        return false;
    // The daemon lends itself to the child's console for the moment of the Ctrl+C.
    FreeConsole();
    bool attached = false;
    for (int attempt = 1; attempt <= 20; ++attempt) {
        if (AttachConsole(d->pid)) {
            attached = true;
            break;
        }
        const DWORD e = GetLastError();
        if (e != ERROR_INVALID_HANDLE) {
            d->error = long(e);
            return false;
        }
        Sleep(50); // the child's console is not there yet
    }
    if (!attached) {
        d->error = long(ERROR_INVALID_HANDLE);
        return false;
    }
    SetConsoleCtrlHandler(nullptr, TRUE);
    const BOOL generated = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const DWORD e = GetLastError();
    FreeConsole();
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
