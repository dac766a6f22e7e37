#include "daemon/execfile.h"
#include "daemon/execfile_win.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace execfile {

namespace {

class Handle
{
public:
    explicit Handle(HANDLE h = nullptr) : m_h(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle()
    {
        if (m_h)
            CloseHandle(m_h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return m_h; }
    void reset(HANDLE h)
    {
        if (m_h)
            CloseHandle(m_h);
        m_h = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }

private:
    HANDLE m_h;
};

std::string systemError(DWORD code)
{
    return "system error " + std::to_string(code);
}

bool fail(std::string *reason, const std::string &text)
{
    if (reason)
        *reason = text;
    return true;
}

std::string rightsNamed(DWORD rights)
{
    static const struct
    {
        DWORD bit;
        const char *name;
    } names[] = {{FILE_WRITE_DATA, "write"}, {FILE_APPEND_DATA, "append"}, {WRITE_DAC, "change its rights"},
                 {WRITE_OWNER, "take ownership"}, {DELETE, "delete"}};
    std::string text;
    for (const auto &n : names) {
        if (rights & n.bit)
            text += (text.empty() ? "" : ", ") + std::string(n.name);
    }
    return text;
}

std::string folderRightsNamed(DWORD rights)
{
    std::string text;
    if (rights & (FILE_ADD_FILE | FILE_DELETE_CHILD))
        text = "add or remove files";
    if (rights & (WRITE_DAC | WRITE_OWNER | DELETE))
        text += (text.empty() ? "" : ", ") + std::string("change its rights or delete it");
    return text;
}

// The object at the path itself (a link is not followed), opened only to read its security.
HANDLE openObject(const std::wstring &path)
{
    return CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Which of `mask` the token is granted on the opened object; false with *error when it cannot
// be told.
bool granted(HANDLE object, HANDLE token, DWORD mask, DWORD *rights, DWORD *error)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = GetSecurityInfo(object, SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        *error = rc;
        return false;
    }
    const bool ok = grantedBy(sd, token, mask, rights, error);
    LocalFree(sd);
    return ok;
}

std::wstring backslashed(std::string path)
{
    for (char &c : path) {
        if (c == '/')
            c = '\\';
    }
    while (path.size() > 3 && path.back() == '\\')
        path.pop_back();
    return wintext::widen(path);
}

bool startsWithFolder(const std::wstring &path, const std::wstring &folder)
{
    const bool rooted = !folder.empty() && folder.back() == L'\\';
    const std::size_t n = folder.size();
    return path.size() > n + (rooted ? 0 : 1) && (rooted || path[n] == L'\\')
        && CompareStringOrdinal(path.c_str(), int(n), folder.c_str(), int(n), TRUE) == CSTR_EQUAL;
}

// The client's token as AccessCheck takes it: an impersonation token as it is, a primary one
// duplicated into *duplicate. Null on failure, with the error in GetLastError.
HANDLE checkToken(const logfile::Identity &client, Handle *duplicate)
{
    HANDLE token = static_cast<HANDLE>(client.token.get());
    TOKEN_TYPE type = TokenImpersonation;
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenType, &type, sizeof type, &size))
        return nullptr;
    if (type != TokenPrimary)
        return token;
    HANDLE dup = nullptr;
    if (!DuplicateToken(token, SecurityIdentification, &dup))
        return nullptr;
    duplicate->reset(dup);
    return dup;
}

} // namespace

bool grantedBy(PSECURITY_DESCRIPTOR sd, HANDLE token, DWORD mask, DWORD *rights, DWORD *error)
{
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    // Room for the privileges AccessCheck may report having used (SeTakeOwnership and the like).
    alignas(PRIVILEGE_SET) unsigned char privileges[512];
    DWORD privilegesSize = sizeof privileges;
    DWORD access = 0;
    BOOL status = FALSE;
    // MAXIMUM_ALLOWED: any one right of the mask is enough to refuse, not only all of them.
    if (!AccessCheck(sd, token, MAXIMUM_ALLOWED, &mapping, reinterpret_cast<PPRIVILEGE_SET>(privileges),
                     &privilegesSize, &access, &status)) {
        *error = GetLastError();
        return false;
    }
    *rights = status ? (access & mask) : 0;
    return true;
}

std::string defaultPolicyPath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return "tarnd.conf";
        if (n < buffer.size()) {
            std::wstring path(buffer.data(), n);
            return wintext::narrow(path.substr(0, path.find_last_of(L"\\/") + 1) + L"tarnd.conf");
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool asClient(const logfile::Identity &client, const std::function<void()> &work)
{
    if (client.daemon || !client.token)
        return false;
    bool taken = false;
    // A thread of its own: the impersonation ends with it, whatever work does.
    try {
        std::thread([&] {
            if (!ImpersonateLoggedOnUser(static_cast<HANDLE>(client.token.get())))
                return;
            taken = true;
            work();
            RevertToSelf();
        }).join();
    } catch (const std::system_error &) {
        return false; // no thread to be had: refused, like an identity not taken on
    }
    return taken;
}

bool mayNotRun(const std::string &file, const std::string &folder, const logfile::Identity &client,
               std::string *reason)
{
    if (client.daemon || !client.token)
        return fail(reason, "cannot be checked: the client's identity cannot be had");
    const std::wstring path = backslashed(file);
    const std::wstring top = backslashed(folder);
    if (top.empty() || !startsWithFolder(path, top))
        return fail(reason, "is not inside " + folder);

    Handle duplicate;
    const HANDLE token = checkToken(client, &duplicate);
    if (!token)
        return fail(reason, "cannot be checked: the client's token: " + systemError(GetLastError()));

    Handle object(openObject(path));
    if (!object.get())
        return fail(reason, "cannot be opened: " + systemError(GetLastError()));
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(object.get(), FileAttributeTagInfo, &info, sizeof info))
        return fail(reason, "cannot be checked: " + systemError(GetLastError()));
    if (GetFileType(object.get()) != FILE_TYPE_DISK
        || (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return fail(reason, "is not a regular file");
    DWORD rights = 0;
    DWORD error = 0;
    if (!granted(object.get(), token, FileMask, &rights, &error))
        return fail(reason, "cannot be checked: " + systemError(error));
    if (rights)
        return fail(reason, "is writable by the client (" + rightsNamed(rights) + ")");
    // The daemon runs it with its own rights: never what the client may not run itself.
    if (!granted(object.get(), token, FILE_EXECUTE, &rights, &error))
        return fail(reason, "cannot be checked: " + systemError(error));
    if (!rights)
        return fail(reason, "is not the client's to run");

    // Up from the file's folder to the allowed one. Each is its own object at its own path: a link
    // or junction there now, where the canonical path had none, is a change to refuse.
    std::wstring current = path;
    while (true) {
        const std::size_t cut = current.find_last_of(L'\\');
        if (cut == std::wstring::npos)
            return fail(reason, "is not inside " + folder);
        current.erase(cut == 2 && current[1] == L':' ? cut + 1 : cut);
        const bool atTop = current.size() <= top.size();
        const std::string named = wintext::narrow(current);
        object.reset(openObject(current));
        if (!object.get())
            return fail(reason, "cannot be checked: " + named + ": " + systemError(GetLastError()));
        if (!GetFileInformationByHandleEx(object.get(), FileAttributeTagInfo, &info, sizeof info))
            return fail(reason, "cannot be checked: " + named + ": " + systemError(GetLastError()));
        if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return fail(reason, "cannot be checked: " + named + " is not a plain folder");
        if (!granted(object.get(), token, atTop ? FolderMask : InnerFolderMask, &rights, &error))
            return fail(reason, "cannot be checked: " + named + ": " + systemError(error));
        if (rights)
            return fail(reason, "is in a folder writable by the client: " + named + " (" + folderRightsNamed(rights) + ")");
        if (atTop)
            return false;
    }
}

bool folderWritableBy(const std::string &folder, const logfile::Identity &client, std::string *reason)
{
    if (client.daemon || !client.token)
        return fail(reason, "cannot be checked: the client's identity cannot be had");
    Handle duplicate;
    const HANDLE token = checkToken(client, &duplicate);
    if (!token)
        return fail(reason, "cannot be checked: the client's token: " + systemError(GetLastError()));
    // The folder itself must take no new file; it and every folder above it must not be
    // replaceable (deleted, emptied of it, or given other rights) by the client.
    constexpr DWORD SwapMask = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | DELETE;
    std::wstring current = backslashed(folder);
    for (bool first = true;; first = false) {
        const std::string named = wintext::narrow(current);
        Handle object(openObject(current));
        FILE_ATTRIBUTE_TAG_INFO info{};
        if (!object.get() || !GetFileInformationByHandleEx(object.get(), FileAttributeTagInfo, &info, sizeof info))
            return fail(reason, "cannot be checked: " + named + ": " + systemError(GetLastError()));
        if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return fail(reason, "cannot be checked: " + named + " is not a plain folder");
        DWORD rights = 0, error = 0;
        if (!granted(object.get(), token, first ? InnerFolderMask : SwapMask, &rights, &error))
            return fail(reason, "cannot be checked: " + named + ": " + systemError(error));
        if (rights && first)
            return fail(reason, "is writable by the client (" + folderRightsNamed(rights) + ")");
        if (rights)
            return fail(reason, "is in a folder writable by the client: " + named + " (" + folderRightsNamed(rights) + ")");
        const std::size_t cut = current.find_last_of(L'\\');
        if (cut == std::wstring::npos || current.size() <= 3)
            return false; // the drive's root
        current.erase(cut == 2 && current[1] == L':' ? cut + 1 : cut);
    }
}

} // namespace execfile
