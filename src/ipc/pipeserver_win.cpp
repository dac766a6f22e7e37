#include "ipc/pipeserver_win.h"
#include "ipc/serverpeer_win.h"
#include "service/wintext_win.h"
#include "service/wintoken_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

namespace pipeserver {

namespace {

// Read and write for the session's user: FILE_GENERIC_READ | FILE_GENERIC_WRITE without
// FILE_APPEND_DATA, which on a pipe is FILE_CREATE_PIPE_INSTANCE, and so without WRITE_DAC and
// WRITE_OWNER too.
constexpr DWORD UserRights = (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~DWORD(FILE_CREATE_PIPE_INSTANCE);
constexpr DWORD BufferSize = 64 * 1024;
// A client that connects and leaves at once, over and over, gets this many turns per call.
constexpr int ConnectTries = 8;

std::string lastError(const char *what, DWORD code)
{
    return std::string(what) + " failed: " + std::to_string(code);
}

} // namespace

HANDLE Calls::createNamedPipe(const wchar_t *name, DWORD openMode, DWORD pipeMode, SECURITY_ATTRIBUTES *sa)
{
    return CreateNamedPipeW(name, openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, BufferSize, BufferSize, 0, sa);
}

bool Calls::serverOf(const wchar_t *name, serverpeer::Server *server, std::string *error)
{
    return serverpeer::identifyByName(name, server, error);
}

std::string securityFor(const std::string &userSid)
{
    char rights[16];
    snprintf(rights, sizeof rights, "0x%lx", static_cast<unsigned long>(UserRights));
    // Protected (no inherited entries); the denial first, as Windows orders them.
    return "D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;" + std::string(rights) + ";;;" + userSid + ")";
}

std::string daclOf(HANDLE object)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &sd) != ERROR_SUCCESS)
        return {};
    wchar_t *text = nullptr;
    std::string out;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        out = wintext::narrow(text);
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

Listener::Listener(std::unique_ptr<Calls> calls) : m_calls(calls ? std::move(calls) : std::make_unique<Calls>()) {}

Listener::~Listener()
{
    close();
}

bool Listener::listen(const std::string &name, const std::string &userSid, bool first, std::string *error)
{
    close();
    // The SID goes into the descriptor's text: it must be a SID in its own canonical form and
    // nothing more (some parsers accept a SID followed by anything).
    PSID sid = nullptr;
    std::string canonical;
    if (ConvertStringSidToSidW(wintext::widen(userSid).c_str(), &sid)) {
        canonical = wintoken::sidString(sid);
        LocalFree(sid);
    }
    if (canonical.empty() || canonical != userSid) {
        *error = "the session's user has no valid SID (" + userSid + ")";
        return false;
    }
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wintext::widen(securityFor(canonical)).c_str(),
                                                              SDDL_REVISION_1, &m_security, nullptr)) {
        *error = lastError("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
        return false;
    }
    m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_event) {
        *error = lastError("CreateEventW", GetLastError());
        close();
        return false;
    }
    m_name = wintext::widen(name);
    for (Waiting &waiting : m_waiting) {
        const bool firstOfAll = first && &waiting == &m_waiting[0];
        DWORD code = 0;
        waiting.pipe = makeInstance(firstOfAll, &code);
        if (waiting.pipe == INVALID_HANDLE_VALUE) {
            // With FILE_FLAG_FIRST_PIPE_INSTANCE, a name that exists already is refused this way.
            *error = code == ERROR_ACCESS_DENIED && firstOfAll ? takenBy(m_name) : lastError("CreateNamedPipeW", code);
            close();
            return false;
        }
        if (!arm(waiting, error))
            return false;
    }
    return true;
}

std::string Listener::takenBy(const std::wstring &name)
{
    serverpeer::Server server;
    std::string why;
    if (!m_calls->serverOf(name.c_str(), &server, &why))
        return "the pipe name is taken by another process (" + why + ")";
    const std::string pid = " (pid " + std::to_string(server.pid) + ")";
    if (server.principal == serverpeer::daemonPrincipal())
        return "it is served by another process of " + serverpeer::daemonAccount() + pid;
    return "the pipe name is taken by a process of " + server.principal + pid + ", not of " + serverpeer::daemonAccount();
}

HANDLE Listener::makeInstance(bool first, DWORD *error)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, m_security, FALSE};
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    const HANDLE pipe = m_calls->createNamedPipe(m_name.c_str(), openMode, pipeMode, &sa);
    if (pipe == INVALID_HANDLE_VALUE)
        *error = GetLastError();
    return pipe;
}

bool Listener::arm(Waiting &waiting, std::string *error)
{
    for (int i = 0; i < ConnectTries; ++i) {
        waiting.overlapped = OVERLAPPED{};
        waiting.overlapped.hEvent = m_event;
        waiting.connectedAtOnce = false;
        if (ConnectNamedPipe(waiting.pipe, &waiting.overlapped))
            return true; // completed: the event is set
        const DWORD code = GetLastError();
        if (code == ERROR_IO_PENDING)
            return true;
        if (code == ERROR_PIPE_CONNECTED) {
            // A client came between the instance's making and the wait: no wait to complete.
            waiting.connectedAtOnce = true;
            SetEvent(m_event);
            return true;
        }
        if (code != ERROR_NO_DATA) {
            *error = lastError("ConnectNamedPipe", code);
            close();
            return false;
        }
        DisconnectNamedPipe(waiting.pipe); // that client has come and gone already
    }
    *error = "clients connect and leave faster than they can be served";
    close();
    return false;
}

bool Listener::hasClient(Waiting &waiting, std::string *error)
{
    if (waiting.connectedAtOnce)
        return true;
    DWORD ignored = 0;
    if (GetOverlappedResult(waiting.pipe, &waiting.overlapped, &ignored, FALSE))
        return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) {
        // The client left before it was taken: wait for the next one on the same instance.
        DisconnectNamedPipe(waiting.pipe);
        arm(waiting, error);
    }
    return false;
}

HANDLE Listener::takeConnected(std::string *error)
{
    if (!isListening())
        return INVALID_HANDLE_VALUE;
    // Reset before looking: a wait that ends meanwhile sets it again. Starting a wait may also
    // reset it, so it is set again below after any hand-over.
    ResetEvent(m_event);
    for (Waiting &waiting : m_waiting) {
        if (!hasClient(waiting, error)) {
            if (!isListening())
                return INVALID_HANDLE_VALUE;
            continue;
        }
        // Its successor first, so that the name is never without instances of ours.
        DWORD code = 0;
        const HANDLE next = makeInstance(false, &code);
        const HANDLE connected = waiting.pipe;
        waiting.pipe = next;
        if (next == INVALID_HANDLE_VALUE) {
            *error = lastError("CreateNamedPipeW", code);
            close();
        } else if (arm(waiting, error)) {
            SetEvent(m_event);
        }
        return connected;
    }
    return INVALID_HANDLE_VALUE;
}

void Listener::close()
{
    for (Waiting &waiting : m_waiting) {
        if (waiting.pipe == INVALID_HANDLE_VALUE)
            continue;
        // The kernel writes the OVERLAPPED when the wait ends: it must have ended before it goes.
        if (!waiting.connectedAtOnce && CancelIoEx(waiting.pipe, &waiting.overlapped)) {
            DWORD ignored = 0;
            GetOverlappedResult(waiting.pipe, &waiting.overlapped, &ignored, TRUE);
        }
        CloseHandle(waiting.pipe);
        waiting.pipe = INVALID_HANDLE_VALUE;
    }
    if (m_event) {
        CloseHandle(m_event);
        m_event = nullptr;
    }
    if (m_security) {
        LocalFree(m_security);
        m_security = nullptr;
    }
}

struct ReadWait::State
{
    std::atomic<bool> done{false};
};

ReadWait::ReadWait(HANDLE pipe) : m_state(std::make_shared<State>())
{
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), pipe, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        m_state->done = true;
        return;
    }
    try {
        std::thread([own, state = m_state] {
            FlushFileBuffers(own);
            CloseHandle(own);
            state->done = true;
        }).detach();
    } catch (const std::system_error &) {
        CloseHandle(own);
        m_state->done = true;
    }
}

ReadWait::~ReadWait() = default;

bool ReadWait::done() const
{
    return m_state->done;
}

} // namespace pipeserver
