// The executable policy's file check under wine: what a client's token may change. Wine makes
// every file changeable by its one user, so a file the token may NOT change is only seen on
// Windows; the access question behind it is asked here of descriptors made in memory.

#include <doctest/doctest.h>

#include "daemon/execfile.h"
#include "daemon/execfile_win.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <memory>
#include <string>

namespace {

logfile::Identity ownIdentity(bool impersonation)
{
    HANDLE token = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &token));
    if (impersonation) {
        HANDLE primary = token;
        REQUIRE(DuplicateTokenEx(primary, TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr, SecurityImpersonation,
                                 TokenImpersonation, &token));
        CloseHandle(primary);
    }
    return {false, 0, 0, std::shared_ptr<void>(token, [](void *h) { CloseHandle(static_cast<HANDLE>(h)); }), {}};
}

// Which rights of `mask` a descriptor in SDDL grants the current token.
DWORD grantedTo(const std::wstring &sddl, DWORD mask)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr));
    const logfile::Identity id = ownIdentity(true);
    DWORD rights = 0xFFFFFFFF, error = 0;
    CHECK_MESSAGE(execfile::grantedBy(sd, static_cast<HANDLE>(id.token.get()), mask, &rights, &error), error);
    LocalFree(sd);
    return rights;
}

std::string refusal(const std::string &file, const std::string &folder, const logfile::Identity &id)
{
    std::string reason;
    CHECK(execfile::writableBy(file, folder, id, &reason));
    return reason;
}

} // namespace

TEST_CASE("files the token may change, and what cannot be checked, are refused")
{
    const std::wstring dir = wintest::tempFolder() + L"tarnd-execfile-" + std::to_wstring(GetCurrentProcessId());
    REQUIRE(CreateDirectoryW(dir.c_str(), nullptr));
    REQUIRE(CreateDirectoryW((dir + L"\\sub").c_str(), nullptr));
    CloseHandle(CreateFileW((dir + L"\\sub\\tool.exe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::string folder = wintext::narrow(dir);
    const std::string file = folder + "\\sub\\tool.exe";
    std::string slashed = file; // as the portable side gives canonical paths
    std::replace(slashed.begin(), slashed.end(), '\\', '/');

    CHECK(refusal(file, folder, ownIdentity(false)).find("is writable by the client (write") == 0);
    CHECK(refusal(slashed, folder, ownIdentity(true)).find("is writable by the client (write") == 0);
    CHECK(refusal(file, folder, logfile::Identity()).find("identity cannot be had") != std::string::npos);
    CHECK(refusal(file, folder, {false, 0, 0, nullptr, {}}).find("identity cannot be had") != std::string::npos);
    CHECK(refusal(folder + "\\sub\\missing.exe", folder, ownIdentity(true)).find("cannot be opened") == 0);
    CHECK(refusal(folder + "\\sub", folder, ownIdentity(true)) == "is not a regular file");
    CHECK(refusal(file, folder + "\\su", ownIdentity(true)).find("is not inside") == 0);

    DeleteFileW((dir + L"\\sub\\tool.exe").c_str());
    RemoveDirectoryW((dir + L"\\sub").c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_CASE("any one right that lets the client change a file or a folder counts")
{
    using namespace execfile;
    const std::wstring system = L"O:SYG:SYD:P(A;;FRFX;;;WD)"; // SYSTEM's; everyone may read and run it
    CHECK(grantedTo(system, FileMask) == 0);
    CHECK(grantedTo(system, InnerFolderMask) == 0);
    CHECK(grantedTo(system + L"(A;;0x4;;;WD)", FileMask) == FILE_APPEND_DATA);
    CHECK(grantedTo(system + L"(A;;0x40;;;WD)", FolderMask) == FILE_DELETE_CHILD);
    CHECK(grantedTo(system + L"(A;;SD;;;WD)", FolderMask) == 0); // the allowed folder's own place is not checked
    CHECK(grantedTo(system + L"(A;;SD;;;WD)", InnerFolderMask) == DELETE);
}
