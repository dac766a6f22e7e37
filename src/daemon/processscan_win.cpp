// The process table on Windows: a toolhelp snapshot to look, PROCESS_TERMINATE to end.

#include "daemon/processscan.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <tlhelp32.h>

namespace processscan {

namespace {

void fill(Entry *entry, const PROCESSENTRY32W &pe)
{
    entry->pid = std::int64_t(pe.th32ProcessID);
    entry->name = wintext::narrow(pe.szExeFile);
    // The snapshot tells neither the owner nor anything like a session of the process.
    entry->hasOwner = false;
    entry->owner = 0;
    entry->consoleId = -1;
}

} // namespace

const std::vector<std::string> &sweptNames()
{
    static const std::vector<std::string> names{"xray.exe", "skirtnet.exe"};
    return names;
}

bool groupHoldsTun(std::int64_t, const std::string &)
{
    return true;
}

struct Snapshot::Impl
{
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    PROCESSENTRY32W entry{};

    void release()
    {
        if (snapshot != INVALID_HANDLE_VALUE)
            CloseHandle(snapshot);
        snapshot = INVALID_HANDLE_VALUE;
    }
    ~Impl() { release(); }
};

Snapshot::Snapshot()
    : d(std::make_unique<Impl>())
{
}

Snapshot::~Snapshot() = default;

bool Snapshot::take(long *error)
{
    d->release(); // a second take starts over instead of leaking the first
    d->snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (d->snapshot == INVALID_HANDLE_VALUE) {
        if (error)
            *error = long(GetLastError());
        return false;
    }
    return true;
}

bool Snapshot::first(Entry *entry, long *error)
{
    // Process32FirstW refuses an entry whose size is not its own.
    d->entry = PROCESSENTRY32W{};
    d->entry.dwSize = sizeof(PROCESSENTRY32W);
    if (!Process32FirstW(d->snapshot, &d->entry)) {
        if (error)
            *error = long(GetLastError());
        return false;
    }
    fill(entry, d->entry);
    return true;
}

bool Snapshot::next(Entry *entry)
{
    // ERROR_NO_MORE_FILES at the end; any other failure ends the walk the same way, since a
    // snapshot that cannot be read on will not become readable.
    if (!Process32NextW(d->snapshot, &d->entry))
        return false;
    fill(entry, d->entry);
    return true;
}

struct Target::Impl
{
    HANDLE process = nullptr;
    ~Impl()
    {
        if (process)
            CloseHandle(process);
    }
};

Target::Target(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

Target::~Target() = default;

std::unique_ptr<Target> Target::open(const Entry &entry, long *error)
{
    // A number that does not fit a DWORD would be cut down to some other process's.
    if (entry.pid < 0 || entry.pid > std::int64_t(MAXDWORD)) {
        if (error)
            *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    // Only the right to end it: that is all the sweep needs, and a process may grant it where it
    // would refuse more.
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(entry.pid));
    if (!process) {
        if (error)
            *error = long(GetLastError());
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->process = process;
    return std::unique_ptr<Target>(new Target(std::move(impl)));
}

bool Target::terminate(long *error)
{
    if (!TerminateProcess(d->process, 1)) {
        if (error)
            *error = long(GetLastError());
        return false;
    }
    return true;
}

} // namespace processscan
