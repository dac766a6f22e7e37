// The Windows service-host layer under wine: privilege query and log file operations.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "service/logfile.h"
#include "service/privilege.h"
#include "service/wintext_win.h"

#include <windows.h>

#include <string>

namespace {

std::string tempDir()
{
    wchar_t buf[MAX_PATH];
    GetTempPathW(MAX_PATH, buf);
    std::string dir = wintext::narrow(buf) + "tarnd-test-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryW(wintext::widen(dir).c_str(), nullptr);
    return dir;
}

std::string slurp(const std::string &path)
{
    HANDLE h = CreateFileW(wintext::widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
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

// The answer from the token, asked independently of the code under test.
int elevationFromToken()
{
    HANDLE token = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_ELEVATION_TYPE type{};
    DWORD len = 0;
    TOKEN_ELEVATION elevation{};
    const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &len);
    GetTokenInformation(token, TokenElevationType, &type, sizeof type, &len);
    CloseHandle(token);
    REQUIRE(ok);
    return elevation.TokenIsElevated ? 1 : 0;
}

} // namespace

TEST_CASE("privilege level is the token's elevation, as 0 or 1")
{
    const int level = privilege::privilegeLevel();
    CHECK((level == 0 || level == 1));
    CHECK(level == elevationFromToken());
    // Asked again, not cached: the same answer for the same token.
    CHECK(privilege::privilegeLevel() == level);
}

TEST_CASE("log file append writes CRLF, creates folders, rotates by rename")
{
    const std::string dir = tempDir() + "\\a\\b";
    REQUIRE(logfile::makePath(dir));
    REQUIRE(logfile::makePath(dir)); // existing folders are fine

    const std::string path = dir + "\\tarnd.log";
    CHECK(logfile::size(path) == -1);
    CHECK_FALSE(logfile::exists(path));
    REQUIRE(logfile::append(path, "one\n"));
    REQUIRE(logfile::append(path, "two\n"));
    CHECK(slurp(path) == "one\r\ntwo\r\n");
    CHECK(logfile::size(path) == 10);

    REQUIRE(logfile::append(path + ".old", "stale"));
    REQUIRE(logfile::rename(path, path + ".old"));
    CHECK(slurp(path + ".old") == "one\r\ntwo\r\n");
    CHECK_FALSE(logfile::exists(path));
    REQUIRE(logfile::remove(path + ".old"));
    CHECK_FALSE(logfile::remove(path + ".old"));
}

TEST_CASE("a folder is not a log file")
{
    const std::string dir = tempDir() + "\\folder";
    REQUIRE(logfile::makePath(dir));
    CHECK(logfile::size(dir) == -1);
    CHECK_FALSE(logfile::append(dir, "x\n"));
}

TEST_CASE("a pipe client's identity is captured and used for the log file")
{
    const std::wstring name = L"\\\\.\\pipe\\tarnd-identity-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                           4096, 0, nullptr);
    REQUIRE(server != INVALID_HANDLE_VALUE);
    const HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(client != INVALID_HANDLE_VALUE);
    ConnectNamedPipe(server, nullptr);
    DWORD n = 0;
    char byte = 'x';
    REQUIRE(WriteFile(client, &byte, 1, &n, nullptr));
    REQUIRE(ReadFile(server, &byte, 1, &n, nullptr)); // impersonation needs data read first

    const logfile::Identity id = logfile::identityOfPeer(reinterpret_cast<std::intptr_t>(server));
    CHECK_FALSE(id.daemon);
    CHECK(id.token);
    const std::string path = tempDir() + "\\as-client.log";
    CHECK(logfile::append(path, "line\n", id));
    CHECK(slurp(path) == "line\r\n");
    CHECK(logfile::remove(path, id));
    // Impersonation ends with each operation.
    HANDLE thread = nullptr;
    CHECK_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread));

    logfile::Identity nobody;
    nobody.daemon = false; // a client whose token could not be had gets nothing done
    CHECK_FALSE(logfile::append(path, "x\n", nobody));
    CHECK_FALSE(logfile::exists(path));
    CloseHandle(client);
    CloseHandle(server);
}
