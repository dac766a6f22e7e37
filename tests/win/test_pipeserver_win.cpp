// A session's pipe under wine: the rules it is made with (recorded, as wine enforces neither the
// DACL nor the first-instance flag) and real clients; who is at either end, and which sessions
// get one.

#include <doctest/doctest.h>

#include "ipc/pipeserver_win.h"
#include "ipc/serverpeer_win.h"
#include "ipc/sessions_win.h"
#include "ipc/socketpath.h"
#include "service/logfile.h"
#include "service/wintext_win.h"
#include "service/wintoken_win.h"
#include "wintest.h"

#include <wtsapi32.h>

using wintest::ownSid;

namespace {

struct Made
{
    DWORD openMode;
    DWORD pipeMode;
    std::string dacl;
};

// The real call, with what it was asked recorded; or a refusal, as for a name taken already.
struct Recorder : pipeserver::Calls
{
    std::vector<Made> *made;
    DWORD refuseWith = 0;
    explicit Recorder(std::vector<Made> *m) : made(m) {}
    HANDLE createNamedPipe(const wchar_t *name, DWORD openMode, DWORD pipeMode, SECURITY_ATTRIBUTES *sa) override
    {
        wchar_t *text = nullptr;
        ConvertSecurityDescriptorToStringSecurityDescriptorW(sa->lpSecurityDescriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr);
        made->push_back({openMode, pipeMode, text ? wintext::narrow(text) : ""});
        LocalFree(text);
        SetLastError(refuseWith);
        return refuseWith ? INVALID_HANDLE_VALUE : Calls::createNamedPipe(name, openMode, pipeMode, sa);
    }
};

// The rules of a session pipe, read from its DACL as SDDL: whoever else can do anything with it
// is a fault.
void checkSessionRules(const std::string &sddl, const std::string &user)
{
    INFO("DACL: ", sddl);
    PSECURITY_DESCRIPTOR sd = nullptr;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(wintext::widen(sddl).c_str(), SDDL_REVISION_1, &sd,
                                                                 nullptr));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorControl(sd, &control, &revision);
    GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
    CHECK((control & SE_DACL_PROTECTED) != 0);
    REQUIRE((acl && acl->AceCount == 4));
    // Network logons denied before any grant; LocalSystem and Administrators in full; the user
    // may read and write, but neither add instances nor change the rules.
    const char *const sids[] = {"S-1-5-2", "S-1-5-18", "S-1-5-32-544", user.c_str()};
    for (DWORD i = 0; i < 4; ++i) {
        ACCESS_ALLOWED_ACE *entry = nullptr; // allowed and denied entries share their layout
        GetAce(acl, i, reinterpret_cast<void **>(&entry));
        CHECK(entry->Header.AceType == (i == 0 ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE));
        CHECK(wintoken::sidString(PSID(&entry->SidStart)) == sids[i]);
        if (i < 3)
            CHECK((entry->Mask == GENERIC_ALL || (entry->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS));
        else {
            CHECK((entry->Mask & (FILE_READ_DATA | FILE_WRITE_DATA)) == (FILE_READ_DATA | FILE_WRITE_DATA));
            CHECK((entry->Mask & (FILE_CREATE_PIPE_INSTANCE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE)) == 0);
        }
    }
    LocalFree(sd);
}

HANDLE connectClient(const std::wstring &name)
{
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::wstring uniqueName(const char *what)
{
    return L"\\\\.\\pipe\\tarnd-test-" + wintext::widen(what) + L"-" + std::to_wstring(GetCurrentProcessId());
}

bool threadImpersonates()
{
    HANDLE token = nullptr;
    const bool has = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    CloseHandle(token);
    return has;
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

// Every instance is made with the session's rules and the first only where the name is free; a
// client that came and went before it was taken does not stop the listener. Clients served each
// on their own instance, and a closed listener turning clients away, are tst_locallistener's.
TEST_CASE("every instance has the session's rules, the first only where the name is free; closing leaks nothing")
{
    const std::string user = ownSid();
    REQUIRE(!user.empty());
    const int before = wintest::openHandles();
    std::vector<Made> made;
    {
        const std::wstring name = uniqueName("serve");
        pipeserver::Listener listener(std::make_unique<Recorder>(&made));
        std::string error;
        REQUIRE_MESSAGE(listener.listen(wintext::narrow(name), user, true, &error), error);
        CHECK(listener.takeConnected(&error) == INVALID_HANDLE_VALUE); // nobody yet
        // A burst connects at once, none waiting for another to be taken; each is taken.
        constexpr int burst = 3;
        std::vector<HANDLE> clients, served;
        for (int i = 0; i < burst; ++i)
            REQUIRE((clients.push_back(connectClient(name)), clients.back() != INVALID_HANDLE_VALUE));
        while (served.size() < clients.size() && WaitForSingleObject(listener.connectEvent(), 5000) == WAIT_OBJECT_0) {
            if (const HANDLE pipe = listener.takeConnected(&error); pipe != INVALID_HANDLE_VALUE)
                served.push_back(pipe);
        }
        REQUIRE(served.size() == clients.size());
        CHECK(made.size() == size_t(pipeserver::Listener::InstancesWaiting + burst)); // then one after each take
        CloseHandle(connectClient(name));
        REQUIRE(WaitForSingleObject(listener.connectEvent(), 5000) == WAIT_OBJECT_0);
        const HANDLE left = listener.takeConnected(&error);
        CHECK(error.empty());
        CHECK(listener.isListening());
        for (size_t i = 0; i < made.size(); ++i) {
            CHECK(((made[i].openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0) == (i == 0));
            CHECK((made[i].openMode & FILE_FLAG_OVERLAPPED) != 0); // for Qt's reader and writer
            CHECK((made[i].pipeMode & PIPE_REJECT_REMOTE_CLIENTS) != 0);
            checkSessionRules(made[i].dacl, user);
        }
        // The DACL the pipe holds, read back from it (on Windows this is what is enforced).
        if (const std::string held = pipeserver::daclOf(served[0]); !held.empty())
            checkSessionRules(held, user);

        // A listener of a name this process already serves adds instances rather than a first one.
        pipeserver::Listener second(std::make_unique<Recorder>(&made));
        REQUIRE_MESSAGE(second.listen(wintext::narrow(name), user, false, &error), error);
        CHECK((made.back().openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) == 0);
        second.close();
        clients.insert(clients.end(), served.begin(), served.end());
        clients.push_back(left);
        for (HANDLE h : clients)
            CloseHandle(h);
        // Closed while waiting for a client: the wait is cancelled before its OVERLAPPED goes.
        listener.close();
        CHECK_FALSE(listener.isListening());
    }
    CHECK(wintest::openHandles() == before);
}

// A pipe its server disconnects discards what its client has not read: the daemon's stop lets a
// connection go once the client has read all, or has gone.
TEST_CASE("a read wait ends once the client has read everything, or has gone")
{
    const std::wstring name = uniqueName("drain");
    pipeserver::Listener listener;
    std::string error;
    REQUIRE_MESSAGE(listener.listen(wintext::narrow(name), ownSid(), true, &error), error);
    const auto doneWithin = [](const pipeserver::ReadWait &w, int ms) {
        for (int i = 0; i < ms / 10 && !w.done(); ++i)
            Sleep(10);
        return w.done();
    };
    for (const bool reads : {true, false}) {
        CAPTURE(reads);
        const HANDLE client = connectClient(name);
        REQUIRE(WaitForSingleObject(listener.connectEvent(), 5000) == WAIT_OBJECT_0);
        const HANDLE pipe = listener.takeConnected(&error);
        REQUIRE((client != INVALID_HANDLE_VALUE && pipe != INVALID_HANDLE_VALUE));
        // Less than the pipe holds, so that the write finishes with nothing read yet.
        std::string bytes(32 * 1024, 'x');
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        REQUIRE((WriteFile(pipe, bytes.data(), DWORD(bytes.size()), nullptr, &ov) || GetLastError() == ERROR_IO_PENDING));
        REQUIRE(GetOverlappedResult(pipe, &ov, &n, TRUE));
        CloseHandle(ov.hEvent);
        {
            const pipeserver::ReadWait wait(pipe);
            CHECK_FALSE(doneWithin(wait, 300));
            for (DWORD total = 0; reads && total < bytes.size(); total += n)
                REQUIRE(ReadFile(client, bytes.data(), DWORD(bytes.size() - total), &n, nullptr));
            if (!reads)
                CloseHandle(client);
            CHECK(doneWithin(wait, 10000));
        }
        if (reads)
            CloseHandle(client);
        CloseHandle(pipe);
    }
}

// No named object of a guessable name decides who serves a session: a user who made one first
// would keep the session unserved.
TEST_CASE("a name someone else made first, or a user that is no SID, is refused and leaves nothing open")
{
    const std::string pipe = "\\\\.\\pipe\\tarnd-squat-" + std::to_string(GetCurrentProcessId());
    const HANDLE squat = CreateMutexW(nullptr, TRUE, (L"Global\\tarnd-claim-__._pipe_tarnd-squat-"
                                                      + std::to_wstring(GetCurrentProcessId())).c_str());
    REQUIRE(squat);
    std::string error;
    CHECK(socketpath::claim(pipe, &error));
    CloseHandle(squat);
    const int before = wintest::openHandles();
    std::vector<Made> made;
    auto recorder = std::make_unique<Recorder>(&made);
    recorder->refuseWith = ERROR_ACCESS_DENIED; // what FILE_FLAG_FIRST_PIPE_INSTANCE gets then
    pipeserver::Listener taken(std::move(recorder));
    const std::wstring name = uniqueName("taken");
    CHECK_FALSE(taken.listen(wintext::narrow(name), ownSid(), true, &error));
    CHECK(error.find("the pipe name is taken by another process (it cannot be opened: ") == 0);
    CHECK((!taken.isListening() && made.size() == 1));
    // Served by someone: who it is, and that it is not LocalSystem, is said.
    const HANDLE other = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    REQUIRE(other != INVALID_HANDLE_VALUE);
    CHECK_FALSE(taken.listen(wintext::narrow(name), ownSid(), true, &error));
    CHECK(error == "the pipe name is taken by a process of " + ownSid() + " (pid " + std::to_string(GetCurrentProcessId())
                       + "), not of LocalSystem");
    CloseHandle(other);

    for (const char *sid : {"", "nobody", "S-1-5-18)(A;;GA;;;WD", "S-1-5-21-1-2-3-1001;;;WD"}) {
        pipeserver::Listener listener;
        CHECK_FALSE(listener.listen(wintext::narrow(uniqueName("sid")), sid, true, &error));
        CHECK(error.find("no valid SID") != std::string::npos);
    }
    CHECK(wintest::openHandles() == before);
}

// Who is on a pipe is known by that end's own token, and neither end's identity is left on the
// daemon's thread. Wine impersonates fully whatever level a client allows: test_service_win shows
// the level rule on tokens.
TEST_CASE("each end of a pipe is known by its own token; a client's log file is written with its rights")
{
    REQUIRE_FALSE(ownSid().empty());
    const std::wstring name = uniqueName("identity");
    const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    REQUIRE(server != INVALID_HANDLE_VALUE);
    const HANDLE client = connectClient(name);
    DWORD n = 0;
    char byte = 'x';
    REQUIRE(WriteFile(client, &byte, 1, &n, nullptr));
    REQUIRE(ReadFile(server, &byte, 1, &n, nullptr)); // impersonation needs data read first
    const auto pipe = reinterpret_cast<std::intptr_t>(server);
    sessions::PeerInfo peer;
    REQUIRE(sessions::peerOf(pipe, &peer));
    CHECK_FALSE(threadImpersonates());
    CHECK((peer.principal == ownSid() && !peer.privileged && peer.pid == std::int64_t(GetCurrentProcessId())));
    wchar_t user[256];
    DWORD length = 256;
    REQUIRE(GetUserNameW(user, &length));
    CHECK(peer.user == wintext::narrow(user)); // a local account: named, not left as a SID
    DWORD session = 0;
    REQUIRE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    CHECK((peer.hasSession && peer.session == session));

    const std::optional<logfile::Identity> id = logfile::identityOfPeer(pipe);
    REQUIRE(id);
    CHECK((!threadImpersonates() && !id->daemon));
    const std::string path = wintext::narrow(wintest::freshPath(L"tarnd-identity-"));
    CHECK(logfile::append(path, "line\n", *id));
    CHECK(logfile::size(path, *id) == 6);
    CHECK(logfile::remove(path, *id));
    CHECK_FALSE(threadImpersonates()); // each operation ends its impersonation
    logfile::Identity nobody;
    nobody.daemon = false; // a client whose token could not be had gets nothing done
    CHECK_FALSE(logfile::append(path, "x\n", nobody));
    CHECK_FALSE(logfile::exists(path));

    // The server found through the real calls is pinned by every client of the portable suites.
    serverpeer::Server found;
    std::string error;
    Unreadable calls;
    CHECK_FALSE(serverpeer::identify(client, calls, &found, &error));
    CHECK(error == "the token of the pipe's server process " + std::to_string(GetCurrentProcessId()) + " cannot be read: 5");
    calls.service = GetCurrentProcessId();
    REQUIRE(serverpeer::identify(client, calls, &found, &error));
    CHECK(found.principal == "S-1-5-18");

    CloseHandle(client);
    CloseHandle(server);
}

// A session is served only while someone is at it, and a peer can be compared with its user.
TEST_CASE("only user sessions that are active or connected, with a known SID, get a socket")
{
    const std::vector<sessions::RawSession> raw{
        {0, WTSActive, true, "SYSTEM", "S-1-5-18"},         // the services' session
        {1, WTSActive, true, "alice", "S-1-5-21-9-9-9-1001"},
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
    CHECK((sessions::sessionOfProcess(GetCurrentProcessId(), &session) && session == expected));
    CHECK_FALSE(sessions::sessionOfProcess(0x7FFFFFF0, &session));
}
