#include "ipc/sessions_win.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <wtsapi32.h>

#include <memory>

namespace sessions {

std::vector<SessionInfo> filterSessions(const std::vector<RawSession> &raw)
{
    std::vector<SessionInfo> out;
    for (const RawSession &s : raw) {
        if (s.id == 0 || (s.state != WTSActive && s.state != WTSConnected))
            continue;
        if (!s.userKnown || s.user.empty())
            continue;
        out.push_back({s.id, s.user});
    }
    return out;
}

bool listActive(std::vector<SessionInfo> &out, std::string *error)
{
    out.clear();
    WTS_SESSION_INFOW *list = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
        if (error)
            *error = "WTSEnumerateSessionsW failed: " + std::to_string(GetLastError());
        return false;
    }
    std::vector<RawSession> raw;
    for (DWORD i = 0; i < count; ++i) {
        RawSession s;
        s.id = list[i].SessionId;
        s.state = list[i].State;
        LPWSTR name = nullptr;
        DWORD bytes = 0;
        if (s.id != 0 && WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, s.id, WTSUserName, &name, &bytes)) {
            s.userKnown = true;
            s.user = wintext::narrow(name ? std::wstring(name) : std::wstring());
            WTSFreeMemory(name);
        }
        raw.push_back(s);
    }
    WTSFreeMemory(list);
    out = filterSessions(raw);
    return true;
}

bool sessionOfProcess(std::int64_t pid, std::uint32_t *session)
{
    DWORD id = 0;
    if (pid <= 0 || !ProcessIdToSessionId(DWORD(pid), &id))
        return false;
    *session = id;
    return true;
}

bool peerOf(std::intptr_t descriptor, PeerInfo *peer)
{
    const HANDLE pipe = reinterpret_cast<HANDLE>(descriptor);
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(pipe, &pid) || pid == 0)
        return false;
    peer->pid = pid;
    ULONG session = 0;
    if (GetNamedPipeClientSessionId(pipe, &session)) {
        peer->hasSession = true;
        peer->session = session;
    } else {
        peer->hasSession = sessionOfProcess(pid, &peer->session);
    }

    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return true; // known by number and session only: never privileged, no user
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        DWORD length = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &length);
        std::unique_ptr<char[]> buffer(new char[length ? length : 1]);
        if (length && GetTokenInformation(token, TokenUser, buffer.get(), length, &length)) {
            const PSID sid = reinterpret_cast<TOKEN_USER *>(buffer.get())->User.Sid;
            peer->privileged = IsWellKnownSid(sid, WinLocalSystemSid) != 0;
            wchar_t name[256], domain[256];
            DWORD nameLength = 256, domainLength = 256;
            SID_NAME_USE use;
            if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
                peer->user = wintext::narrow(name);
        }
        CloseHandle(token);
    }
    CloseHandle(process);
    return true;
}

std::string sourceName()
{
    return "Terminal Services";
}

} // namespace sessions
