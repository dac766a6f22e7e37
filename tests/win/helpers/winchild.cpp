// A child for the Windows tests; its first argument says what it does.
//   args ...     each further argument as UTF-8 in brackets, one a line, then "same" or
//                "differs": whether CommandLineToArgvW splits the command line the same way
//   out N | err N    N bytes of a fixed pattern on stdout / stderr
//   exit CODE    exit with CODE (decimal or 0x hex)
//   echo         copy stdin to stdout
//   noread       print "ready", never read stdin, end after 30 s
//   ctrlc        print "ready", exit 42 when Ctrl+C arrives, 9 after 20 s without
//   ignorectrlc  print "ready", then "ctrl-c" for every Ctrl+C, which it ignores; end after 20 s
//   noconsole    leave its console, print "ready", end after 20 s
//   lateconsole  leave its console, print "ready", take a new one 300 ms later, then as ctrlc
//   cwd          print the working directory
//   both N       N bytes of the pattern, in pieces of 10000 taken in turn by stdout and stderr
//   flood MIB    MIB mebibytes on stdout, in writes of 64 KiB
//   tree         start a copy of itself as "deaf" on the same console, inheriting nothing, print
//                "grandchild PID", then as ctrlc
//   deaf         ignore Ctrl+C, end after 30 s
//   handles H    try SetEvent on the handle value H (decimal), print "foreign refused" or
//                "foreign set"; print "stderr ok" on stderr; read 3 bytes of stdin, print them

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cwchar>
#include <string>

namespace {

HANDLE g_ctrlC;

void put(HANDLE h, const std::string &s)
{
    DWORD n = 0;
    WriteFile(h, s.data(), DWORD(s.size()), &n, nullptr);
}

std::string utf8(const wchar_t *w)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}

BOOL WINAPI onCtrl(DWORD type)
{
    if (type != CTRL_C_EVENT)
        return FALSE;
    SetEvent(g_ctrlC);
    return TRUE;
}

BOOL WINAPI countCtrl(DWORD type)
{
    if (type != CTRL_C_EVENT)
        return FALSE;
    put(GetStdHandle(STD_OUTPUT_HANDLE), "ctrl-c\n");
    return TRUE;
}

void armCtrlC()
{
    g_ctrlC = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onCtrl, TRUE);
}

int awaitCtrlC()
{
    return WaitForSingleObject(g_ctrlC, 20000) == WAIT_OBJECT_0 ? 42 : 9;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    const unsigned long n = argc > 2 ? std::wcstoul(argv[2], nullptr, 0) : 0;
    if (mode == L"args") {
        std::string text;
        for (int i = 2; i < argc; ++i)
            text += "[" + utf8(argv[i]) + "]\n";
        int split = 0;
        wchar_t **again = CommandLineToArgvW(GetCommandLineW(), &split);
        bool same = again && split == argc;
        for (int i = 1; same && i < argc; ++i)
            same = std::wcscmp(again[i], argv[i]) == 0;
        LocalFree(again);
        put(out, text + (same ? "same\n" : "differs\n"));
        return 0;
    }
    if (mode == L"out" || mode == L"err") {
        put(mode == L"out" ? out : GetStdHandle(STD_ERROR_HANDLE), pattern(n));
        return 0;
    }
    if (mode == L"exit")
        return int(n);
    if (mode == L"echo") {
        char buf[4096];
        DWORD r = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &r, nullptr) && r > 0)
            put(out, std::string(buf, r));
        return 0;
    }
    if (mode == L"noread") {
        put(out, "ready\n");
        Sleep(30000);
        return 0;
    }
    if (mode == L"ctrlc") {
        armCtrlC();
        put(out, "ready\n");
        return awaitCtrlC();
    }
    if (mode == L"ignorectrlc") {
        SetConsoleCtrlHandler(countCtrl, TRUE);
        put(out, "ready\n");
        Sleep(20000);
        return 0;
    }
    if (mode == L"noconsole") {
        FreeConsole();
        put(out, "ready\n");
        Sleep(20000);
        return 0;
    }
    if (mode == L"lateconsole") {
        // The handler first: a Ctrl+C reaching the new console before it would end this child.
        armCtrlC();
        FreeConsole();
        put(out, "ready\n");
        Sleep(300);
        if (!AllocConsole())
            return 3;
        return awaitCtrlC();
    }
    if (mode == L"both") {
        const std::string all = pattern(n);
        for (size_t at = 0, i = 0; at < all.size(); at += 10000, ++i)
            put(GetStdHandle(i % 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), all.substr(at, 10000));
        return 0;
    }
    if (mode == L"flood") {
        const std::string piece = pattern(64 * 1024);
        for (unsigned long i = 0; i < n * 16; ++i)
            put(out, piece);
        return 0;
    }
    if (mode == L"tree") {
        armCtrlC();
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring line = L"\"" + std::wstring(self) + L"\" deaf";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return 3;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        put(out, "grandchild " + std::to_string(pi.dwProcessId) + "\n");
        return awaitCtrlC();
    }
    if (mode == L"deaf") {
        SetConsoleCtrlHandler(nullptr, TRUE);
        Sleep(30000);
        return 0;
    }
    if (mode == L"handles") {
        const HANDLE foreign = reinterpret_cast<HANDLE>(std::uintptr_t(n));
        put(out, SetEvent(foreign) ? "foreign set\n" : "foreign refused\n");
        put(GetStdHandle(STD_ERROR_HANDLE), "stderr ok");
        char buf[3];
        DWORD got = 0, r = 0;
        while (got < sizeof buf && ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf + got, sizeof buf - got, &r, nullptr) && r > 0)
            got += r;
        put(out, "stdin " + std::string(buf, got) + "\n");
        return 0;
    }
    if (mode == L"cwd") {
        wchar_t dir[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, dir);
        put(out, utf8(dir) + "\n");
        return 0;
    }
    return 2;
}
