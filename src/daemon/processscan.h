#pragma once
// Every process on the machine, for the sweep of stale proxy processes after a client leaves and
// for who holds a TUN device: one small platform layer (plain C++, names in UTF-8).
//   Windows: a toolhelp snapshot; OpenProcess(PROCESS_TERMINATE) and TerminateProcess(..., 1).
//   Linux:   /proc; a pidfd, so that the process ended is the one that was looked at.
//
// Threads: a Snapshot on any one thread at a time (the daemon takes it on a thread of its own, as
// a pass over the process table takes milliseconds); a Target on the daemon's main thread.
// Nothing here waits for a process to end. Failures give the platform's error number
// (GetLastError / errno).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace processscan {

// The executable file names the sweep ends, in lower case: "xray.exe" and "skirtnet.exe" on
// Windows, "xray" and "skirtnet" on Linux.
const std::vector<std::string> &sweptNames();

struct Entry
{
    std::int64_t pid = 0;
    std::string name;            // the executable's file name without folder, as the system gives it
    bool hasOwner = false;       // Linux: the real uid the process runs as; Windows: not given
    std::uint32_t owner = 0;
    std::int64_t consoleId = -1; // Linux: its session id (a child of the daemon heads its own);
                                 // -1 where the platform gives none
};

class Snapshot
{
public:
    Snapshot();
    ~Snapshot(); // releases the snapshot
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;

    // Takes the snapshot; false with *error set when it cannot be taken.
    bool take(long *error);
    // The first entry; false with *error set when it cannot be read.
    bool first(Entry *entry, long *error);
    // The next entry; false when there are no more.
    bool next(Entry *entry);

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// Whether the process `leader`, or a process of its group, holds the TUN device of that name:
// (Linux) a descriptor of /dev/net/tun attached to it, so that the device is their own work.
// Windows: true, as nothing there ties an adapter to the process that made it. Reads /proc (the
// process's descriptors, and the table only when the leader holds none), on the calling thread.
bool groupHoldsTun(std::int64_t leader, const std::string &interfaceName);

// A process opened for termination.
class Target
{
public:
    // Null with *error set when the process cannot be opened, or (Linux) when the number now
    // names a process other than the entry's.
    static std::unique_ptr<Target> open(const Entry &entry, long *error);
    ~Target(); // closes the handle; never ends the process
    Target(const Target &) = delete;
    Target &operator=(const Target &) = delete;

    // Ends the process at once (exit code 1 / SIGKILL); false with *error set on failure.
    bool terminate(long *error);

    struct Impl;

private:
    explicit Target(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

} // namespace processscan
