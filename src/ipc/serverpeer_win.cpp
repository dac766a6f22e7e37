#include "ipc/serverpeer_win.h"
#include "service/wintoken_win.h"

namespace serverpeer {

namespace {

const wchar_t ServiceName[] = L"TarnService";

struct ServiceHandle
{
    SC_HANDLE h;
    ~ServiceHandle()
    {
        if (h)
            CloseServiceHandle(h);
    }
};

} // namespace

bool Calls::serverPid(HANDLE pipe, DWORD *pid, DWORD *error)
{
    ULONG id = 0;
    if (!GetNamedPipeServerProcessId(pipe, &id)) {
        *error = GetLastError();
        return false;
    }
    *pid = id;
    return true;
}

std::string Calls::processUser(DWORD pid, DWORD *error)
{
    const wintoken::Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE token = nullptr;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &token)) {
        *error = GetLastError();
        return {};
    }
    const wintoken::Handle owned(token);
    const std::string sid = wintoken::userSid(token);
    if (sid.empty())
        *error = GetLastError();
    return sid;
}

DWORD Calls::servicePid()
{
    const ServiceHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    const ServiceHandle service{manager.h ? OpenServiceW(manager.h, ServiceName, SERVICE_QUERY_STATUS) : nullptr};
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!service.h
        || !QueryServiceStatusEx(service.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status), sizeof status,
                                 &size)
        || status.dwCurrentState != SERVICE_RUNNING)
        return 0;
    return status.dwProcessId;
}

bool identify(HANDLE pipe, Calls &calls, Server *server, std::string *error)
{
    DWORD pid = 0, code = 0;
    if (!calls.serverPid(pipe, &pid, &code)) {
        *error = "GetNamedPipeServerProcessId failed: " + std::to_string(code);
        return false;
    }
    server->pid = pid;
    server->principal = calls.processUser(pid, &code);
    if (!server->principal.empty())
        return true;
    // An ordinary user may not read the token of a LocalSystem process. The daemon's service is
    // registered to run as LocalSystem, which only an administrator can change: its process is
    // known to be LocalSystem's.
    if (pid != 0 && calls.servicePid() == pid) {
        server->principal = daemonPrincipal();
        return true;
    }
    *error = "the token of the pipe's server process " + std::to_string(pid) + " cannot be read: " + std::to_string(code);
    return false;
}

bool identify(std::intptr_t descriptor, Server *server, std::string *error)
{
    Calls calls;
    return identify(reinterpret_cast<HANDLE>(descriptor), calls, server, error);
}

bool identifyByName(const std::wstring &name, Server *server, std::string *error)
{
    // Anonymous: a server that is not ours must get no token of the daemon to act with.
    const HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        *error = "it cannot be opened: " + std::to_string(GetLastError());
        return false;
    }
    const wintoken::Handle owned(pipe);
    return identify(reinterpret_cast<std::intptr_t>(pipe), server, error);
}

std::string daemonPrincipal()
{
    return "S-1-5-18";
}

std::string daemonAccount()
{
    return "LocalSystem";
}

} // namespace serverpeer
