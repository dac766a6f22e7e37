// What a client's token may touch, under wine: the log file layer, what a client may name and whose
// file it may write, and what the executable policy takes the token to be able to change. Wine
// lets its one user change every file, so the access question is asked of descriptors in memory.

#include <doctest/doctest.h>

#include "daemon/execfile.h"
#include "daemon/execfile_win.h"
#include "service/logfile_win.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <algorithm>

namespace {

const std::string tempDir = [] {
    const std::wstring made = wintest::freshPath(L"tarnd-test-");
    CreateDirectoryW(made.c_str(), nullptr);
    return wintext::narrow(made);
}();

// This process's token at that impersonation level, with the access a pipe client's is taken with.
HANDLE ownToken(SECURITY_IMPERSONATION_LEVEL level)
{
    HANDLE process = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &process));
    HANDLE token = nullptr;
    const BOOL ok = DuplicateTokenEx(process, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, nullptr, level,
                                     TokenImpersonation, &token);
    CloseHandle(process);
    REQUIRE(ok);
    return token;
}

// A client identity of this process's user, as the daemon has one for a pipe client.
logfile::Identity ownIdentity()
{
    const HANDLE token = ownToken(SecurityImpersonation);
    const std::optional<logfile::Identity> id = logfile::identityOfToken(token);
    CloseHandle(token);
    REQUIRE(id);
    return *id;
}

// Which rights of `mask` a descriptor in SDDL grants the current token.
DWORD grantedTo(const std::wstring &sddl, DWORD mask)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr));
    const logfile::Identity id = ownIdentity();
    DWORD rights = 0xFFFFFFFF, error = 0;
    CHECK_MESSAGE(execfile::grantedBy(sd, static_cast<HANDLE>(id.token.get()), mask, &rights, &error), error);
    LocalFree(sd);
    return rights;
}

std::string refusal(const std::string &file, const std::string &folder, const logfile::Identity &id)
{
    std::string reason;
    CHECK(execfile::mayNotRun(file, folder, id, &reason));
    return reason;
}

} // namespace

// Line ends, folders, sizes and rotation are tst_logsink's, whose sink removes the older file
// before its rename.
TEST_CASE("a folder is no log file, a missing one has no size, and a rename replaces the older file")
{
    const std::string dir = tempDir + "\\a\\b";
    REQUIRE(logfile::makePath(dir));
    CHECK((logfile::size(dir) == -1 && !logfile::append(dir, "x\n")));
    const std::string path = dir + "\\tarnd.log";
    CHECK((logfile::size(path) == -1 && !logfile::exists(path)));
    REQUIRE(logfile::append(path, "one\n"));
    REQUIRE(logfile::append(path + ".old", "stale"));
    REQUIRE(logfile::rename(path, path + ".old"));
    CHECK(wintest::slurp(wintext::widen(path + ".old")) == "one\r\n");
    CHECK_FALSE(logfile::exists(path));
    REQUIRE(logfile::remove(path + ".old"));
    CHECK_FALSE(logfile::remove(path + ".old"));
}

// Not another machine's share, a device, a stream of a file, or a path whose meaning depends on
// the daemon's current drive or folder.
TEST_CASE("a client may name only a plain path on a drive as its log file")
{
    const std::pair<const char *, bool> cases[] = {
        {"C:\\Users\\alice\\tarnd.log", true},
        {"\\\\?\\C:\\Users\\alice\\tarnd.log", true},
        {"C:\\logs\\console\\nul-ish.log", true}, // only the whole base name makes a device
        {"tarnd.log", false},
        {"\\Users\\alice\\tarnd.log", false},         // the current drive's root
        {"C:tarnd.log", false},                       // the drive's current folder
        {"\\\\server\\share\\tarnd.log", false},
        {"\\\\?\\UNC\\server\\share\\tarnd.log", false},
        {"\\\\.\\C:\\tarnd.log", false},
        {"\\\\?\\GLOBALROOT\\Device\\Null", false},
        {"\\\\?\\C:/tarnd.log", false},
        {"\\??\\C:\\tarnd.log", false},
        {"C:\\logs\\tarnd.log:hidden", false},
        {"C:\\logs\\NUL", false},
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

// A client's log file is written with its own rights: an identification token gives none, and a
// file with a second name (a hard link to someone else's) or another owner is not its own.
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
    const std::string path = tempDir + "\\linked.log";
    const std::string other = tempDir + "\\linked-too.log";
    REQUIRE(logfile::append(path, "one\n", *client));
    REQUIRE(CreateHardLinkW(wintext::widen(other).c_str(), wintext::widen(path).c_str(), nullptr));
    CHECK_FALSE(logfile::append(path, "two\n", *client));
    CHECK_FALSE(logfile::append(other, "two\n"));
    REQUIRE(DeleteFileW(wintext::widen(other).c_str()));
    CHECK(logfile::append(path, "three\n", *client));
    CHECK(wintest::slurp(wintext::widen(path)) == "one\r\nthree\r\n");
    CHECK_FALSE(logfile::append("NUL", "x\n")); // a device, not a file on a disk

    // Wine makes the current user own every file, so the rule is shown on SIDs: the token's user
    // and its default owner own; anyone else does not.
    unsigned char user[512], owner[512];
    DWORD length = 0;
    REQUIRE(GetTokenInformation(token, TokenUser, user, sizeof user, &length));
    REQUIRE(GetTokenInformation(token, TokenOwner, owner, sizeof owner, &length));
    CHECK(logfile::ownedByClient(reinterpret_cast<const TOKEN_USER *>(user)->User.Sid, token));
    CHECK(logfile::ownedByClient(reinterpret_cast<const TOKEN_OWNER *>(owner)->Owner, token));
    PSID stranger = nullptr;
    REQUIRE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &stranger));
    CHECK_FALSE(logfile::ownedByClient(stranger, token));
    LocalFree(stranger);
    CloseHandle(token);
    logfile::remove(path);
}

// An executable a client's token may change, through a primary or an impersonation token, by any
// one right, and one that cannot be checked, are refused.
TEST_CASE("files the token may change by any one right, and what cannot be checked, are refused")
{
    const std::string folder = tempDir + "\\exec";
    const std::string file = folder + "\\sub\\tool.exe";
    REQUIRE(logfile::makePath(folder + "\\sub"));
    CloseHandle(CreateFileW(wintext::widen(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::string slashed = file; // as the portable side gives canonical paths
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    HANDLE primary = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &primary));
    const logfile::Identity ofPrimary{false, 0, 0, std::shared_ptr<void>(primary, CloseHandle), {}};

    CHECK(refusal(file, folder, ofPrimary).find("is writable by the client (write") == 0);
    CHECK(refusal(slashed, folder, ownIdentity()).find("is writable by the client (write") == 0);
    CHECK(refusal(file, folder, logfile::Identity()).find("identity cannot be had") != std::string::npos);
    CHECK(refusal(file, folder, {false, 0, 0, nullptr, {}}).find("identity cannot be had") != std::string::npos);
    CHECK(refusal(folder + "\\sub\\missing.exe", folder, ownIdentity()).find("cannot be opened") == 0);
    CHECK(refusal(folder + "\\sub", folder, ownIdentity()) == "is not a regular file");
    CHECK(refusal(file, folder + "\\su", ownIdentity()).find("is not inside") == 0);
    logfile::remove(file);

    // Any one right that lets the client change a file or a folder counts, not only all together.
    using namespace execfile;
    const std::wstring system = L"O:SYG:SYD:P(A;;FRFX;;;WD)"; // SYSTEM's; everyone may read and run it
    CHECK(grantedTo(system, FileMask) == 0);
    CHECK(grantedTo(system, InnerFolderMask) == 0);
    CHECK(grantedTo(system + L"(A;;0x4;;;WD)", FileMask) == FILE_APPEND_DATA);
    CHECK(grantedTo(system + L"(A;;0x40;;;WD)", FolderMask) == FILE_DELETE_CHILD);
    CHECK(grantedTo(system + L"(A;;SD;;;WD)", FolderMask) == 0); // the allowed folder's own place is not checked
    CHECK(grantedTo(system + L"(A;;SD;;;WD)", InnerFolderMask) == DELETE);
    // What the client may not run itself is not run for it. (The whole refusal cannot be shown
    // here: wine's token has the rights of an administrator over every file.)
    CHECK(grantedTo(system, FILE_EXECUTE) == FILE_EXECUTE);
    CHECK(grantedTo(L"O:SYG:SYD:P(A;;FR;;;WD)", FILE_EXECUTE) == 0);
}
