// A session's pipe under wine: the rules it is made with (recorded, as wine enforces neither the
// DACL nor the first-instance flag), its DACL as read back, and real clients.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "ipc/pipeserver_win.h"
#include "ipc/socketpath.h"
#include "service/wintext_win.h"
#include "service/wintoken_win.h"
#include "wintest.h"

#include <windows.h>

#include <string>
#include <vector>

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
        std::string dacl;
        if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sa->lpSecurityDescriptor, SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &text, nullptr)) {
            dacl = wintext::narrow(text);
            LocalFree(text);
        }
        made->push_back({openMode, pipeMode, dacl});
        if (refuseWith) {
            SetLastError(refuseWith);
            return INVALID_HANDLE_VALUE;
        }
        return Calls::createNamedPipe(name, openMode, pipeMode, sa);
    }
};

struct Ace
{
    BYTE type;
    DWORD mask;
    std::string sid;
};

// The entries of a DACL given as SDDL, in order.
std::vector<Ace> acesOf(const std::string &sddl, bool *isProtected)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::vector<Ace> out;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wintext::widen(sddl).c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr))
        return out;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    *isProtected = control & SE_DACL_PROTECTED;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void *ace = nullptr;
        GetAce(acl, i, &ace);
        const auto *header = static_cast<ACE_HEADER *>(ace);
        // Allowed and denied entries share their layout.
        const auto *entry = static_cast<ACCESS_ALLOWED_ACE *>(ace);
        out.push_back({header->AceType, entry->Mask, wintoken::sidString(PSID(&entry->SidStart))});
    }
    LocalFree(sd);
    return out;
}

bool fullControl(DWORD mask)
{
    return mask == GENERIC_ALL || (mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
}

// The rules of a session pipe: whoever else can do anything with it is a fault.
void checkSessionRules(const std::string &sddl, const std::string &user)
{
    INFO("DACL: ", sddl);
    bool isProtected = false;
    const std::vector<Ace> aces = acesOf(sddl, &isProtected);
    REQUIRE(aces.size() == 4);
    CHECK(isProtected);
    // Network logons denied before any grant; LocalSystem and Administrators in full.
    const char *const full[] = {"S-1-5-2", "S-1-5-18", "S-1-5-32-544"};
    for (int i = 0; i < 3; ++i) {
        CHECK(aces[i].type == (i == 0 ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE));
        CHECK(aces[i].sid == full[i]);
        CHECK(fullControl(aces[i].mask));
    }
    CHECK(aces[3].type == ACCESS_ALLOWED_ACE_TYPE);
    CHECK(aces[3].sid == user);
    CHECK((aces[3].mask & (FILE_READ_DATA | FILE_WRITE_DATA)) == (FILE_READ_DATA | FILE_WRITE_DATA));
    CHECK((aces[3].mask & (FILE_CREATE_PIPE_INSTANCE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE)) == 0);
}

HANDLE connectClient(const std::wstring &name)
{
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::wstring uniqueName(const char *what)
{
    return L"\\\\.\\pipe\\tarnd-test-" + wintext::widen(what) + L"-" + std::to_wstring(GetCurrentProcessId());
}

} // namespace

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
        const auto take = [&] {
            REQUIRE(WaitForSingleObject(listener.connectEvent(), 5000) == WAIT_OBJECT_0);
            return listener.takeConnected(&error);
        };
        // Clients one after another, each served on its own instance.
        std::vector<HANDLE> clients, served;
        for (int i = 0; i < 3; ++i) {
            clients.push_back(connectClient(name));
            REQUIRE(clients.back() != INVALID_HANDLE_VALUE);
            served.push_back(take());
            REQUIRE(served.back() != INVALID_HANDLE_VALUE);
            CHECK(error.empty());
            CHECK(listener.isListening());
        }
        REQUIRE(made.size() == 4); // the first instance, then the next one waiting after each take
        for (size_t i = 0; i < made.size(); ++i) {
            CHECK(((made[i].openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0) == (i == 0));
            CHECK((made[i].openMode & FILE_FLAG_OVERLAPPED) != 0); // for Qt's reader and writer
            CHECK((made[i].pipeMode & PIPE_REJECT_REMOTE_CLIENTS) != 0);
            checkSessionRules(made[i].dacl, user);
        }
        // The DACL the pipe holds, read back from it (on Windows this is what is enforced).
        const std::string held = pipeserver::daclOf(served[0]);
        if (!held.empty())
            checkSessionRules(held, user);
        else
            MESSAGE("the pipe's DACL cannot be read back here");

        // A client that came and went before it was taken does not stop the listener.
        CloseHandle(connectClient(name));
        served.push_back(take());
        CHECK(error.empty());
        CHECK(listener.isListening());
        // A listener of a name this process already serves adds instances rather than a first one.
        pipeserver::Listener second(std::make_unique<Recorder>(&made));
        REQUIRE_MESSAGE(second.listen(wintext::narrow(name), user, false, &error), error);
        CHECK((made.back().openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) == 0);
        second.close();
        for (HANDLE h : clients)
            CloseHandle(h);
        for (HANDLE h : served)
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        // Closed while waiting for a client: the wait is cancelled and the name is free again.
        listener.close();
        CHECK_FALSE(listener.isListening());
        CHECK(connectClient(name) == INVALID_HANDLE_VALUE);
    }
    CHECK(wintest::openHandles() == before);
}

TEST_CASE("a name someone else made first, or a user that is no SID, is refused and leaves nothing open")
{
    // No named object of a guessable name decides who serves a session: a user who made one
    // first would keep the session unserved.
    const std::string pipe = "\\\\.\\pipe\\tarnd-squat-" + std::to_string(GetCurrentProcessId());
    std::string mutexName = "Global\\tarnd-claim-";
    for (char c : pipe)
        mutexName.push_back(c == '\\' ? '_' : c);
    const HANDLE squat = CreateMutexW(nullptr, TRUE, wintext::widen(mutexName).c_str());
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
    CHECK_FALSE(taken.isListening());
    CHECK(made.size() == 1);
    // Served by someone: who it is, and that it is not LocalSystem, is said.
    const HANDLE other = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    REQUIRE(other != INVALID_HANDLE_VALUE);
    CHECK_FALSE(taken.listen(wintext::narrow(name), ownSid(), true, &error));
    CHECK(error == "the pipe name is taken by a process of " + ownSid() + " (pid " + std::to_string(GetCurrentProcessId())
                       + "), not of LocalSystem");
    CloseHandle(other);

    for (const char *sid : {"", "nobody", "S-1-5-18)(A;;GA;;;WD", "S-1-5-21-1-2-3-1001;;;WD"}) {
        pipeserver::Listener listener;
        error.clear();
        CHECK_FALSE(listener.listen(wintext::narrow(uniqueName("sid")), sid, true, &error));
        CHECK(error.find("no valid SID") != std::string::npos);
    }
    CHECK(wintest::openHandles() == before);
}
