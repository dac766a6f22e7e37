#include "service/logfile.h"
#include "service/wintext_win.h"

#include <windows.h>

namespace logfile {

namespace {

// Runs the operation impersonating the client whose token was captured; the daemon's own
// rights when there is none.
class AsIdentity
{
public:
    explicit AsIdentity(const Identity &as)
    {
        if (!as.daemon && as.token)
            m_active = ImpersonateLoggedOnUser(static_cast<HANDLE>(as.token.get())) != 0;
        m_refused = !as.daemon && !m_active;
    }
    ~AsIdentity()
    {
        if (m_active)
            RevertToSelf();
    }
    AsIdentity(const AsIdentity &) = delete;
    AsIdentity &operator=(const AsIdentity &) = delete;
    // A client identity that could not be taken on: do nothing rather than act as the daemon.
    bool refused() const { return m_refused; }

private:
    bool m_active = false;
    bool m_refused = false;
};

bool isReparsePoint(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info;
    return !GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

} // namespace

Identity identityOfPeer(std::intptr_t descriptor)
{
    Identity id;
    HANDLE pipe = reinterpret_cast<HANDLE>(descriptor);
    if (!ImpersonateNamedPipeClient(pipe))
        return id;
    HANDLE thread = nullptr;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, &thread)) {
        DuplicateTokenEx(thread, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation, TokenImpersonation,
                         &token);
        CloseHandle(thread);
    }
    RevertToSelf();
    if (token) {
        id.daemon = false;
        id.token = std::shared_ptr<void>(token, [](void *h) { CloseHandle(static_cast<HANDLE>(h)); });
    }
    return id;
}

bool append(const std::string &path, const std::string &bytes, const Identity &as)
{
    AsIdentity guard(as);
    if (guard.refused())
        return false;
    // The link itself is opened, not its target, and then refused.
    HANDLE h = CreateFileW(wintext::widen(path).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    if (isReparsePoint(h)) {
        CloseHandle(h);
        return false;
    }
    // Text mode: line feeds are written as carriage return and line feed.
    std::string text;
    text.reserve(bytes.size() + 8);
    for (char c : bytes) {
        if (c == '\n')
            text.push_back('\r');
        text.push_back(c);
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == text.size();
}

std::int64_t size(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    if (guard.refused())
        return -1;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wintext::widen(path).c_str(), GetFileExInfoStandard, &data))
        return -1;
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return -1;
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool exists(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    if (guard.refused())
        return false;
    return GetFileAttributesW(wintext::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool remove(const std::string &path, const Identity &as)
{
    AsIdentity guard(as);
    if (guard.refused())
        return false;
    return DeleteFileW(wintext::widen(path).c_str()) != 0;
}

bool rename(const std::string &from, const std::string &to, const Identity &as)
{
    AsIdentity guard(as);
    if (guard.refused())
        return false;
    return MoveFileExW(wintext::widen(from).c_str(), wintext::widen(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool makePath(const std::string &dir, const Identity &as)
{
    if (dir.empty())
        return false;
    AsIdentity guard(as);
    if (guard.refused())
        return false;
    std::wstring wdir = wintext::widen(dir);
    for (auto &c : wdir)
        if (c == L'/')
            c = L'\\';
    size_t pos = 0;
    // Skip a drive ("C:\") or a UNC prefix ("\\server\share\") before creating anything.
    if (wdir.size() >= 2 && wdir[1] == L':')
        pos = 2;
    else if (wdir.rfind(L"\\\\", 0) == 0)
        pos = wdir.find(L'\\', wdir.find(L'\\', 2) + 1);
    while (pos != std::wstring::npos) {
        pos = wdir.find(L'\\', pos + 1);
        const std::wstring partial = wdir.substr(0, pos);
        if (!partial.empty() && !CreateDirectoryW(partial.c_str(), nullptr)
            && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    const DWORD attrs = GetFileAttributesW(wdir.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace logfile
