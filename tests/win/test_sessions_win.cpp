// The Windows sessions layer under wine: which sessions get a socket, and who is on a pipe.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "ipc/sessions_win.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <wtsapi32.h>

#include <string>

using sessions::RawSession;

TEST_CASE("only user sessions that are active or connected get a socket")
{
    const std::vector<RawSession> raw{
        {0, WTSActive, true, "SYSTEM"},    // the services' session
        {1, WTSActive, true, "alice"},     //
        {2, WTSDisconnected, true, "bob"}, // left, not logged off
        {3, WTSConnected, true, ""},       // the logon screen
        {4, WTSConnected, true, "carol"},  //
        {5, WTSActive, false, ""},         // user name not to be had
        {6, WTSListen, true, "dave"},      //
        {7, WTSActive, true, "erin"},
    };
    const auto kept = sessions::filterSessions(raw);
    REQUIRE(kept.size() == 3);
    CHECK(kept[0].id == 1);
    CHECK(kept[0].user == "alice");
    CHECK(kept[1].id == 4);
    CHECK(kept[2].id == 7);

    // The real enumeration answers (wine lists no sessions, which is a valid answer).
    std::vector<sessions::SessionInfo> live;
    std::string error;
    CHECK_MESSAGE(sessions::listActive(live, &error), error);
    for (const auto &s : live)
        CHECK(s.id != 0);
}

TEST_CASE("the session of a process")
{
    DWORD expected = 0;
    REQUIRE(ProcessIdToSessionId(GetCurrentProcessId(), &expected));
    std::uint32_t session = 12345;
    CHECK(sessions::sessionOfProcess(GetCurrentProcessId(), &session));
    CHECK(session == expected);
    CHECK_FALSE(sessions::sessionOfProcess(0x7FFFFFF0, &session));
}

TEST_CASE("the peer on a named pipe is identified")
{
    const std::wstring name = L"\\\\.\\pipe\\tarnd-test-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                           4096, 0, nullptr);
    REQUIRE(server != INVALID_HANDLE_VALUE);
    const HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(client != INVALID_HANDLE_VALUE);
    ConnectNamedPipe(server, nullptr); // already connected: ERROR_PIPE_CONNECTED

    sessions::PeerInfo peer;
    REQUIRE(sessions::peerOf(reinterpret_cast<std::intptr_t>(server), &peer));
    CHECK(peer.pid == std::int64_t(GetCurrentProcessId()));
    wchar_t user[256];
    DWORD length = 256;
    REQUIRE(GetUserNameW(user, &length));
    CHECK(peer.user == wintext::narrow(user));
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    CHECK(peer.hasSession);
    CHECK(peer.session == session);
    CHECK_FALSE(peer.privileged);

    // A handle that is no pipe tells nothing.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"tarnd-not-a-pipe.txt";
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                                    nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    sessions::PeerInfo none;
    CHECK_FALSE(sessions::peerOf(reinterpret_cast<std::intptr_t>(file), &none));
    CloseHandle(file);
    CloseHandle(client);
    CloseHandle(server);
}
