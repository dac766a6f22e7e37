#pragma once
// The server end of one session's named pipe, made by the daemon rather than by Qt so that the
// pipe's rules are its own: LocalSystem and Administrators have full control, the session's user
// may read and write but not add server instances or change the pipe's security, network logons
// are denied, remote clients are rejected, and the name is only taken when nobody holds it yet
// (the first instance is made with FILE_FLAG_FIRST_PIPE_INSTANCE: a pipe someone else made first
// is never served under that someone's rules).
//
// A few instances wait for clients at once (overlapped ConnectNamedPipe), so that a burst of
// clients connects without waiting for the daemon to take each in turn (a client finding no free
// instance waits for one, for a turn of a busy daemon's loop); connectEvent() is signalled when
// one has a client, and takeConnected() hands that instance over after its successor is waiting,
// so that the name is never without instances of ours.
//
// Threads: one thread (the main thread) makes every call. Nothing here blocks.

#include "ipc/serverpeer.h"

#include <windows.h>

#include <array>
#include <memory>
#include <string>

namespace pipeserver {

// The security descriptor, as SDDL, of the pipe of the session whose user has this SID string.
std::string securityFor(const std::string &userSid);

// The DACL of an object as SDDL ("D:..."); empty when it cannot be read.
std::string daclOf(HANDLE object);

// CreateNamedPipeW, and who serves a name taken already, replaceable by a test (wine enforces
// neither the DACL nor the first-instance flag, and runs nothing as LocalSystem, so a test checks
// what is asked for).
struct Calls
{
    virtual ~Calls() = default;
    virtual HANDLE createNamedPipe(const wchar_t *name, DWORD openMode, DWORD pipeMode, SECURITY_ATTRIBUTES *sa);
    // serverpeer::identifyByName
    virtual bool serverOf(const wchar_t *name, serverpeer::Server *server, std::string *error);
};

class Listener
{
public:
    explicit Listener(std::unique_ptr<Calls> calls = nullptr);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    static constexpr int InstancesWaiting = 4;

    // Makes the instances and waits for clients on them. first: no instance of this process is
    // open under the name, so the name must be free; the first is made with FILE_FLAG_FIRST_PIPE_INSTANCE
    // and refused when taken, with *error naming who serves it (another daemon, of LocalSystem,
    // or any other process, which clients refuse to talk to). Also false with
    // *error when the SID is no SID or a call fails; then nothing is left open.
    bool listen(const std::string &name, const std::string &userSid, bool first, std::string *error);
    bool isListening() const { return m_waiting[0].pipe != INVALID_HANDLE_VALUE; }
    // Closes the waiting instances; connected pipes handed over stay.
    void close();

    // Manual-reset; signalled when a client may be connected to a waiting instance (or a wait on
    // one failed: takeConnected then says so).
    HANDLE connectEvent() const { return m_event; }
    // A connected pipe (overlapped, the caller's to close), with its successor waiting;
    // INVALID_HANDLE_VALUE when no client is connected. The event is left signalled after a
    // pipe is handed over, so that the next call looks for more; a call that finds none resets
    // it. A wait that failed, or a successor that could not be made, stops listening with
    // *error set.
    HANDLE takeConnected(std::string *error);

private:
    struct Waiting
    {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        OVERLAPPED overlapped{};
        bool connectedAtOnce = false; // the client came before the wait: overlapped is unused
    };
    HANDLE makeInstance(bool first, DWORD *error);
    std::string takenBy(const std::wstring &name);
    bool arm(Waiting &waiting, std::string *error);
    // Whether its client is there; one that came and went is let go, and the instance waits again.
    bool hasClient(Waiting &waiting, std::string *error);

    std::unique_ptr<Calls> m_calls;
    std::wstring m_name;
    PSECURITY_DESCRIPTOR m_security = nullptr;
    // The kernel writes each OVERLAPPED until its wait ends: they stay where they are.
    std::array<Waiting, InstancesWaiting> m_waiting;
    HANDLE m_event = nullptr; // shared by the instances' waits
};

// Waits, on a thread of its own, until the client has read everything written to a connected
// server end (FlushFileBuffers). A pipe disconnected by its server discards what the client has
// not read, so the daemon's stop lets a connection go only once this is done or its time is up.
// The thread works on a duplicate of the handle and ends when all is read or the pipe is
// disconnected or broken; one still waiting when its object goes is left to end with the pipe
// or with the process.
class ReadWait
{
public:
    explicit ReadWait(HANDLE pipe);
    ~ReadWait();
    ReadWait(const ReadWait &) = delete;
    ReadWait &operator=(const ReadWait &) = delete;
    bool done() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace pipeserver
