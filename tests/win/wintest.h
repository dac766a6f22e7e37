#pragma once
// Shared pieces of the Windows tests, and of the output reader's benchmark (no doctest there, so
// none of the helpers that check).

#include "process/childprocess.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wintest {

// The folder this program runs from, and the temporary folder, with their trailing separator.
inline std::wstring ownFolder()
{
    wchar_t path[MAX_PATH];
    const std::wstring p(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

inline std::wstring tempFolder()
{
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetTempPathW(MAX_PATH, path));
}

// A temporary path no earlier run used: wine gives the same process ids run after run, and a run
// that failed leaves its files behind.
inline std::wstring freshPath(const std::wstring &prefix)
{
    return tempFolder() + prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
}

// The handles open in this process. Under wine GetProcessHandleCount says 0 whatever is open, so
// every handle value (a small multiple of 4) is asked about.
inline int openHandles()
{
    int n = 0;
    DWORD flags = 0;
    for (std::uintptr_t h = 4; h < 0x10000; h += 4)
        n += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) ? 1 : 0;
    return n;
}

// The SID string of this process's user, asked without the code under test; empty if unknown.
inline std::string ownSid()
{
    HANDLE token = nullptr;
    unsigned char buffer[256];
    DWORD length = 0;
    LPSTR text = nullptr;
    std::string sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)
        && GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length)
        && ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &text))
        sid = text;
    LocalFree(text);
    CloseHandle(token);
    return sid;
}

// A whole file's bytes, or "<missing>".
inline std::string slurp(const std::wstring &path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string out;
    char buf[4096];
    for (DWORD n = 0; ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0;)
        out.append(buf, n);
    CloseHandle(h);
    return out;
}

// Reads until the text has appeared count times, or ten seconds have gone; how often it has.
inline int readUntil(childprocess::Child &child, std::string &out, const std::string &text, int count = 1)
{
    int seen = 0;
    std::string err;
    for (int i = 0; i < 100 && seen < count; ++i) {
        child.readOutput(out, err, 4096, 100);
        seen = 0;
        for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size()))
            ++seen;
    }
    return seen;
}

#ifdef DOCTEST_LIBRARY_INCLUDED
// The test child (tests/helpers/childhelper.cpp), or another program.
inline std::unique_ptr<childprocess::Child> start(std::vector<std::string> args,
                                                  const std::wstring &program = ownFolder() + L"childhelper.exe",
                                                  const std::string &dir = {})
{
    childprocess::LaunchError error;
    auto child = childprocess::Child::launch({wintext::narrow(program), std::move(args), dir}, &error);
    REQUIRE_MESSAGE(child, error.step << " " << error.code);
    return child;
}

// One that has said "ready", so it is surely running.
inline std::unique_ptr<childprocess::Child> startReady(std::vector<std::string> args,
                                                       const std::wstring &program = ownFolder() + L"childhelper.exe")
{
    auto child = start(std::move(args), program);
    std::string out;
    REQUIRE(readUntil(*child, out, "ready"));
    return child;
}

// Everything a child writes until both pipes end, and its exit code.
struct Result
{
    std::string out, err;
    int code = -12345;
};

inline Result finish(childprocess::Child &child)
{
    Result r;
    while (child.readOutput(r.out, r.err, 256 * 1024, 60000)) {
    }
    REQUIRE(child.waitForExit(&r.code));
    return r;
}

inline int exitCode(childprocess::Child &child)
{
    int code = -12345;
    CHECK(child.waitForExit(&code));
    return code;
}
#endif

} // namespace wintest
