// The Windows side of the test child: console control handlers, a grandchild made of a copy of
// itself, and the modes only Windows has.

#include "childhelper.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <filesystem>

namespace child {
namespace {
int g_argc;
wchar_t **g_argv;
void (*g_onInterrupt)();
std::string utf8(const wchar_t *w) { return std::filesystem::path(w).u8string(); }
} // namespace

void put(int stream, const std::string &text)
{
    DWORD n = 0;
    const HANDLE h = GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (!text.empty() && !WriteFile(h, text.data(), DWORD(text.size()), &n, nullptr))
        ExitProcess(99);
}

size_t readIn(char *buf, size_t n)
{
    DWORD r = 0;
    return ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, DWORD(n), &r, nullptr) ? r : 0;
}

void appendTo(const std::string &path, const std::string &text)
{
    // FILE_APPEND_DATA alone: each write goes to the end as one, whoever else appends.
    const HANDLE h = CreateFileW(std::filesystem::u8path(path).c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD n = 0;
    WriteFile(h, text.data(), DWORD(text.size()), &n, nullptr);
    CloseHandle(h);
}

std::vector<std::string> environment()
{
    std::vector<std::string> all;
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *e = block; e && *e; e += std::wcslen(e) + 1)
        all.push_back(utf8(e));
    FreeEnvironmentStringsW(block);
    return all;
}

std::string argsNote()
{
    int split = 0;
    wchar_t **again = CommandLineToArgvW(GetCommandLineW(), &split);
    bool same = again && split == g_argc;
    for (int i = 1; same && i < g_argc; ++i)
        same = std::wcscmp(again[i], g_argv[i]) == 0;
    LocalFree(again);
    return same ? "same\n" : "differs\n";
}

void idle() { Sleep(30000); ExitProcess(0); }

void onInterrupt(void (*handler)())
{
    g_onInterrupt = handler;
    SetConsoleCtrlHandler([](DWORD type) -> BOOL { return type == CTRL_C_EVENT && (g_onInterrupt(), true); }, TRUE);
}

// A copy of itself as "deaf", on the same console and inheriting nothing.
long long startGrandchild(bool hold)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" deaf";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (hold || !CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

long long ownPid() { return GetCurrentProcessId(); }

bool holdTun(const std::string &) { return true; }

int platformMode(const std::vector<std::string> &args)
{
    const std::string &mode = args[1];
    if (mode == "deaf") { // the grandchild of "family"
        SetConsoleCtrlHandler(nullptr, TRUE);
        idle();
    }
    if (mode == "noconsole" || mode == "lateconsole") {
        static int code;
        code = args.size() > 2 ? std::atoi(args[2].c_str()) : 0;
        // The handler first: a Ctrl+C reaching the new console before it would end this child.
        onInterrupt([] { std::_Exit(code); });
        FreeConsole();
        put(1, "ready\n");
        Sleep(300);
        if (mode == "lateconsole" && !AllocConsole())
            return 3;
        idle();
    }
    if (mode == "handles" && args.size() > 2) {
        put(1, SetEvent(HANDLE(std::uintptr_t(std::stoull(args[2])))) ? "foreign set\n" : "foreign refused\n");
        put(2, "stderr ok");
        char buf[3]; // written at once, so read at once
        put(1, "stdin " + std::string(buf, readIn(buf, sizeof buf)) + "\n");
        return 0;
    }
    return -1;
}

} // namespace child

int wmain(int argc, wchar_t **argv)
{
    child::g_argc = argc;
    child::g_argv = argv;
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(child::utf8(argv[i]));
    return child::run(args);
}
