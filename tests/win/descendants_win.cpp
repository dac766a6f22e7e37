#include "descendants_win.h"

#include "service/wintext_win.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <map>

namespace descendants {

namespace {

// Wine starts its desktop and services on demand, as children of whichever process first
// needs them, and they outlive it: they are wine's, not the test's.
bool wineOwn(const wchar_t *name)
{
    for (const wchar_t *own : {L"explorer.exe", L"services.exe", L"winedevice.exe", L"plugplay.exe", L"svchost.exe",
                               L"rpcss.exe", L"tabtip.exe", L"wineboot.exe"})
        if (_wcsicmp(name, own) == 0)
            return true;
    return false;
}

} // namespace

std::vector<Process> of(const std::vector<std::uint32_t> &roots)
{
    std::map<std::uint32_t, PROCESSENTRY32W> running;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return {};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        running[entry.th32ProcessID] = entry;
    CloseHandle(snapshot);

    std::vector<std::uint32_t> found(roots);
    std::vector<Process> out;
    // Parents before children is not an order the snapshot promises: passes until none is added.
    for (bool added = true; added;) {
        added = false;
        for (const auto &[pid, e] : running) {
            const bool known = std::find(found.begin(), found.end(), pid) != found.end();
            if (known || wineOwn(e.szExeFile) || std::find(found.begin(), found.end(), e.th32ParentProcessID) == found.end())
                continue;
            found.push_back(pid);
            out.push_back({pid, wintext::narrow(e.szExeFile)});
            added = true;
        }
    }
    return out;
}

} // namespace descendants
