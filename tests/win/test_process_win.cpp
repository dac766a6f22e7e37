// The Windows child-process layer under wine, against a real child program: what the daemon's
// transcripts cannot see (handles, inheritance, a full stdin, Ctrl+C, blocked waits), and the
// process table the stale sweep reads.

#include <doctest/doctest.h>

#include "daemon/processscan.h"
#include "process/childprocess_win.h"
#include "process/cmdline_win.h"
#include "sumafter.h"
#include "wintest.h"

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <thread>

using childprocess::Child;
using processscan::Entry;
using namespace wintest;
using std::chrono::seconds;

namespace {

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}

// Under wine the default handler ends the process with exit code 0, which ctest would take for a
// pass: this one, registered first and so run last, counts a Ctrl+C every other handler let by.
std::atomic<int> g_fatalCtrlC{0};
const bool g_backstopSet = SetConsoleCtrlHandler(
    [](DWORD event) -> BOOL { return (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && ++g_fatalCtrlC; }, TRUE);

// Runs first and passes a Ctrl+C on; once its thread has ended, every handler has had its turn.
HANDLE g_spySeen, g_spyThread, g_ignoring, g_launched;

BOOL WINAPI spy(DWORD event)
{
    if (event == CTRL_C_EVENT && !g_spyThread)
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_spyThread, SYNCHRONIZE,
                        FALSE, 0);
    SetEvent(g_spySeen);
    return FALSE;
}

// What a launch puts in its child's attribute list, as the seam shows it.
struct Attributes
{
    int count = 0;
    const void *list = nullptr;
    bool oneList = true, preferSystem32 = false;
} g_attributes;

// The entry of that process in a new snapshot of the process table, if listed; bounded, so a walk
// that never ends fails.
std::optional<Entry> find(std::int64_t pid)
{
    processscan::Snapshot snapshot;
    long error = 0;
    Entry entry;
    REQUIRE_MESSAGE((snapshot.take(&error) && snapshot.first(&entry, &error)), error);
    for (int n = 0; entry.pid != pid && snapshot.next(&entry); ++n)
        REQUIRE(n < 100000);
    return entry.pid == pid ? std::optional<Entry>(entry) : std::nullopt;
}

} // namespace

// Arguments and exit codes are processes.txt's; the quoting rules, a code above 0x7FFFFFFF and
// the working folder (pinned there on Linux only) are checked here.
TEST_CASE("a command line splits back into the arguments given; a code above 0x7FFFFFFF and the working folder")
{
    const std::vector<std::string> args{"plain", "two words", "tab\there", "\"quoted\"", "mid\"quote", "trailing\\",
                                        "two\\\\", "back\\\"slash-quote", "", "\\\\server\\share\\", "ünïcödé €"};
    int n = 0;
    wchar_t **split = CommandLineToArgvW(childprocess::buildCommandLine("C:\\Program Files\\x.exe", args).c_str(), &n);
    REQUIRE(n == int(args.size()) + 1);
    CHECK(wintext::narrow(split[0]) == "C:\\Program Files\\x.exe");
    for (size_t i = 0; i < args.size(); ++i)
        CHECK(wintext::narrow(split[i + 1]) == args[i]);
    LocalFree(split);
    // Quotes only where needed, so cmd.exe /c, which reads its raw line, gets what a person types.
    CHECK(childprocess::buildCommandLine("x.exe", {"a", "b c", "", "d\\e\\"}) == L"\"x.exe\" a \"b c\" \"\" d\\e\\");

    CHECK(finish(*start({"exit", "0xC000013A"})).code == int(0xC000013A));
    std::string dir = wintext::narrow(tempFolder());
    dir.pop_back();
    CHECK(finish(*start({"cwd"}, ownFolder() + L"childhelper.exe", dir)).out == dir + "\n");
}

// A child blocked on one stream is not left waiting while the reader waits on the other, and what
// a read brought beyond a bite is kept for the next; a launch that fails leaves nothing open.
TEST_CASE("stdout and stderr read in small bites lose nothing and swap nothing; a failed launch leaks no handle")
{
    auto mixed = start({"mixed", "12000"});
    std::string o, e;
    for (bool more = true; more;) {
        const std::size_t o0 = o.size(), e0 = e.size();
        more = mixed->readOutput(o, e, 1500, 10000);
        REQUIRE((o.size() - o0 <= 1500 && e.size() - e0 <= 1500));
    }
    std::string expectedOut, expectedErr;
    for (int i = 0; i < 12000; ++i)
        (i % 2 ? expectedErr : expectedOut) += (i % 2 ? "err " : "out ") + std::to_string(i) + " " + pattern(i % 300) + "\n";
    CHECK(o == expectedOut);
    CHECK(e == expectedErr);
    exitCode(*mixed);
    mixed.reset(); // it took what a first launch allocates for good

    const int before = openHandles();
    REQUIRE(before > 0);
    for (int i = 0; i < 10; ++i) {
        childprocess::LaunchError error;
        CHECK_FALSE(Child::launch({"C:\\no\\such\\program.exe", {}, {}}, &error));
        CHECK(error.step == "create process");
    }
    CHECK(openHandles() == before);
}

// The daemon writes on its one thread: a write moves at most a pipe's worth however fast the child
// reads, a full pipe takes nothing at once and stays full, and an ended child's pipe is broken.
TEST_CASE("stdin moves a pipe's worth per write at most, fills up instead of blocking, and breaks with its child")
{
    const std::string text = pattern(8 * 1024 * 1024);
    auto reader = start({"sumafter", wintext::narrow(ownFolder() + L"childhelper.exe"), std::to_string(text.size())});
    std::size_t sent = 0, most = 0;
    for (int i = 0; i < 100000 && sent < text.size(); ++i) {
        const std::int64_t n = reader->writeInput(text.data() + sent, text.size() - sent);
        REQUIRE(n >= 0);
        if (n == 0)
            Sleep(1);
        sent += std::size_t(n);
        most = std::max(most, std::size_t(n));
    }
    REQUIRE(sent == text.size());
    CHECK(most <= 64 * 1024);
    CHECK(finish(*reader).out == sumafterLine(text.data(), text.size()));

    auto deaf = startReady({"noread"});
    // Bounded in time: a blocking write would hang, and the future tells. Full for good once
    // refused 50 times in a row (room may come back once, as the writer thread takes its queue).
    auto filled = std::async(std::launch::async, [&] {
        const std::string chunk(64 * 1024, 'z');
        std::int64_t total = 0, n = 0;
        int refused = 0;
        for (int i = 0; i < 2000 && refused < 50 && n >= 0; ++i, Sleep(n ? 0 : 2)) {
            total += n = deaf->writeInput(chunk.data(), chunk.size());
            refused = n == 0 ? refused + 1 : 0;
        }
        return refused >= 50 ? total : -1;
    });
    REQUIRE(filled.wait_for(seconds(20)) == std::future_status::ready);
    const std::int64_t total = filled.get();
    CHECK((total >= 0 && total < 64 * 1024 * 1000));
    // The write under way to a child still running is given up with its Child, not waited on;
    // detached with all it uses, so that a Child that never goes fails this check, not the run.
    const HANDLE deafProcess = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(deaf->pid()));
    std::promise<void> gone;
    std::future<void> dropped = gone.get_future();
    std::thread([child = std::move(deaf), gone = std::move(gone)]() mutable {
        child.reset();
        gone.set_value();
    }).detach();
    CHECK(dropped.wait_for(seconds(20)) == std::future_status::ready);
    TerminateProcess(deafProcess, 1);
    CloseHandle(deafProcess);

    std::int64_t last = 0;
    for (int i = 0; i < 100 && last >= 0; ++i)
        if ((last = reader->writeInput("x", 1)) >= 0)
            Sleep(50);
    CHECK(last == -1);
}

// The Ctrl+C an interrupt raises reaches this process too, maybe late: it must not end it. A
// console that comes a moment late is waited for; one that cannot be attached, or a Ctrl+C that
// cannot be raised, fails at once with a note for the daemon's log ("D "/"W " for its level).
TEST_CASE("interrupts arrive, each within two seconds or with a note saying why not, and a late Ctrl+C ends nobody")
{
    REQUIRE(g_backstopSet);
    const auto interrupt = [](Child &child, bool expected) {
        std::vector<childprocess::LogNote> notes;
        const ULONGLONG started = GetTickCount64();
        CHECK(child.interrupt(&notes) == expected);
        CHECK(GetTickCount64() - started < 2000);
        std::string text;
        for (const childprocess::LogNote &n : notes)
            text += (n.level == childprocess::LogNote::Level::Warning ? "W " : "D ") + n.text + "\n";
        return text;
    };
    auto late = startReady({"lateconsole", "42"});
    CHECK(interrupt(*late, true).rfind("D [ProcessManager] Attached to console on attempt ", 0) == 0);
    CHECK(exitCode(*late) == 42);

    auto child = startReady({"ignoreint"});
    std::string out;
    // Each awaited before the next: wine delivers a Ctrl+C as a Unix signal, and two that reach a
    // busy process before it runs merge into one, which Windows does not do.
    for (int i = 1; i <= 5; ++i) {
        interrupt(*child, true);
        CHECK(readUntil(*child, out, "ctrl-c\n", i) == i);
    }
    // A late delivery made at will, on the child's console, under the spy. Detached too soon,
    // this process might not be sent the event at all.
    g_spySeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(spy, TRUE);
    FreeConsole();
    REQUIRE(AttachConsole(DWORD(child->pid())));
    REQUIRE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    const DWORD seen = WaitForSingleObject(g_spySeen, 5000);
    FreeConsole();
    REQUIRE_MESSAGE(seen == WAIT_OBJECT_0, "no Ctrl+C reached this process's handlers");
    REQUIRE((g_spyThread && WaitForSingleObject(g_spyThread, 5000) == WAIT_OBJECT_0));
    CHECK(g_fatalCtrlC == 0);
    SetConsoleCtrlHandler(spy, FALSE);
    CloseHandle(g_spyThread);
    CloseHandle(g_spySeen);
    CHECK(readUntil(*child, out, "ctrl-c\n", 6) == 6);

    childprocess::testhook::failAttach = ERROR_ACCESS_DENIED;
    CHECK(interrupt(*child, false) == "W [ProcessManager] AttachConsole failed with error: 5\n");
    childprocess::testhook::failAttach = 0;
    childprocess::testhook::failCtrlEvent = ERROR_ACCESS_DENIED;
    CHECK(interrupt(*child, false).find("\nW [ProcessManager] GenerateConsoleCtrlEvent failed: 5\n") != std::string::npos);
    childprocess::testhook::failCtrlEvent = 0;
    CHECK(child->lastError() == ERROR_ACCESS_DENIED);
    child->terminate();
}

// One child's interrupt holds still while it ignores Ctrl+C, and another thread launches
// meanwhile: a launch that went ahead then would give its child the ignoring for good.
TEST_CASE("a child launched while an interrupt ignores Ctrl+C does not inherit the ignoring")
{
    REQUIRE(g_backstopSet);
    g_ignoring = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_launched = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    childprocess::testhook::whileIgnoring = [] {
        SetEvent(g_ignoring);
        WaitForSingleObject(g_launched, 500); // a launch that waits for the interrupt never sets it
    };
    auto first = startReady({"trapint", "41"});
    auto interrupting = std::async(std::launch::async, [&] { return first->interrupt(); });
    REQUIRE(WaitForSingleObject(g_ignoring, 10000) == WAIT_OBJECT_0);
    auto second = start({"trapint", "42"});
    SetEvent(g_launched);
    CHECK(interrupting.get());
    childprocess::testhook::whileIgnoring = nullptr;
    CHECK(exitCode(*first) == 41);
    std::string out;
    REQUIRE(readUntil(*second, out, "ready"));
    CHECK(second->interrupt());
    if (!readUntil(*second, out, "interrupted"))
        second->terminate();
    CHECK(exitCode(*second) == 42);
    CloseHandle(g_ignoring);
    CloseHandle(g_launched);
}

// The daemon's threads sleep in these calls until something happens, never polling, and another
// thread can release them.
TEST_CASE("a blocked exit wait, and a reader of an idle child, sleep until released from another thread")
{
    auto child = startReady({"ignoreint"});
    int code = 0;
    auto waiting = std::async(std::launch::async, [&] { return child->waitForExit(&code); });
    CHECK(waiting.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout);
    child->stopWaiting();
    REQUIRE(waiting.wait_for(seconds(10)) == std::future_status::ready);
    CHECK_FALSE(waiting.get());
    CHECK_FALSE(child->waitForExit(&code)); // stays released

    std::string out, err;
    const long before = childprocess::testhook::readerWakeups.load();
    auto reading = std::async(std::launch::async, [&] { return child->readOutput(out, err, 4096, -1); });
    // The quiet time being measured: a reader polling every 16 ms would wake ~300 times.
    CHECK(reading.wait_for(seconds(5)) == std::future_status::timeout);
    CHECK(childprocess::testhook::readerWakeups.load() == before);
    child->wakeReader();
    REQUIRE(reading.wait_for(seconds(10)) == std::future_status::ready);
    CHECK(reading.get());
    // Output wakes it too.
    reading = std::async(std::launch::async, [&] { return child->readOutput(out, err, 4096, -1); });
    CHECK(child->interrupt());
    REQUIRE(reading.wait_for(seconds(10)) == std::future_status::ready);
    CHECK((reading.get() && out.find("ctrl-c") != std::string::npos));
    child->terminate();
}

// Nothing else the daemon holds inheritable reaches a child, and DLLs by bare name come from
// System32 first, not from the working folder a client chose (wine's loader cannot show it: the
// attribute is checked, in the same list as the handle list).
TEST_CASE("a child inherits its three pipe ends and nothing else, and loads DLLs from System32 first")
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    const HANDLE event = CreateEventW(&sa, TRUE, FALSE, nullptr);
    REQUIRE(event);
    g_attributes = {};
    childprocess::testhook::attributeSeen = [](const void *list, std::uintptr_t attribute, const void *value,
                                               std::size_t size) {
        g_attributes.oneList = g_attributes.oneList && (!g_attributes.list || g_attributes.list == list);
        g_attributes.list = list;
        ++g_attributes.count;
        if (attribute == PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY && size == sizeof(DWORD64))
            g_attributes.preferSystem32 = (*static_cast<const DWORD64 *>(value)
                                           & PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_PREFER_SYSTEM32_ALWAYS_ON);
    };
    auto child = start({"handles", std::to_string(reinterpret_cast<std::uintptr_t>(event))});
    childprocess::testhook::attributeSeen = nullptr;
    CHECK(g_attributes.count == 3);
    CHECK(g_attributes.oneList);
    CHECK(g_attributes.preferSystem32);
    CHECK(child->writeInput("abc", 3) == 3);
    const Result r = finish(*child);
    CHECK(r.out == "foreign refused\nstdin abc\n");
    CHECK(r.err == "stderr ok");
    // Had the child held the event under the same number, it would have set it.
    CHECK(WaitForSingleObject(event, 0) == WAIT_TIMEOUT);
    CloseHandle(event);
}

// The stale sweep finds processes by number and file name, whatever their letters, and ends
// exactly the one it found; snapshots and targets leave no handle open.
TEST_CASE("a snapshot lists the running processes by number and UTF-8 file name; one found is ended with code 1")
{
    const std::wstring oddPath = tempFolder() + L"ch\u00efldhelper-\u20ac.exe";
    REQUIRE(CopyFileW((ownFolder() + L"childhelper.exe").c_str(), oddPath.c_str(), FALSE));
    auto odd = startReady({"noread"}, oddPath);
    const std::optional<Entry> found = find(odd->pid());
    REQUIRE(found);
    CHECK(found->name == "ch\xc3\xafldhelper-\xe2\x82\xac.exe");

    const int before = openHandles();
    long error = 0;
    for (int i = 0; i < 10; ++i) {
        processscan::Snapshot twice;
        CHECK((twice.take(&error) && twice.take(&error) && find(odd->pid())));
        CHECK(processscan::Target::open(*found, &error));
    }
    CHECK(openHandles() == before);
    // A number beyond 32 bits must not be cut down to the child's.
    Entry wide = *found;
    wide.pid += std::int64_t(1) << 32;
    CHECK_FALSE(processscan::Target::open(wide, &error));
    CHECK(error == ERROR_INVALID_PARAMETER);
    wide.pid = 0x7FFFFFF0;
    CHECK_FALSE(find(wide.pid));
    error = 0;
    CHECK_FALSE(processscan::Target::open(wide, &error));
    CHECK(error != 0);
    auto target = processscan::Target::open(*found, &error);
    REQUIRE_MESSAGE(target, error);
    CHECK_MESSAGE(target->terminate(&error), error);
    CHECK(exitCode(*odd) == 1);
    odd.reset();
    DeleteFileW(oddPath.c_str());
}
