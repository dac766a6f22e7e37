#include "descendants_win.h"

#include "service/wintext_win.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>

namespace descendants {

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
    // Wine starts its desktop and services as children of whichever process first needs them.
    const wchar_t *const wine[] = {L"explorer.exe", L"services.exe", L"winedevice.exe", L"plugplay.exe",
                                   L"svchost.exe", L"rpcss.exe", L"tabtip.exe", L"wineboot.exe"};
    const auto known = [&found](std::uint32_t pid) { return std::find(found.begin(), found.end(), pid) != found.end(); };
    // The snapshot does not promise parents before children: passes until none is added.
    for (bool added = true; added;) {
        added = false;
        for (const auto &[pid, e] : running) {
            const auto isWine = [&e](const wchar_t *name) { return _wcsicmp(e.szExeFile, name) == 0; };
            if (known(pid) || !known(e.th32ParentProcessID) || std::any_of(std::begin(wine), std::end(wine), isWine))
                continue;
            found.push_back(pid);
            out.push_back({pid, wintext::narrow(e.szExeFile)});
            added = true;
        }
    }
    return out;
}

} // namespace descendants
