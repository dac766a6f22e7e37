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
