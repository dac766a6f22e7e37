#pragma once
// One launched child process and its three pipes: a small platform layer (plain C++, UTF-8).
// The child gets a console of its own (Windows: a hidden new console; Linux: a new session and
// process group), the daemon keeps its ends of the pipes, and nothing here kills the child
// unless asked. A bare executable name is looked up on the daemon's PATH.
//
// Threads: one thread may block in waitForExit (the exit monitor), one in readOutput (the
// output reader), one in interrupt where interruptWaits() says it may wait; the other calls come
// from the main thread. stopWaiting and wakeReader may be called from any thread. On Windows a
// thread of the Child's own writes its stdin; it ends with the Child. lowerReaderPriority is
// called by the output reader on its own thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace childprocess {

struct LaunchSpec
{
    std::string executable;
    std::vector<std::string> arguments; // each reaches the child as exactly one argument
    std::string workingDir;             // empty: the daemon's own
};

// A line for the daemon's log from a step only the platform layer sees (it logs nothing itself).
struct LogNote
{
    enum class Level { Debug, Warning } level;
    std::string text;
};

struct LaunchError
{
    // "stdin pipe", "stdout pipe", "stderr pipe", "create process" (a NUL in a name or an
    // argument fails here too) or "exit watch" (the means to see the exit could not be made;
    // a child already started is then killed and reaped).
    std::string step;
    long code = 0;    // GetLastError() / errno
};

// Lowers the calling thread's scheduling priority below the main thread's, for an output
// reader as it starts: when every core is busy, the requests of all clients, handled on the main
// thread, then go before one child's output, and the output still has the cores whenever the
// main thread waits. A flood's reader at the main thread's priority doubled other clients' round
// trips on two cores. Linux: the thread's nice value raised by 10 (at most to 19); Windows:
// THREAD_PRIORITY_BELOW_NORMAL. A failure leaves the priority as it was and is not reported.
void lowerReaderPriority();

class Child
{
public:
    // Null on failure, with *error filled; then no handle or descriptor is left open.
    static std::unique_ptr<Child> launch(const LaunchSpec &spec, LaunchError *error);
    // Closes every handle it holds; never kills a child still running. Once the child has
    // exited, whatever it left in its process group (Linux) or job (Windows) is killed, so
    // nothing it started outlives its supervision. On Windows a child still running keeps its
    // job until it exits, and then what it left is killed; if the daemon dies, its whole job
    // goes with it.
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    std::int64_t pid() const;

    // Exit monitor. Blocks until the child has exited (true, *exitCode set; a 32-bit Windows
    // code above 0x7FFFFFFF comes as the negative int of the same bits) or until stopWaiting()
    // (false). After stopWaiting, later calls return false at once. On Linux the child is not
    // reaped here: its process group stays addressable until the Child goes.
    bool waitForExit(int *exitCode);
    void stopWaiting();

    // Output reader. Waits (without polling on Linux) until a stdout or stderr pipe has data or is
    // at its end, wakeReader() is called, or timeoutMs passes (-1: no limit); then reads what is
    // available without blocking, at most maxBytes per stream, appending to out and err.
    // Returns false once both pipes are at their end: nothing more will come.
    bool readOutput(std::string &out, std::string &err, std::size_t maxBytes, int timeoutMs);
    void wakeReader();

    // Writes to the child's stdin without ever blocking: the number of bytes taken (0 when the
    // pipe is full), or -1 when the pipe is broken or closed. One call takes no more than the pipe
    // holds, however fast the child reads, so that it is short. On Windows the bytes are taken
    // into a pipe's worth of the Child's own, which its thread writes on; a broken pipe is then
    // told by the call after the write that found it.
    std::int64_t writeInput(const char *data, std::size_t size);

    // Ctrl+C to the child's console (Windows) / SIGINT to its process group (Linux), which
    // reaches the group also after the child itself has exited. *notes (when given) gets what the
    // log should tell of the delivery: the console's attach, a call that failed.
    bool interrupt(std::vector<LogNote> *notes = nullptr);
    // Whether interrupt() may wait: on Windows up to a second, for a console the child has left;
    // on Linux it never does.
    static bool interruptWaits();
    // Forced end of the child and all it started: its job with exit code 1 / SIGKILL to the
    // process group.
    bool terminate();
    // The error number of the last failed call above.
    long lastError() const;

    struct Impl;

private:
    explicit Child(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

} // namespace childprocess
