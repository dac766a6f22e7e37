// What reading a child's output costs on Windows, through childprocess::Child:
//   (a) how often the reader of an idle child wakes: N idle children, each read by a thread of
//       its own the way the daemon's output reader does (readOutput with 256 KiB, no timeout),
//       counted as voluntary context switches over a quiet period, beside the same period with
//       no children;
//   (b) how fast a busy child's output comes through readOutput, beside a plain ReadFile loop on
//       an anonymous pipe from the same child program.
// Built twice from this file (docs/benchmarks.md): bench_reader_win with today's reader and
// bench_reader_win_polling with the polling reader of 8d994c2^; each prints which it is.
//   bench_reader_win [children[,children...]] [seconds] [MiB]      defaults: 5 5 256
// MiB 0 leaves out (b). Written for wine: the counts come from the Linux side, see counters().

#include "process/childprocess.h"
#include "service/wintext_win.h"
#include "win/wintest.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The reader this build links; the other build is told by TARND_BENCH_POLLING.
#ifdef TARND_BENCH_POLLING
#define TARND_BENCH_READER "anonymous pipes, polled every 1 to 16 ms (8d994c2^, bench_reader_win_polling)"
#else
#define TARND_BENCH_READER "overlapped named pipes, waited on (today, bench_reader_win)"
#endif

using childprocess::Child;

namespace {

constexpr std::size_t ReadChunkBytes = 256 * 1024; // ProcessIOWorker::ReadChunkBytes

std::wstring ownPath()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

std::string helper()
{
    return wintext::narrow(wintest::ownFolder() + L"childhelper.exe");
}

double seconds()
{
    static const double unit = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return 1.0 / double(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * unit;
}

long long field(const std::string &status, const char *name)
{
    const std::string key = std::string("\n") + name + ":";
    const std::size_t at = status.find(key);
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + key.size());
}

std::vector<std::wstring> entries(const std::wstring &dir)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (f == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (found.cFileName[0] >= L'0' && found.cFileName[0] <= L'9')
            names.push_back(found.cFileName);
    } while (FindNextFileW(f, &found));
    FindClose(f);
    return names;
}

// Voluntary context switches of each thread of a Linux process, by thread id.
using Counts = std::map<std::wstring, long long>;

Counts counters(const std::wstring &proc)
{
    Counts counts;
    for (const std::wstring &tid : entries(proc + L"\\task")) {
        const long long n = field(wintest::slurp(proc + L"\\task\\" + tid + L"\\status"), "voluntary_ctxt_switches");
        if (n >= 0)
            counts[tid] = n;
    }
    return counts;
}

// Switches between two counts, over the threads present in both, leaving out one thread.
long long delta(const Counts &before, const Counts &after, const std::wstring &skip)
{
    long long sum = 0;
    for (const auto &[tid, n] : after) {
        const auto then = before.find(tid);
        if (then != before.end() && tid != skip)
            sum += n - then->second;
    }
    return sum;
}

std::wstring lower(std::wstring s)
{
    for (wchar_t &c : s)
        c = wchar_t(towlower(c));
    return s;
}

int threadCount(const std::wstring &proc)
{
    return int(field(wintest::slurp(proc + L"\\status"), "Threads"));
}

// Under wine a file is opened by the wine server, so Z:\proc\self names the server's process,
// not this one. This process is found instead among those that run an executable of its name:
// the one whose thread count rises by one while a thread of its own is parked.
std::wstring ownLinuxProcess()
{
    std::wstring name = ownPath();
    name = lower(name.substr(name.find_last_of(L"\\/") + 1));
    std::vector<std::wstring> candidates;
    for (const std::wstring &pid : entries(L"Z:\\proc")) {
        const std::string cmd = wintest::slurp(L"Z:\\proc\\" + pid + L"\\cmdline");
        std::wstring first = wintext::widen(cmd.substr(0, cmd.find('\0')));
        first = lower(first.substr(first.find_last_of(L"\\/") + 1));
        if (first == name)
            candidates.push_back(L"Z:\\proc\\" + pid);
    }
    std::vector<int> threads;
    for (const std::wstring &c : candidates)
        threads.push_back(threadCount(c));
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread parked([release] { WaitForSingleObject(release, INFINITE); });
    Sleep(100);
    std::wstring found;
    int matches = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (threadCount(candidates[i]) == threads[i] + 1) {
            found = candidates[i];
            ++matches;
        }
    SetEvent(release);
    parked.join();
    CloseHandle(release);
    return matches == 1 ? found : std::wstring();
}

// The main thread reads the counts; its own reads would be counted with the readers unless it
// is left out. It is when it is the Linux process's leading thread, which a burst of sleeps on
// it shows.
bool mainThreadLeads(const std::wstring &proc)
{
    const std::wstring leader = proc.substr(proc.find_last_of(L'\\') + 1);
    const std::wstring status = proc + L"\\task\\" + leader + L"\\status";
    const long long before = field(wintest::slurp(status), "voluntary_ctxt_switches");
    for (int i = 0; i < 40; ++i)
        Sleep(2);
    const long long after = field(wintest::slurp(status), "voluntary_ctxt_switches");
    return before >= 0 && after - before >= 40;
}

struct Meter
{
    std::wstring own;     // Z:\proc\<pid> of this process, empty if it was not found
    std::wstring skip;    // thread id left out of the own count
    std::wstring server;  // Z:\proc\<pid> of the wine server

    struct Reading
    {
        Counts own, server;
    };
    Reading read() const
    {
        return {own.empty() ? Counts() : counters(own), counters(server)};
    }
    void difference(const Reading &a, const Reading &b, long long *ownSwitches, long long *serverSwitches) const
    {
        *ownSwitches = own.empty() ? -1 : delta(a.own, b.own, skip);
        *serverSwitches = delta(a.server, b.server, std::wstring());
    }
};

std::unique_ptr<Child> launch(const std::vector<std::string> &args)
{
    childprocess::LaunchError error;
    auto child = Child::launch({helper(), args, {}}, &error);
    if (!child)
        std::fprintf(stderr, "launch failed: %s %ld\n", error.step.c_str(), error.code);
    return child;
}

// N idle children, each with a reader; the switches of a quiet period once all have said "ready".
bool idlePeriod(const Meter &meter, int children, int quietSeconds, long long *own, long long *server)
{
    std::vector<std::unique_ptr<Child>> kids;
    for (int i = 0; i < children; ++i) {
        kids.push_back(launch({"noread"}));
        if (!kids.back())
            return false;
    }
    std::atomic<bool> quit{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> readers;
    for (auto &kid : kids)
        readers.emplace_back([&quit, &ready, child = kid.get()] {
            std::string out, err, seen;
            bool counted = false;
            while (!quit.load()) {
                out.clear();
                err.clear();
                const bool more = child->readOutput(out, err, ReadChunkBytes, -1);
                if (!counted) {
                    seen += out;
                    if (seen.find("ready\n") != std::string::npos) {
                        counted = true;
                        ++ready;
                    }
                }
                if (!more)
                    break;
            }
        });
    for (int i = 0; i < 1200 && ready.load() < children; ++i)
        Sleep(50);
    const bool allReady = ready.load() == children;
    if (allReady) {
        Sleep(500); // the children's consoles settle
        const Meter::Reading a = meter.read();
        Sleep(DWORD(quietSeconds) * 1000);
        const Meter::Reading b = meter.read();
        meter.difference(a, b, own, server);
    } else {
        std::fprintf(stderr, "only %d of %d children said ready\n", ready.load(), children);
    }
    quit = true;
    for (auto &kid : kids)
        kid->wakeReader();
    for (std::thread &t : readers)
        t.join();
    for (auto &kid : kids)
        kid->terminate();
    return allReady;
}

void printIdle(const char *what, long long own, long long server)
{
    if (own >= 0)
        std::printf("  %-14s bench threads %7lld   wine server %7lld\n", what, own, server);
    else
        std::printf("  %-14s bench threads       ?   wine server %7lld\n", what, server);
}

double mbPerSecond(long long bytes, double from, double to)
{
    return to > from ? double(bytes) / 1e6 / (to - from) : 0.0;
}

// The child's whole output through readOutput, as the daemon's reader takes it. Timed from the
// first byte to the end, so that the child's start is left out.
bool throughReader(long long expected, double *rate)
{
    auto child = launch({"flood", std::to_string(expected >> 20)});
    if (!child)
        return false;
    std::string out, err;
    long long total = 0, errBytes = 0;
    double first = 0;
    for (;;) {
        out.clear();
        err.clear();
        const bool more = child->readOutput(out, err, ReadChunkBytes, -1);
        if (total == 0 && !out.empty())
            first = seconds();
        total += (long long)out.size();
        errBytes += (long long)err.size();
        if (!more)
            break;
    }
    const double end = seconds();
    int code = -1;
    child->waitForExit(&code);
    if (total != expected || errBytes != 0 || code != 0) {
        std::fprintf(stderr, "readOutput: %lld of %lld bytes, %lld on stderr, exit %d\n", total, expected, errBytes, code);
        return false;
    }
    *rate = mbPerSecond(total, first, end);
    return true;
}

// The same child on a bare anonymous pipe, started as Child starts it (a hidden console of its
// own), read by blocking ReadFile calls.
bool throughPlainPipe(long long expected, double *rate)
{
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0) || !SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        std::fprintf(stderr, "CreatePipe: %lu\n", GetLastError());
        return false;
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    std::wstring line = L"\"" + wintest::ownFolder() + L"childhelper.exe\" flood " + std::to_wstring(expected >> 20);
    PROCESS_INFORMATION pi{};
    const BOOL created = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr,
                                        nullptr, &si, &pi);
    CloseHandle(writeEnd);
    if (!created) {
        std::fprintf(stderr, "CreateProcessW: %lu\n", GetLastError());
        CloseHandle(readEnd);
        return false;
    }
    std::vector<char> buf(ReadChunkBytes);
    long long total = 0;
    double first = 0;
    DWORD n = 0;
    while (ReadFile(readEnd, buf.data(), DWORD(buf.size()), &n, nullptr)) {
        if (total == 0 && n > 0)
            first = seconds();
        total += n;
    }
    const double end = seconds();
    const DWORD why = GetLastError();
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    for (HANDLE h : {readEnd, pi.hProcess, pi.hThread})
        CloseHandle(h);
    if (total != expected || why != ERROR_BROKEN_PIPE || code != 0) {
        std::fprintf(stderr, "plain pipe: %lld of %lld bytes, ended by %lu, exit %lu\n", total, expected, why, code);
        return false;
    }
    *rate = mbPerSecond(total, first, end);
    return true;
}

std::vector<int> childCounts(const char *arg)
{
    std::vector<int> counts;
    for (const char *p = arg; *p;) {
        char *end = nullptr;
        const long n = std::strtol(p, &end, 10);
        if (end == p || n <= 0)
            return {};
        counts.push_back(int(n));
        p = *end == ',' ? end + 1 : end;
    }
    return counts;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<int> counts = childCounts(argc > 1 ? argv[1] : "5");
    const int quiet = argc > 2 ? std::atoi(argv[2]) : 5;
    const long long mib = argc > 3 ? std::atoll(argv[3]) : 256;
    if (counts.empty() || quiet <= 0 || mib < 0) {
        std::fprintf(stderr, "usage: %s [children[,children...]] [seconds] [MiB]\n", argv[0]);
        return 2;
    }
    std::printf("reader: %s\n", TARND_BENCH_READER);

    Meter meter;
    meter.own = ownLinuxProcess();
    if (meter.own.empty()) {
        std::printf("own Linux process not found under Z:\\proc: only the wine server is counted\n");
    } else {
        if (mainThreadLeads(meter.own))
            meter.skip = meter.own.substr(meter.own.find_last_of(L'\\') + 1);
        std::printf("own Linux process %s, %s\n", wintext::narrow(meter.own).c_str(),
                    meter.skip.empty() ? "every thread counted (the main thread is not its leader)"
                                       : "every thread counted but the main one, which only measures");
    }
    // Z:\proc\self\status is opened by the server, so it tells the server's pid; a longer path
    // under Z:\proc\self would be looked up in this process's own first, and not be found.
    const std::string serverStatus = wintest::slurp(L"Z:\\proc\\self\\status");
    const long long serverPid = field(serverStatus, "Pid");
    if (serverPid <= 0) {
        std::fprintf(stderr, "no wine server under Z:\\proc\\self\n");
        return 1;
    }
    meter.server = L"Z:\\proc\\" + std::to_wstring(serverPid);
    std::printf("wine server: %s, %s\n", wintext::narrow(meter.server).c_str(),
                serverStatus.substr(0, serverStatus.find('\n')).c_str());

    std::printf("\n(a) idle children, voluntary context switches in %d s:\n", quiet);
    long long baseOwn = 0, baseServer = 0;
    {
        const Meter::Reading a = meter.read();
        Sleep(DWORD(quiet) * 1000);
        const Meter::Reading b = meter.read();
        meter.difference(a, b, &baseOwn, &baseServer);
        printIdle("no children", baseOwn, baseServer);
    }
    for (int n : counts) {
        long long own = 0, server = 0;
        if (!idlePeriod(meter, n, quiet, &own, &server))
            return 1;
        const std::string what = std::to_string(n) + " children";
        printIdle(what.c_str(), own, server);
        const double per = double(n) * quiet;
        if (own >= 0)
            std::printf("  %-14s wake-ups per idle child per second: bench threads %.2f, wine server %.2f\n", "",
                        double(own - baseOwn) / per, double(server - baseServer) / per);
        else
            std::printf("  %-14s wake-ups per idle child per second: wine server %.2f\n", "",
                        double(server - baseServer) / per);
    }

    if (mib > 0) {
        const long long bytes = mib << 20;
        std::printf("\n(b) one child writing %lld MiB to stdout, MB/s from the first byte to the end:\n", mib);
        double plain = 0, reader = 0;
        if (!throughPlainPipe(bytes, &plain))
            return 1;
        std::printf("  plain anonymous pipe, ReadFile  %8.1f\n", plain);
        if (!throughReader(bytes, &reader))
            return 1;
        std::printf("  Child::readOutput               %8.1f  (%.2f of the plain pipe)\n", reader, reader / plain);
    }
    return 0;
}
