#pragma once
// Shared pieces of the Windows tests.

#include "process/childprocess.h"

#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <string>

namespace wintest {

// The folder this test program runs from, with its trailing separator.
inline std::wstring ownFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring p(path);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

// The handles this process has open. GetProcessHandleCount says 0 under wine whatever is open,
// so every handle value is asked about instead; they are small multiples of 4.
inline int openHandles()
{
    int n = 0;
    DWORD flags = 0;
    for (std::uintptr_t h = 4; h < 0x10000; h += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags))
            ++n;
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
    if (token)
        CloseHandle(token);
    return sid;
}

// A whole file's bytes, or "<missing>" when it cannot be opened.
inline std::string slurp(const std::wstring &path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        out.append(buf, n);
    CloseHandle(h);
    return out;
}

// Reads until the text appears; false after a few seconds without it.
inline bool readUntil(childprocess::Child &child, std::string &out, const std::string &text)
{
    std::string err;
    for (int i = 0; i < 100 && out.find(text) == std::string::npos; ++i)
        child.readOutput(out, err, 4096, 100);
    return out.find(text) != std::string::npos;
}

} // namespace wintest
