#include "ipc/socketpath.h"
#include "service/wintext_win.h"

#include <windows.h>

namespace socketpath {

namespace {

class MutexClaim : public Claim
{
public:
    explicit MutexClaim(HANDLE mutex) : m_mutex(mutex) {}
    ~MutexClaim() override { CloseHandle(m_mutex); }

private:
    HANDLE m_mutex;
};

} // namespace

std::string socketPath(const std::string &base, std::uint32_t session)
{
    return "\\\\.\\pipe\\" + base + "-" + std::to_string(session);
}

bool prepare(const std::string &, std::string *)
{
    return true; // pipes live in the system's namespace, not in a folder
}

std::unique_ptr<Claim> claim(const std::string &path, std::string *error)
{
    // A second server of the same pipe name would take some of its clients: one name, one
    // daemon, told apart by a mutex in the global namespace (no backslash allowed in its name).
    std::string name = "Global\\tarnd-claim-";
    for (char c : path)
        name.push_back(c == '\\' ? '_' : c);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, wintext::widen(name).c_str());
    if (!mutex) {
        *error = "CreateMutexW failed: " + std::to_string(GetLastError());
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        *error = "it is served by another process";
        return nullptr;
    }
    return std::make_unique<MutexClaim>(mutex);
}

} // namespace socketpath
