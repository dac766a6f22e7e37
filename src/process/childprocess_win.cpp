// Children on Windows: each in a job object of its own, its standard streams on named pipes whose
// daemon ends are overlapped (waited on, never polled), nothing inherited but those three ends, a
// hidden console of its own, Ctrl+C through that console, the end of the job as the forced end.

#include "process/childprocess.h"
#include "process/childprocess_win.h"
#include "process/cmdline_win.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <ntsecapi.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace childprocess {

std::atomic<long> testhook::readerWakeups{0};
std::atomic<unsigned long> testhook::failAttach{0};
std::atomic<unsigned long> testhook::failCtrlEvent{0};
std::atomic<testhook::AttributeObserver> testhook::attributeSeen{nullptr};
std::atomic<testhook::Moment> testhook::whileIgnoring{nullptr};

namespace {

// What each pipe holds between the two ends, and what one read or write moves at most.
constexpr DWORD PipeBytes = 64 * 1024;

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
// once would detach each other. A launch takes it too: interrupt() ignores Ctrl+C while it is
// attached, and a child created meanwhile would inherit the ignoring, its graceful stop lost.
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

// A pipe whose name nobody can foresee, so nobody can take it first; if somebody does anyway,
// FILE_FLAG_FIRST_PIPE_INSTANCE fails the launch instead of joining theirs. One instance only:
// once the child's end is connected, nobody else can connect, whatever the pipe's access list.
std::wstring uniquePipeName()
{
    static std::atomic<unsigned> counter{0};
    unsigned long long nonce = 0;
    if (!RtlGenRandom(&nonce, sizeof nonce))
        nonce = GetTickCount64() ^ (ULONGLONG(GetCurrentThreadId()) << 32);
    wchar_t name[96];
    swprintf(name, 96, L"\\\\.\\pipe\\tarnd-child-%lu-%u-%016llx", GetCurrentProcessId(), ++counter, nonce);
    return name;
}

// One standard stream of a child: the daemon's end overlapped and not inheritable, the child's
// end inheritable and synchronous, as programs expect of their standard handles. This is how
// CreatePipe makes an anonymous pipe, with the overlapped end that CreatePipe cannot give.
bool makePipe(bool toChild, HANDLE *ours, HANDLE *theirs, DWORD *error)
{
    const std::wstring name = uniquePipeName();
    const HANDLE server = CreateNamedPipeW(
        name.c_str(), (toChild ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, toChild ? PipeBytes : 0,
        toChild ? 0 : PipeBytes, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    // The access rights of CreatePipe's ends: a child may ask its pipe's state and set its mode.
    const DWORD access = toChild ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    const HANDLE client = CreateFileW(name.c_str(), access, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    if (client == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        CloseHandle(server);
        return false;
    }
    *ours = server;
    *theirs = client;
    return true;
}

// The child's stdout or stderr, read overlapped into a buffer of its own. A read stays under way
// between calls of readOutput, so what it brings is never lost; the buffer holds what a read
// brought and a caller's maxBytes left over.
struct OutStream
{
    HANDLE pipe = nullptr;
    OVERLAPPED ov{};
    std::vector<char> buffer;
    bool pending = false;
    std::size_t at = 0, held = 0; // [at, held) of buffer is still to be handed out
};

// The child's stdin, written by a thread of its own. A write to a pipe the child does not read
// may wait, even on an overlapped end with PIPE_NOWAIT set (wine's waited for seconds when
// loaded), and the caller of writeInput must never wait. It hands its bytes to `queued`, a pipe's
// worth at most; the thread moves them on with overlapped writes, which it gives up at the end.
struct InStream
{
    HANDLE pipe = nullptr;
    HANDLE thread = nullptr;
    HANDLE wake = nullptr; // auto reset: bytes were queued
    HANDLE quit = nullptr; // manual reset: the Child goes
    std::mutex lock;
    std::vector<char> queued;
    DWORD failure = 0;     // of the write that failed; nothing goes through after it
};

DWORD WINAPI writeStdin(void *context)
{
    InStream &in = *static_cast<InStream *>(context);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD failure = ov.hEvent ? 0 : GetLastError();
    std::vector<char> writing;
    // Index 0 is the quit, so that it wins over whatever else is signalled with it.
    const auto waitFor = [&](HANDLE other) {
        const HANDLE handles[2] = {in.quit, other};
        const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (r == WAIT_FAILED)
            failure = GetLastError();
        return r == WAIT_OBJECT_0 + 1;
    };
    bool going = failure == 0;
    while (going) {
        {
            std::lock_guard<std::mutex> hold(in.lock);
            writing.swap(in.queued);
        }
        if (writing.empty()) {
            going = waitFor(in.wake);
            continue;
        }
        for (std::size_t at = 0; going && at < writing.size();) {
            DWORD n = 0;
            if (!WriteFile(in.pipe, writing.data() + at, DWORD(writing.size() - at), nullptr, &ov)) {
                failure = GetLastError();
                if (failure != ERROR_IO_PENDING) {
                    going = false;
                    break;
                }
                failure = 0;
                if (!waitFor(ov.hEvent)) {
                    // The system would otherwise write from `writing` after it is gone.
                    CancelIoEx(in.pipe, &ov);
                    GetOverlappedResult(in.pipe, &ov, &n, TRUE);
                    going = false;
                    break;
                }
            }
            if (!GetOverlappedResult(in.pipe, &ov, &n, FALSE))
                failure = GetLastError();
            going = failure == 0;
            at += n;
        }
        writing.clear();
    }
    if (failure) {
        std::lock_guard<std::mutex> hold(in.lock);
        in.failure = failure;
        std::vector<char>().swap(in.queued);
    }
    if (ov.hEvent)
        CloseHandle(ov.hEvent);
    return 0;
}

// Overlapped I/O may not be left behind at the end: the system would write into freed memory.
void cancelAndClose(HANDLE &pipe, OVERLAPPED &ov, bool &pending)
{
    if (pending) {
        CancelIoEx(pipe, &ov);
        DWORD n = 0;
        GetOverlappedResult(pipe, &ov, &n, TRUE);
        pending = false;
    }
    closeHandle(pipe);
    closeHandle(ov.hEvent);
}

bool isEnd(DWORD e)
{
    return e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED || e == ERROR_HANDLE_EOF;
}

// A job whose child still runs when its Child goes. The child is not killed then (nothing here
// kills unasked), yet what it started must not outlive it: the job is kept open until the child
// exits, then closed, which ends whatever the child left. Should the daemon die first, the system
// closes the job and so ends the whole tree.
struct Parked
{
    HANDLE job;
    HANDLE process;
    HANDLE wait = nullptr;
};

std::mutex &parkLock()
{
    static std::mutex lock;
    return lock;
}

void CALLBACK onParkedExit(void *context, BOOLEAN)
{
    auto *parked = static_cast<Parked *>(context);
    {
        // Taken once park() has stored the wait's handle, which may be after this callback began.
        std::lock_guard<std::mutex> hold(parkLock());
    }
    // From inside its own callback this only fails with ERROR_IO_PENDING; the wait goes all the same.
    UnregisterWait(parked->wait);
    CloseHandle(parked->job);
    CloseHandle(parked->process);
    delete parked;
}

void park(HANDLE job, HANDLE process)
{
    auto *parked = new Parked{job, process};
    std::lock_guard<std::mutex> hold(parkLock());
    // Without the watch the job stays open for the daemon's life: the tree still goes with the
    // daemon, which is the part that matters.
    if (!RegisterWaitForSingleObject(&parked->wait, process, onParkedExit, parked, INFINITE, WT_EXECUTEONLYONCE))
        parked->wait = nullptr;
}

bool addAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD_PTR attribute, void *value, SIZE_T size)
{
    if (const testhook::AttributeObserver seen = testhook::attributeSeen.load())
        seen(list, attribute, value, size);
    return UpdateProcThreadAttribute(list, 0, attribute, value, size, nullptr, nullptr);
}

} // namespace

struct Child::Impl
{
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    HANDLE job = nullptr;       // kill on close: the child and all it starts
    HANDLE stopEvent = nullptr; // manual reset: releases waitForExit for good
    HANDLE wakeEvent = nullptr; // auto reset: releases one readOutput
    InStream in;
    OutStream streams[2];       // stdout, stderr
    DWORD pid = 0;
    std::atomic<bool> waitStopped{false};
    std::atomic<long> error{0};

    ~Impl()
    {
        if (in.thread) {
            SetEvent(in.quit);
            // Should a write hold the thread inside WriteFile itself, this frees it.
            CancelIoEx(in.pipe, nullptr);
            WaitForSingleObject(in.thread, INFINITE);
        }
        for (HANDLE *h : {&in.thread, &in.pipe, &in.wake, &in.quit})
            closeHandle(*h);
        for (OutStream &s : streams)
            cancelAndClose(s.pipe, s.ov, s.pending);
        if (job && process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            park(job, process);
            job = process = nullptr;
        }
        // Closing the job of a child that has exited ends what it left behind.
        for (HANDLE *h : {&job, &process, &thread, &stopEvent, &wakeEvent})
            closeHandle(*h);
    }

    // A stream at its end, or one that failed and would fail again on every later round (its
    // error is remembered), is closed and no longer read.
    void endStream(OutStream &s, DWORD code)
    {
        if (!isEnd(code))
            error = long(code);
        closeHandle(s.pipe);
        s.at = s.held = 0;
    }

    // Sees whether the read under way has finished: then its bytes are held, or the stream ended.
    void complete(OutStream &s)
    {
        DWORD n = 0;
        if (GetOverlappedResult(s.pipe, &s.ov, &n, FALSE)) {
            s.pending = false;
            s.at = 0;
            s.held = n;
            return;
        }
        const DWORD e = GetLastError();
        if (e == ERROR_IO_INCOMPLETE)
            return;
        s.pending = false;
        // The thread that began the read has ended, which cancels its I/O: what the read had
        // taken by then is kept, and the next read goes on from there.
        if (e == ERROR_OPERATION_ABORTED) {
            s.at = 0;
            s.held = n;
            return;
        }
        endStream(s, e);
    }

    // Begins a read; it finishes at once when the pipe holds bytes, is under way otherwise.
    void startRead(OutStream &s)
    {
        s.at = s.held = 0;
        if (ReadFile(s.pipe, s.buffer.data(), DWORD(s.buffer.size()), nullptr, &s.ov)) {
            DWORD n = 0;
            GetOverlappedResult(s.pipe, &s.ov, &n, FALSE);
            s.held = n;
            return;
        }
        const DWORD e = GetLastError();
        if (e == ERROR_IO_PENDING)
            s.pending = true;
        else
            endStream(s, e);
    }

    // Hands out what the stream has without waiting, up to max bytes; true if any came.
    bool drain(OutStream &s, std::string &into, std::size_t max)
    {
        std::size_t taken = 0;
        // A zero-length write by the child finishes a read with nothing: a bounded number of
        // rounds keeps a child that does nothing else from holding this loop.
        for (int round = 0; round < 64; ++round) {
            if (s.pending)
                complete(s);
            if (s.pending || !s.pipe)
                break;
            if (s.at < s.held) {
                const std::size_t n = std::min(s.held - s.at, max - taken);
                into.append(s.buffer.data() + s.at, n);
                s.at += n;
                taken += n;
                if (taken >= max)
                    break;
                continue;
            }
            startRead(s);
        }
        return taken > 0;
    }
};

Child::Child(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

Child::~Child() = default;

void lowerReaderPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

std::unique_ptr<Child> Child::launch(const LaunchSpec &spec, LaunchError *error)
{
    // Owns every handle from here on, so each failure below leaves nothing open.
    auto impl = std::make_unique<Impl>();
    HANDLE inRead = nullptr, outWrite = nullptr, errWrite = nullptr;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
    const auto release = [&] {
        for (HANDLE *h : {&inRead, &outWrite, &errWrite})
            closeHandle(*h);
        if (attributes) {
            DeleteProcThreadAttributeList(attributes);
            HeapFree(GetProcessHeap(), 0, attributes);
            attributes = nullptr;
        }
    };
    const auto fail = [&](const char *step, DWORD code) {
        release();
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

    // The events and the job come first: without them the child could not be watched or ended,
    // and failing after it started would leave it running with nobody holding it.
    impl->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    impl->in.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    impl->in.quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (OutStream &s : impl->streams)
        s.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!impl->stopEvent || !impl->wakeEvent || !impl->in.wake || !impl->in.quit || !impl->streams[0].ov.hEvent
        || !impl->streams[1].ov.hEvent)
        return fail("create process", GetLastError());
    impl->job = CreateJobObjectW(nullptr, nullptr);
    if (!impl->job)
        return fail("create process", GetLastError());
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(impl->job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return fail("create process", GetLastError());

    DWORD code = 0;
    if (!makePipe(true, &impl->in.pipe, &inRead, &code))
        return fail("stdin pipe", code);
    impl->in.thread = CreateThread(nullptr, 0, writeStdin, &impl->in, 0, nullptr);
    if (!impl->in.thread)
        return fail("stdin pipe", GetLastError());
    if (!makePipe(false, &impl->streams[0].pipe, &outWrite, &code))
        return fail("stdout pipe", code);
    if (!makePipe(false, &impl->streams[1].pipe, &errWrite, &code))
        return fail("stderr pipe", code);
    for (OutStream &s : impl->streams)
        s.buffer.resize(PipeBytes);

    // The child inherits its three ends and nothing else the daemon holds inheritable at that
    // moment, such as another child's pipes being made on another thread. The list may not name
    // a handle twice.
    std::vector<HANDLE> inherited{inRead, outWrite, errWrite};
    std::sort(inherited.begin(), inherited.end());
    inherited.erase(std::unique(inherited.begin(), inherited.end()), inherited.end());
    // The job is the child's from its first instruction on, so there is no moment in which a
    // daemon's death would leave it, or what it starts, outside.
    // The DLLs a program loads by bare name come from System32 before its own folder and its
    // working folder, which a client chose: a DLL planted there must not load as LocalSystem.
    DWORD64 mitigation = PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_PREFER_SYSTEM32_ALWAYS_ON;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 3, 0, &size);
    attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
    if (!attributes)
        return fail("create process", ERROR_NOT_ENOUGH_MEMORY);
    if (!InitializeProcThreadAttributeList(attributes, 3, 0, &size)) {
        HeapFree(GetProcessHeap(), 0, attributes);
        attributes = nullptr;
        return fail("create process", GetLastError());
    }
    if (!addAttribute(attributes, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(), inherited.size() * sizeof(HANDLE))
        || !addAttribute(attributes, PROC_THREAD_ATTRIBUTE_JOB_LIST, &impl->job, sizeof(HANDLE))
        || !addAttribute(attributes, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY, &mitigation, sizeof mitigation))
        return fail("create process", GetLastError());

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.StartupInfo.wShowWindow = SW_HIDE;
    si.StartupInfo.hStdInput = inRead;
    si.StartupInfo.hStdOutput = outWrite;
    si.StartupInfo.hStdError = errWrite;
    si.lpAttributeList = attributes;

    // CreateProcessW may write into the command line, so it gets a buffer of its own.
    const std::wstring line = buildCommandLine(spec.executable, spec.arguments);
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    const std::wstring dir = wintext::widen(spec.workingDir);

    // No CREATE_NEW_PROCESS_GROUP: it turns Ctrl+C off in the child, so a graceful stop could
    // never reach it. The child's console of its own already keeps the Ctrl+C to the child.
    PROCESS_INFORMATION pi{};
    BOOL created = FALSE;
    DWORD createError = 0;
    {
        std::lock_guard<std::mutex> hold(consoleLock());
        created = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE,
                                 CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 dir.empty() ? nullptr : dir.c_str(), &si.StartupInfo, &pi);
        createError = GetLastError();
    }
    // The child holds its own copies now; ours would keep its stdout from ever ending.
    release();
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
    const ULONGLONG started = GetTickCount64();
    std::string *into[2] = {&out, &err};
    for (;;) {
        bool got = false;
        for (int i = 0; i < 2; ++i)
            if (d->streams[i].pipe)
                got = d->drain(d->streams[i], *into[i], maxBytes) || got;
        if (!d->streams[0].pipe && !d->streams[1].pipe)
            return false;
        if (got)
            return true;
        // Nothing held: every open stream has a read under way, and this thread sleeps until
        // one of them finishes or somebody wakes it.
        HANDLE handles[3];
        DWORD count = 0;
        for (OutStream &s : d->streams)
            if (s.pipe && s.pending)
                handles[count++] = s.ov.hEvent;
        handles[count++] = d->wakeEvent;
        DWORD wait = INFINITE;
        if (timeoutMs >= 0) {
            const ULONGLONG spent = GetTickCount64() - started;
            wait = spent >= ULONGLONG(timeoutMs) ? 0 : DWORD(ULONGLONG(timeoutMs) - spent);
        }
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, wait);
        ++testhook::readerWakeups;
        if (r == WAIT_TIMEOUT || r == WAIT_OBJECT_0 + count - 1)
            return true;
        if (r == WAIT_FAILED) {
            d->error = long(GetLastError());
            return true;
        }
    }
}

void Child::wakeReader()
{
    SetEvent(d->wakeEvent);
}

std::int64_t Child::writeInput(const char *data, std::size_t size)
{
    InStream &in = d->in;
    std::lock_guard<std::mutex> hold(in.lock);
    if (in.failure) {
        d->error = long(in.failure);
        return -1;
    }
    const std::size_t n = std::min(size, PipeBytes - in.queued.size());
    if (n > 0) {
        in.queued.insert(in.queued.end(), data, data + n);
        SetEvent(in.wake);
    }
    return std::int64_t(n);
}

bool Child::interruptWaits()
{
    return true; // for a console the child has left, AttachConsole is retried for a second
}

bool sendCtrlC(unsigned long pid, std::vector<LogNote> *notes, long *error)
{
    const auto note = [notes](LogNote::Level level, std::string text) {
        if (notes)
            notes->push_back({level, "[ProcessManager] " + std::move(text)});
    };
    // Held for one attempt at a time, so that a launch waits for no more than that.
    std::unique_lock<std::mutex> hold(consoleLock());
    // Without the handler no Ctrl+C may go out at all: a late one would end the daemon.
    static bool guarded = false;
    if (!guarded) {
        if (!SetConsoleCtrlHandler(keepDaemonAlive, TRUE)) {
            *error = long(GetLastError());
            note(LogNote::Level::Warning, "SetConsoleCtrlHandler failed: " + std::to_string(*error));
            return false;
        }
        guarded = true;
    }
    // The daemon lends itself to the child's console for the moment of the Ctrl+C, and ignores
    // the Ctrl+C itself while attached. Everything the child started on that console gets it too.
    constexpr int Attempts = 20;
    int attempt = 1;
    for (;; ++attempt) {
        FreeConsole();
        const DWORD refused = testhook::failAttach.load();
        if (!refused && AttachConsole(DWORD(pid)))
            break;
        const DWORD e = refused ? refused : GetLastError();
        *error = long(e);
        if (e != ERROR_INVALID_HANDLE) {
            note(LogNote::Level::Warning, "AttachConsole failed with error: " + std::to_string(e));
            return false;
        }
        if (attempt == Attempts) {
            note(LogNote::Level::Warning, "Failed to attach to process console after retries");
            return false;
        }
        hold.unlock();
        Sleep(50); // a child just started may not have its console yet
        hold.lock();
    }
    note(LogNote::Level::Debug, "Attached to console on attempt " + std::to_string(attempt));
    SetConsoleCtrlHandler(nullptr, TRUE);
    if (const testhook::Moment moment = testhook::whileIgnoring.load())
        moment();
    const DWORD refused = testhook::failCtrlEvent.load();
    const BOOL generated = refused == 0 && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const DWORD e = refused ? refused : GetLastError();
    FreeConsole();
    // The event is delivered on a thread of its own, usually within this pause; one that comes
    // later meets keepDaemonAlive instead of the ignore flag.
    Sleep(10);
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (!generated) {
        *error = long(e);
        note(LogNote::Level::Warning, "GenerateConsoleCtrlEvent failed: " + std::to_string(e));
    }
    return generated != 0;
}

bool Child::interrupt(std::vector<LogNote> *notes)
{
    long error = 0;
    const bool sent = sendCtrlC(d->pid, notes, &error);
    if (!sent)
        d->error = error;
    return sent;
}

bool Child::terminate()
{
    // The whole job, so that what the child started goes too; the child's exit code is 1.
    if (!TerminateJobObject(d->job, 1)) {
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
