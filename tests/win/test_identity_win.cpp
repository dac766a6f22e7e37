// Who is on a pipe, under wine: the peer's SID and the log identity from the client's token, and
// the server's from its process. Wine impersonates fully whatever level a client allows, so the
// level rule is shown on tokens (test_service_win), not here.

#include <doctest/doctest.h>

#include "ipc/serverpeer_win.h"
#include "ipc/sessions.h"
#include "service/logfile.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>

#include <string>

using wintest::ownSid;

namespace {

bool threadImpersonates()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return false;
    CloseHandle(token);
    return true;
}

// Wine runs no process as LocalSystem and lets every token be read: the daemon's server, whose
// token an ordinary client may not read, is made up through the calls.
struct Unreadable : serverpeer::Calls
{
    DWORD service = 0;
    std::string processUser(DWORD, DWORD *error) override
    {
        *error = ERROR_ACCESS_DENIED;
        return {};
    }
    DWORD servicePid() override { return service; }
};

} // namespace

TEST_CASE("each end of a pipe is known by its own token; a client's log file is written with its rights")
{
    REQUIRE_FALSE(ownSid().empty());
    const std::wstring name = L"\\\\.\\pipe\\tarnd-identity-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    REQUIRE(server != INVALID_HANDLE_VALUE);
    const HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(client != INVALID_HANDLE_VALUE);
    DWORD n = 0;
    char byte = 'x';
    REQUIRE(WriteFile(client, &byte, 1, &n, nullptr));
    REQUIRE(ReadFile(server, &byte, 1, &n, nullptr)); // impersonation needs data read first
    const auto pipe = reinterpret_cast<std::intptr_t>(server);
    sessions::PeerInfo peer;
    REQUIRE(sessions::peerOf(pipe, &peer));
    CHECK_FALSE(threadImpersonates());
    CHECK(peer.principal == ownSid());
    CHECK_FALSE(peer.privileged);
    CHECK(peer.pid == std::int64_t(GetCurrentProcessId()));
    wchar_t user[256];
    DWORD length = 256;
    REQUIRE(GetUserNameW(user, &length));
    CHECK(peer.user == wintext::narrow(user)); // a local account: named, not left as a SID
    DWORD session = 0;
    REQUIRE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    CHECK(peer.hasSession);
    CHECK(peer.session == session);

    const std::optional<logfile::Identity> id = logfile::identityOfPeer(pipe);
    REQUIRE(id);
    CHECK_FALSE(threadImpersonates());
    CHECK_FALSE(id->daemon);
    const std::string path = wintext::narrow(wintest::tempFolder()) + "tarnd-identity-" + std::to_string(GetCurrentProcessId());
    CHECK(logfile::append(path, "line\n", *id));
    CHECK(logfile::size(path, *id) == 6);
    CHECK(logfile::remove(path, *id));
    CHECK_FALSE(threadImpersonates()); // each operation ends its impersonation
    logfile::Identity nobody;
    nobody.daemon = false; // a client whose token could not be had gets nothing done
    CHECK_FALSE(logfile::append(path, "x\n", nobody));
    CHECK_FALSE(logfile::exists(path));

    serverpeer::Server found;
    std::string error;
    REQUIRE_MESSAGE(serverpeer::identify(reinterpret_cast<std::intptr_t>(client), &found, &error), error);
    CHECK(found.pid == std::int64_t(GetCurrentProcessId()));
    CHECK(found.principal == ownSid());
    Unreadable calls;
    found = {};
    CHECK_FALSE(serverpeer::identify(client, calls, &found, &error));
    CHECK(error == "the token of the pipe's server process " + std::to_string(GetCurrentProcessId()) + " cannot be read: 5");
    calls.service = GetCurrentProcessId();
    REQUIRE(serverpeer::identify(client, calls, &found, &error));
    CHECK(found.principal == "S-1-5-18");

    // A handle that is no pipe tells nothing.
    const HANDLE file = CreateFileW(wintext::widen(path + "-not-a-pipe").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    CHECK_FALSE(sessions::peerOf(reinterpret_cast<std::intptr_t>(file), &peer));
    CHECK_FALSE(logfile::identityOfPeer(reinterpret_cast<std::intptr_t>(file)));
    CHECK_FALSE(serverpeer::identify(reinterpret_cast<std::intptr_t>(file), &found, &error));
    CHECK(error.find("GetNamedPipeServerProcessId failed") == 0);
    CloseHandle(file);
    CloseHandle(client);
    CloseHandle(server);
}
