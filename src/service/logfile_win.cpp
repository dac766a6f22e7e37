#include "service/logfile_win.h"
#include "service/wintext_win.h"
#include "service/wintoken_win.h"

#include <aclapi.h>

#include <cstdlib>
#include <cstring>

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
        // Going on in the client's identity would serve everything after with its rights.
        if (m_active && !RevertToSelf())
            std::abort();
    }
    AsIdentity(const AsIdentity &) = delete;
    AsIdentity &operator=(const AsIdentity &) = delete;
    // A client identity that could not be taken on: do nothing rather than act as the daemon.
    bool refused() const { return m_refused; }

private:
    bool m_active = false;
    bool m_refused = false;
};

// What the open found is written only when it is a file on a disk with this one name, and, for
// a client, the client's own: a second link could name a file of someone else's that the client
// may write, which the daemon must not be made to fill.
bool acceptable(HANDLE h, const Identity &as)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        || info.nNumberOfLinks != 1)
        return false;
    if (as.daemon)
        return true;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor)
        != ERROR_SUCCESS)
        return false;
    const bool own = ownedByClient(owner, static_cast<HANDLE>(as.token.get()));
    LocalFree(descriptor);
    return own;
}

bool refuse(std::string *reason, const char *why)
{
    if (reason)
        *reason = why;
    return false;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (also with an extension): a device wherever the name
// appears in a plain path.
bool isDeviceName(const std::string &component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char &c : base)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
        return true;
    if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0))
        return false;
    const std::string digit = base.substr(3);
    // The superscripts one to three count as digits here too.
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2"
        || digit == "\xC2\xB3";
}

} // namespace

std::optional<Identity> identityOfToken(HANDLE token)
{
    const std::vector<unsigned char> level = wintoken::query(token, TokenImpersonationLevel);
    SECURITY_IMPERSONATION_LEVEL value = SecurityAnonymous;
    if (level.size() != sizeof value)
        return std::nullopt;
    std::memcpy(&value, level.data(), sizeof value);
    if (value != SecurityImpersonation && value != SecurityDelegation)
        return std::nullopt;
    HANDLE copy = nullptr;
    if (!DuplicateTokenEx(token, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation, TokenImpersonation,
                          &copy))
        return std::nullopt;
    Identity id;
    id.daemon = false;
    id.token = std::shared_ptr<void>(copy, wintoken::HandleCloser());
    return id;
}

bool ownedByClient(PSID owner, HANDLE token)
{
    if (!owner || !IsValidSid(owner))
        return false;
    const std::vector<unsigned char> user = wintoken::query(token, TokenUser);
    if (!user.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid))
        return true;
    const std::vector<unsigned char> defaultOwner = wintoken::query(token, TokenOwner);
    return !defaultOwner.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_OWNER *>(defaultOwner.data())->Owner);
}

std::optional<Identity> identityOfPeer(std::intptr_t descriptor)
{
    const wintoken::Handle token = wintoken::pipeClientToken(reinterpret_cast<HANDLE>(descriptor),
                                                             TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE);
    if (!token)
        return std::nullopt;
    return identityOfToken(token.get());
}

bool clientPathAllowed(const std::string &path, std::string *reason)
{
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.find('\0') != std::string::npos)
        return refuse(reason, "a NUL character in the path");
    std::size_t rest = 0; // past the drive's "C:\"
    if (path.compare(0, 4, "\\\\?\\") == 0) {
        // Taken literally by the file system: only the drive form, with its own separator.
        if (path.size() < 7 || !letter(path[4]) || path[5] != ':' || path[6] != '\\')
            return refuse(reason, "a \\\\?\\ path other than \\\\?\\C:\\...");
        rest = 7;
    } else if (path.size() >= 2 && separator(path[0]) && separator(path[1])) {
        return refuse(reason, "a network share or device path");
    } else if (path.size() >= 3 && letter(path[0]) && path[1] == ':' && separator(path[2])) {
        rest = 3;
    } else if (path.size() >= 2 && letter(path[0]) && path[1] == ':') {
        return refuse(reason, "a path relative to a drive's current folder");
    } else {
        return refuse(reason, "not an absolute path");
    }
    if (path.find(':', rest) != std::string::npos)
        return refuse(reason, "a colon after the drive (a stream of a file)");
    for (std::size_t start = rest; start <= path.size();) {
        std::size_t end = start;
        while (end < path.size() && !separator(path[end]))
            ++end;
        if (isDeviceName(path.substr(start, end - start)))
            return refuse(reason, "a device name (CON, NUL, COM1, ...)");
        start = end + 1;
    }
    return true;
}

bool append(const std::string &path, const std::string &bytes, const Identity &as)
{
    AsIdentity guard(as);
    if (guard.refused())
        return false;
    // The link itself is opened, not its target, and then refused. Should the path lead to a
    // pipe after all, its server learns nothing it could act as (anonymous level).
    const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | (as.daemon ? 0 : READ_CONTROL);
    const HANDLE h = CreateFileW(wintext::widen(path).c_str(), access,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT
                                     | SECURITY_ANONYMOUS,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const wintoken::Handle file(h);
    if (!acceptable(h, as))
        return false;
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
