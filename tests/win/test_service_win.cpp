// The Windows log file layer under wine: its file operations, what a client may name, and whose
// file it may write. The privilege level is pinned by lifecycle.txt.

#include <doctest/doctest.h>

#include "service/logfile_win.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>
#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::string tempDir()
{
    const std::wstring dir = wintest::tempFolder() + L"tarnd-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    return wintext::narrow(dir);
}

HANDLE ownToken(SECURITY_IMPERSONATION_LEVEL level)
{
    HANDLE process = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
    HANDLE token = nullptr;
    const BOOL ok = DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, level, TokenImpersonation, &token);
    CloseHandle(process);
    REQUIRE(ok);
    return token;
}

std::vector<unsigned char> tokenInfo(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    std::vector<unsigned char> buffer(512);
    DWORD length = 0;
    REQUIRE(GetTokenInformation(token, what, buffer.data(), DWORD(buffer.size()), &length));
    return buffer;
}

} // namespace

// Line ends, nested folders, sizes and rotation are checked through the log sink in tst_logsink,
// which removes the older file before its rename.
TEST_CASE("a folder is no log file, a missing one has no size, and a rename replaces the older file")
{
    const std::string dir = tempDir() + "\\a\\b";
    REQUIRE(logfile::makePath(dir));
    CHECK(logfile::size(dir) == -1);
    CHECK_FALSE(logfile::append(dir, "x\n"));
    const std::string path = dir + "\\tarnd.log";
    CHECK(logfile::size(path) == -1);
    CHECK_FALSE(logfile::exists(path));
    REQUIRE(logfile::append(path, "one\n"));
    REQUIRE(logfile::append(path + ".old", "stale"));
    REQUIRE(logfile::rename(path, path + ".old"));
    CHECK(wintest::slurp(wintext::widen(path + ".old")) == "one\r\n");
    CHECK_FALSE(logfile::exists(path));
    REQUIRE(logfile::remove(path + ".old"));
    CHECK_FALSE(logfile::remove(path + ".old"));
}

TEST_CASE("a client may name only a plain path on a drive as its log file")
{
    const std::pair<const char *, bool> cases[] = {
        {"C:\\Users\\alice\\tarnd.log", true},
        {"c:/Users/alice/tarnd.log", true},
        {"\\\\?\\C:\\Users\\alice\\tarnd.log", true},
        {"C:\\logs\\console\\nul-ish.log", true}, // only the whole base name makes a device
        {"", false},
        {"tarnd.log", false},
        {"\\Users\\alice\\tarnd.log", false},         // the current drive's root
        {"C:tarnd.log", false},                       // the drive's current folder
        {"\\\\server\\share\\tarnd.log", false},
        {"//server/share/tarnd.log", false},
        {"\\\\?\\UNC\\server\\share\\tarnd.log", false},
        {"\\\\.\\pipe\\tarnd", false},
        {"\\\\.\\C:\\tarnd.log", false},
        {"\\\\?\\GLOBALROOT\\Device\\Null", false},
        {"\\\\?\\C:/tarnd.log", false},
        {"\\??\\C:\\tarnd.log", false},
        {"C:\\logs\\tarnd.log:hidden", false},
        {"C:\\logs\\tarnd.log::$DATA", false},
        {"C:\\logs\\NUL", false},
        {"C:\\logs\\nul.log", false},
        {"C:\\logs\\COM1 .txt", false},
        {"C:\\logs\\LPT\xC2\xB9", false},
        {"C:\\logs\\COM0.log", true},
    };
    for (const auto &[path, allowed] : cases) {
        CAPTURE(path);
        std::string reason;
        CHECK(logfile::clientPathAllowed(path, &reason) == allowed);
        CHECK(reason.empty() == allowed);
    }
    CHECK_FALSE(logfile::clientPathAllowed(std::string("C:\\a.log\0.txt", 13)));
}

TEST_CASE("only a token that allows impersonation gives a client identity, which writes only its own file of one name")
{
    for (const auto level : {SecurityAnonymous, SecurityIdentification, SecurityImpersonation, SecurityDelegation}) {
        CAPTURE(int(level));
        const HANDLE token = ownToken(level);
        CHECK(logfile::identityOfToken(token).has_value() == (level >= SecurityImpersonation));
        CloseHandle(token);
    }
    HANDLE primary = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &primary));
    CHECK_FALSE(logfile::identityOfToken(primary)); // no impersonation level at all
    CloseHandle(primary);

    const HANDLE token = ownToken(SecurityImpersonation);
    const std::optional<logfile::Identity> client = logfile::identityOfToken(token);
    REQUIRE(client);
    const std::string path = tempDir() + "\\linked.log";
    const std::string other = tempDir() + "\\linked-too.log";
    REQUIRE(logfile::append(path, "one\n", *client));
    REQUIRE(CreateHardLinkW(wintext::widen(other).c_str(), wintext::widen(path).c_str(), nullptr));
    CHECK_FALSE(logfile::append(path, "two\n", *client));
    CHECK_FALSE(logfile::append(other, "two\n"));
    REQUIRE(DeleteFileW(wintext::widen(other).c_str()));
    CHECK(logfile::append(path, "three\n", *client));
    CHECK(wintest::slurp(wintext::widen(path)) == "one\r\nthree\r\n");
    CHECK_FALSE(logfile::append("NUL", "x\n")); // a device, not a file on a disk

    // Wine gives every file the current user as owner, so the rule is shown on SIDs: the
    // token's user and its default owner own; anyone else does not.
    const auto user = tokenInfo(token, TokenUser);
    const auto owner = tokenInfo(token, TokenOwner);
    CHECK(logfile::ownedByClient(reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid, token));
    CHECK(logfile::ownedByClient(reinterpret_cast<const TOKEN_OWNER *>(owner.data())->Owner, token));
    PSID stranger = nullptr;
    REQUIRE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &stranger));
    CHECK_FALSE(logfile::ownedByClient(stranger, token));
    LocalFree(stranger);
    CloseHandle(token);
    logfile::remove(path);
}
