// The Windows sessions layer under wine: which sessions get a socket, and the SIDs behind them.

#include <doctest/doctest.h>

#include "ipc/sessions_win.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>
#include <wtsapi32.h>

#include <string>

using sessions::RawSession;

TEST_CASE("only user sessions that are active or connected, with a known SID, get a socket")
{
    const std::vector<RawSession> raw{
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
