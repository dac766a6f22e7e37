// Who is on a pipe, under wine: the peer's SID and the log identity, taken from the client's
// token at the level the client allowed.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "ipc/sessions.h"
#include "service/logfile.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <sddl.h>

#include <string>

namespace {

// The SID string of this process's user, asked without the code under test.
std::string ownSid()
{
    HANDLE token = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    unsigned char buffer[256];
    DWORD length = 0;
    const BOOL ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length);
    CloseHandle(token);
    REQUIRE(ok);
    LPWSTR text = nullptr;
    REQUIRE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &text));
    const std::string sid = wintext::narrow(text);
    LocalFree(text);
    return sid;
}

bool threadImpersonates()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return false;
    CloseHandle(token);
    return true;
}

// A connected pipe whose client opened it with these flags and has sent one byte.
struct Pipe
{
    explicit Pipe(DWORD clientFlags)
    {
        static int serial = 0;
        const std::wstring name = L"\\\\.\\pipe\\tarnd-identity-" + std::to_wstring(GetCurrentProcessId()) + L"-"
            + std::to_wstring(++serial);
        server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                  nullptr);
        REQUIRE(server != INVALID_HANDLE_VALUE);
        client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, clientFlags,
                             nullptr);
        REQUIRE(client != INVALID_HANDLE_VALUE);
        ConnectNamedPipe(server, nullptr); // already connected: ERROR_PIPE_CONNECTED
        DWORD n = 0;
        char byte = 'x';
        REQUIRE(WriteFile(client, &byte, 1, &n, nullptr));
        REQUIRE(ReadFile(server, &byte, 1, &n, nullptr)); // impersonation needs data read first
    }
    ~Pipe()
    {
        CloseHandle(client);
        CloseHandle(server);
    }
    std::intptr_t descriptor() const { return reinterpret_cast<std::intptr_t>(server); }
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;
};

std::string tempPath(const std::string &name)
{
    wchar_t buf[MAX_PATH];
    GetTempPathW(MAX_PATH, buf);
    return wintext::narrow(buf) + "tarnd-identity-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

} // namespace

TEST_CASE("a pipe client is known by its own token, and its log file is written with its rights")
{
    Pipe pipe(0);
    sessions::PeerInfo peer;
    REQUIRE(sessions::peerOf(pipe.descriptor(), &peer));
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

    const std::optional<logfile::Identity> id = logfile::identityOfPeer(pipe.descriptor());
    REQUIRE(id);
    CHECK_FALSE(threadImpersonates());
    CHECK_FALSE(id->daemon);
    const std::string path = tempPath("as-client.log");
    CHECK(logfile::append(path, "line\n", *id));
    CHECK(logfile::size(path, *id) == 6);
    CHECK(logfile::remove(path, *id));
    CHECK_FALSE(threadImpersonates()); // each operation ends its impersonation

    logfile::Identity nobody;
    nobody.daemon = false; // a client whose token could not be had gets nothing done
    CHECK_FALSE(logfile::append(path, "x\n", nobody));
    CHECK_FALSE(logfile::exists(path));

    // A handle that is no pipe tells nothing.
    const HANDLE file = CreateFileW(wintext::widen(tempPath("not-a-pipe")).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    sessions::PeerInfo none;
    CHECK_FALSE(sessions::peerOf(reinterpret_cast<std::intptr_t>(file), &none));
    CHECK_FALSE(logfile::identityOfPeer(reinterpret_cast<std::intptr_t>(file)));
    CloseHandle(file);
}

TEST_CASE("a client that allows only identification or anonymity gives no rights to act with")
{
    for (const DWORD level : {SECURITY_IDENTIFICATION, SECURITY_ANONYMOUS}) {
        CAPTURE(level);
        Pipe pipe(SECURITY_SQOS_PRESENT | level);
        // What the pipe hands over, seen without the code under test. Windows honours the
        // client's choice; wine impersonates at SecurityImpersonation whatever the client asked.
        REQUIRE(ImpersonateNamedPipeClient(pipe.server));
        HANDLE token = nullptr;
        const bool tokenGiven = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0;
        SECURITY_IMPERSONATION_LEVEL given = SecurityAnonymous;
        DWORD length = 0;
        if (tokenGiven)
            GetTokenInformation(token, TokenImpersonationLevel, &given, sizeof given, &length);
        if (token)
            CloseHandle(token);
        REQUIRE(RevertToSelf());
        if (given >= SecurityImpersonation)
            MESSAGE("the pipe ignored the client's impersonation level; only the agreement is checked");
        if (level == SECURITY_IDENTIFICATION)
            CHECK(tokenGiven); // an identification token still names its user

        sessions::PeerInfo peer;
        CHECK(sessions::peerOf(pipe.descriptor(), &peer) == tokenGiven);
        if (tokenGiven)
            CHECK(peer.principal == ownSid());
        CHECK(logfile::identityOfPeer(pipe.descriptor()).has_value() == (tokenGiven && given >= SecurityImpersonation));
        CHECK_FALSE(threadImpersonates());
    }
}
