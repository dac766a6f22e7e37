// Who is on a pipe, under wine: the peer's SID and the log identity from the client's token, and
// the server's from its process; which sessions get a socket, and the SIDs behind them. Wine
// impersonates fully whatever level a client allows, so the level rule is shown on tokens
// (test_service_win), not here.

#include <doctest/doctest.h>

#include "ipc/serverpeer_win.h"
#include "ipc/sessions_win.h"
#include "service/logfile.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>
#include <wtsapi32.h>

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

    // The server found through the real calls is pinned by every client of the portable suites,
    // which checks whom it talks to.
    serverpeer::Server found;
    std::string error;
    Unreadable calls;
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

// A session is served only while someone is at it, and a peer can be compared with its user.
TEST_CASE("only user sessions that are active or connected, with a known SID, get a socket")
{
    const std::vector<sessions::RawSession> raw{
        {0, WTSActive, true, "SYSTEM", "S-1-5-18"},         // the services' session
        {1, WTSActive, true, "alice", "S-1-5-21-9-9-9-1001"}, //
        {2, WTSDisconnected, true, "bob", "S-1-5-21-9-9-9-1002"}, // left, not logged off
        {3, WTSConnected, true, "", ""},                    // the logon screen
        {4, WTSConnected, true, "carol", "S-1-5-21-9-9-9-1003"},
        {5, WTSActive, false, "", ""},                      // user name not to be had
        {6, WTSListen, true, "dave", "S-1-5-21-9-9-9-1004"},
        {7, WTSActive, true, "erin", "S-1-5-21-9-9-9-1005"},
        {8, WTSActive, true, "frank", ""},                  // nobody to compare a peer with
    };
    const auto kept = sessions::filterSessions(raw);
    REQUIRE(kept.size() == 3);
    CHECK((kept[0].id == 1 && kept[0].user == "alice" && kept[0].principal == "S-1-5-21-9-9-9-1001"));
    CHECK((kept[1].id == 4 && kept[2].id == 7));

    // The real enumeration answers (wine lists no sessions, which is a valid answer).
    std::vector<sessions::SessionInfo> live;
    std::string error;
    CHECK_MESSAGE(sessions::listActive(live, &error), error);
    for (const auto &s : live) {
        CHECK(s.id != 0);
        CHECK(s.principal.rfind("S-1-", 0) == 0);
    }
}

// An unqualified account name could be anyone's; a log line names a SID's user where it can.
TEST_CASE("a session user's SID by account name, a SID's name for log lines, and a process's session")
{
    const std::string own = wintest::ownSid();
    PSID sid = nullptr;
    REQUIRE(ConvertStringSidToSidA(own.c_str(), &sid));
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    REQUIRE(LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use));
    LocalFree(sid);

    CHECK(sessions::accountSid(wintext::narrow(domain), wintext::narrow(name)) == own);
    CHECK(sessions::accountSid("", wintext::narrow(name)).empty()); // unqualified: could be anyone's
    // A group resolves, but is nobody's session.
    BYTE group[SECURITY_MAX_SID_SIZE];
    DWORD groupLength = sizeof group;
    domainLength = 256;
    REQUIRE(LookupAccountNameW(nullptr, L"BUILTIN\\Administrators", group, &groupLength, domain, &domainLength, &use));
    CHECK(sessions::accountSid("BUILTIN", "Administrators").empty());

    CHECK(sessions::accountName(own) == wintext::narrow(name));
    CHECK(sessions::accountName("S-1-5-18") == "SYSTEM");
    // Outside the machine's own accounts a SID is not looked up, even one the LSA knows.
    CHECK(sessions::accountName("S-1-5-32-544") == "S-1-5-32-544");

    DWORD expected = 0;
    REQUIRE(ProcessIdToSessionId(GetCurrentProcessId(), &expected));
    std::uint32_t session = 12345;
    CHECK(sessions::sessionOfProcess(GetCurrentProcessId(), &session));
    CHECK(session == expected);
    CHECK_FALSE(sessions::sessionOfProcess(0x7FFFFFF0, &session));
}
