// A service program for the tests: the real entry, with a run body that reports running, notes
// each user-defined control in winservice.log beside itself, and ends on the stop control.

#include "service/windowsservice_win.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

HANDLE g_stop = nullptr;

std::wstring logPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring p(path);
    return p.substr(0, p.find_last_of(L"\\/") + 1) + L"winservice.log";
}

void note(const std::string &line)
{
    HANDLE f = CreateFileW(logPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(f, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(f);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return runServiceEntry(
        argc, argv,
        [](WindowsService &service) {
            service.setCustomControlHandler([](std::uint32_t code) { note("control " + std::to_string(code)); });
            service.reportRunning();
            note("running");
            WaitForSingleObject(g_stop, 60000);
            service.setCustomControlHandler({});
            note("stopped");
            service.reportStopped();
        },
        [] {
            note("stop requested");
            SetEvent(g_stop);
        });
}
