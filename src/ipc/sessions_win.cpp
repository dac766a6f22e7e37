#include "ipc/sessions_win.h"
#include "service/wintext_win.h"
#include "service/wintoken_win.h"

#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <wtsapi32.h>

namespace sessions {

namespace {

// The SID string of the machine's own account domain ("S-1-5-21-x-y-z"): a local question to
// the LSA, asked once. Empty when it cannot be had; then no account counts as local.
std::string accountDomainSid()
{
    static const std::string sid = [] {
        LSA_OBJECT_ATTRIBUTES attributes{};
        LSA_HANDLE policy = nullptr;
        if (LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy) != 0)
            return std::string();
        POLICY_ACCOUNT_DOMAIN_INFO *info = nullptr;
        std::string out;
        if (LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, reinterpret_cast<void **>(&info)) == 0
            && info) {
            out = wintoken::sidString(info->DomainSid);
            LsaFreeMemory(info);
        }
        LsaClose(policy);
        return out;
    }();
    return sid;
}

// Accounts the LSA resolves without asking anyone else.
bool isLocalAccount(const std::string &sid)
{
    if (sid == "S-1-5-18" || sid == "S-1-5-19" || sid == "S-1-5-20")
        return true;
    const std::string domain = accountDomainSid();
    return !domain.empty() && sid.size() > domain.size() + 1 && sid.compare(0, domain.size(), domain) == 0
        && sid[domain.size()] == '-' && sid.find('-', domain.size() + 1) == std::string::npos;
}

std::string queryString(DWORD session, WTS_INFO_CLASS what, bool *known)
{
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    *known = WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, what, &text, &bytes) != 0;
    if (!*known)
        return {};
    const std::string out = wintext::narrow(text ? std::wstring(text) : std::wstring());
    WTSFreeMemory(text);
    return out;
}

// The session user's SID: from the session's own token, which only LocalSystem may ask for;
// otherwise (a daemon started by hand) from the session's qualified account name.
std::string sessionPrincipal(DWORD session, const std::string &user)
{
    HANDLE token = nullptr;
    if (WTSQueryUserToken(session, &token)) {
        const wintoken::Handle owned(token);
        const std::string sid = wintoken::userSid(token);
        if (!sid.empty())
            return sid;
    }
    bool known = false;
    const std::string domain = queryString(session, WTSDomainName, &known);
    return known ? accountSid(domain, user) : std::string();
}

} // namespace

std::vector<SessionInfo> filterSessions(const std::vector<RawSession> &raw)
{
    std::vector<SessionInfo> out;
    for (const RawSession &s : raw) {
        if (s.id == 0 || (s.state != WTSActive && s.state != WTSConnected))
            continue;
        if (!s.userKnown || s.user.empty() || s.principal.empty())
            continue;
        out.push_back({s.id, s.user, s.principal});
    }
    return out;
}

std::string accountSid(const std::string &domain, const std::string &user)
{
    // Only qualified: a bare name could be taken for a same-named account of another domain.
    if (domain.empty() || user.empty())
        return {};
    const std::wstring name = wintext::widen(domain + "\\" + user);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidLength = sizeof sid;
    wchar_t found[256];
    DWORD foundLength = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, name.c_str(), sid, &sidLength, found, &foundLength, &use) || use != SidTypeUser)
        return {};
    return wintoken::sidString(sid);
}

std::string accountName(const std::string &sid)
{
    PSID binary = nullptr;
    if (!isLocalAccount(sid) || !ConvertStringSidToSidW(wintext::widen(sid).c_str(), &binary))
        return sid;
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    const bool found = LookupAccountSidW(nullptr, binary, name, &nameLength, domain, &domainLength, &use) != 0;
    LocalFree(binary);
    return found ? wintext::narrow(name) : sid;
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
        if (s.id != 0) {
            s.user = queryString(s.id, WTSUserName, &s.userKnown);
            if (!s.user.empty())
                s.principal = sessionPrincipal(s.id, s.user);
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
    // The token the client opened the pipe with, not that of whatever process now has its pid.
    const HANDLE pipe = reinterpret_cast<HANDLE>(descriptor);
    const wintoken::Handle token = wintoken::pipeClientToken(pipe, TOKEN_QUERY);
    if (!token)
        return false;
    const std::vector<unsigned char> user = wintoken::query(token.get(), TokenUser);
    if (user.empty())
        return false;
    const PSID sid = reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid;
    peer->principal = wintoken::sidString(sid);
    if (peer->principal.empty())
        return false;
    peer->privileged = IsWellKnownSid(sid, WinLocalSystemSid) != 0;
    peer->user = accountName(peer->principal);

    // Both recorded by the pipe at the client's open; the pid only names the peer in logs.
    ULONG pid = 0;
    peer->pid = GetNamedPipeClientProcessId(pipe, &pid) && pid != 0 ? std::int64_t(pid) : -1;
    ULONG session = 0;
    peer->hasSession = GetNamedPipeClientSessionId(pipe, &session) != 0;
    peer->session = peer->hasSession ? session : 0;
    return true;
}

bool ownIdentity(SessionInfo *self)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const wintoken::Handle owned(token);
    self->principal = wintoken::userSid(token);
    self->user = accountName(self->principal);
    return !self->principal.empty();
}

std::string sourceName()
{
    return "Terminal Services";
}

} // namespace sessions
