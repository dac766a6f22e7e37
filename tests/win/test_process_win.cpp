// The Windows child-process layer under wine, against a real child program.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "process/childprocess.h"
#include "process/childprocess_win.h"
#include "process/cmdline_win.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <cstring>

using childprocess::Child;
using childprocess::LaunchSpec;

namespace {

using wintest::openHandles;
using wintest::readUntil;

std::string helper()
{
    return wintext::narrow(wintest::ownFolder() + L"winchild.exe");
}

std::unique_ptr<Child> start(std::vector<std::string> args, const std::string &dir = {})
{
    LaunchSpec spec{helper(), std::move(args), dir};
    childprocess::LaunchError error;
    auto child = Child::launch(spec, &error);
    REQUIRE_MESSAGE(child, error.step << " " << error.code);
    return child;
}

// Everything the child writes until both pipes end, and its exit code.
struct Result
{
    std::string out, err;
    int code = -12345;
};

Result finish(Child &child)
{
    Result r;
    while (child.readOutput(r.out, r.err, 256 * 1024, 10000)) {
    }
    REQUIRE(child.waitForExit(&r.code));
    return r;
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}


// Reads until the text has appeared count times; false after a few seconds short of that.
bool readCount(Child &child, std::string &out, const std::string &text, int count)
{
    const auto seen = [&] {
        int n = 0;
        for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size()))
            ++n;
        return n;
    };
    std::string err;
    for (int i = 0; i < 100 && seen() < count; ++i)
        child.readOutput(out, err, 4096, 100);
    return seen() == count;
}

// A Ctrl+C that got past every other handler of this process, where the default handler would
// have ended it. Under wine that end comes with exit code 0, which ctest would take for a pass;
// this handler counts it and keeps the process alive to fail the test instead. It is registered
// before any test runs, and handlers run latest first, so it sees only what all later ones let by.
std::atomic<int> g_fatalCtrlC{0};

BOOL WINAPI backstop(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    ++g_fatalCtrlC;
    return TRUE;
}

const bool g_backstopSet = SetConsoleCtrlHandler(backstop, TRUE) != 0;

// Sees a Ctrl+C first and passes it on, remembering the thread it came on: once that thread has
// ended, every handler has had its turn.
HANDLE g_spySeen;
HANDLE g_spyThread;

BOOL WINAPI spy(DWORD event)
{
    if (event == CTRL_C_EVENT && !g_spyThread)
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_spyThread, SYNCHRONIZE,
                        FALSE, 0);
    SetEvent(g_spySeen);
    return FALSE;
}

struct SpyOnCtrlC
{
    SpyOnCtrlC()
    {
        g_spySeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_spyThread = nullptr;
        SetConsoleCtrlHandler(spy, TRUE);
    }
    ~SpyOnCtrlC()
    {
        SetConsoleCtrlHandler(spy, FALSE);
        if (g_spyThread)
            CloseHandle(g_spyThread);
        CloseHandle(g_spySeen);
    }
};

} // namespace

TEST_CASE("arguments reach the child exactly as given")
{
    const std::vector<std::string> args{"plain", "two words", "tab\there", "\"quoted\"", "mid\"quote",
                                        "trailing\\", "two\\\\", "back\\\"slash-quote", "", "\\\\server\\share\\",
                                        "ünïcödé €", "-opt=\"a b\""};
    std::vector<std::string> all{"args"};
    all.insert(all.end(), args.begin(), args.end());
    auto child = start(all);
    const Result r = finish(*child);
    std::string expected;
    for (const auto &a : args)
        expected += "[" + a + "]\n";
    CHECK(r.out == expected + "same\n");
    CHECK(r.code == 0);

    // Only what needs them gets quotes; the executable always has them and is never escaped.
    CHECK(childprocess::buildCommandLine("C:\\Program Files\\x.exe", {"a", "b c", "", "d\\e\\"})
          == L"\"C:\\Program Files\\x.exe\" a \"b c\" \"\" d\\e\\");
    CHECK(childprocess::buildCommandLine("x.exe", {}) == L"\"x.exe\"");
    int n = 0;
    wchar_t **split = CommandLineToArgvW(childprocess::buildCommandLine("x.exe", {"a\\\"b", "c\\"}).c_str(), &n);
    REQUIRE(n == 3);
    CHECK(std::wstring(split[1]) == L"a\\\"b");
    CHECK(std::wstring(split[2]) == L"c\\");
    LocalFree(split);
}

TEST_CASE("a program that reads its raw command line gets what a person would type")
{
    LaunchSpec spec{"cmd.exe", {"/c", "echo", "hi"}, {}};
    childprocess::LaunchError error;
    auto child = Child::launch(spec, &error);
    REQUIRE_MESSAGE(child, error.step << " " << error.code);
    const Result r = finish(*child);
    CHECK(r.out == "hi\r\n");
    CHECK(r.code == 0);
}

TEST_CASE("exit codes, including those above 0x7FFFFFFF")
{
    for (const char *code : {"0", "1", "255", "0xC000013A"}) {
        auto child = start({"exit", code});
        const Result r = finish(*child);
        CHECK(r.code == static_cast<int>(std::stoul(code, nullptr, 0)));
    }
    auto child = start({"exit", "0xC000013A"});
    CHECK(finish(*child).code == -1073741510);
}

TEST_CASE("output arrives on its own stream, whole")
{
    auto out = start({"out", "3000000"});
    const Result a = finish(*out);
    CHECK(a.out == pattern(3000000));
    CHECK(a.err.empty());

    auto err = start({"err", "5000"});
    const Result b = finish(*err);
    CHECK(b.err == pattern(5000));
    CHECK(b.out.empty());

    // Both streams at once, taken in small bites: nothing a read brought beyond the bite is
    // lost or handed to the other stream, and a child blocked on one stream is not left waiting
    // while the reader waits on the other.
    auto both = start({"both", "1000000"});
    std::string o, e;
    bool more = true;
    while (more) {
        const std::size_t o0 = o.size(), e0 = e.size();
        more = both->readOutput(o, e, 1500, 10000);
        REQUIRE(o.size() - o0 <= 1500);
        REQUIRE(e.size() - e0 <= 1500);
    }
    std::string joined;
    for (std::size_t at = 0, i = 0; at < o.size() + e.size(); at += 10000, ++i)
        joined += (i % 2 ? e : o).substr(at / 20000 * 10000, 10000);
    CHECK(o.size() + e.size() == 1000000);
    CHECK(joined == pattern(1000000));
}

TEST_CASE("a failed launch says where and leaks no handle")
{
    auto warm = start({"exit", "0"});
    finish(*warm);
    warm.reset();
    const int before = openHandles();
    REQUIRE(before > 0);
    for (int i = 0; i < 10; ++i) {
        childprocess::LaunchError error;
        CHECK_FALSE(Child::launch(LaunchSpec{"C:\\no\\such\\program.exe", {}, {}}, &error));
        CHECK(error.step == "create process");
        CHECK((error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PATH_NOT_FOUND));
    }
    CHECK(openHandles() == before);
}

TEST_CASE("working directory and stdin")
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring dir(temp);
    if (!dir.empty() && dir.back() == L'\\')
        dir.pop_back();
    auto cwd = start({"cwd"}, wintext::narrow(dir));
    CHECK(finish(*cwd).out == wintext::narrow(dir) + "\n");

    auto echo = start({"echo"});
    CHECK(echo->writeInput("hello ", 6) == 6);
    CHECK(echo->writeInput("world\n", 6) == 6);
    std::string out;
    CHECK(readUntil(*echo, out, "hello world\n"));
    echo->terminate();
    int code = 0;
    CHECK(echo->waitForExit(&code));
    CHECK(code == 1);
}

TEST_CASE("stdin of a child that never reads fills up instead of blocking")
{
    bool fallback = false;
    SUBCASE("with a non-blocking pipe") {}
    SUBCASE("with the overlapped writes that stand in for one") { fallback = true; }
    childprocess::testhook::refuseNonBlockingStdin = fallback;
    struct Restore
    {
        ~Restore() { childprocess::testhook::refuseNonBlockingStdin = false; }
    } restore;

    auto echo = start({"echo"});
    const std::string text = pattern(100000);
    std::string sent, out;
    // More than the pipe holds, so the writes meet a full pipe while the child copies.
    for (int i = 0; i < 2000 && sent.size() < text.size(); ++i) {
        const std::int64_t n = echo->writeInput(text.data() + sent.size(), text.size() - sent.size());
        REQUIRE(n >= 0);
        sent.append(text, sent.size(), std::size_t(n));
        std::string ignored;
        echo->readOutput(out, ignored, 65536, n == 0 ? 10 : 0);
    }
    REQUIRE(sent == text);
    std::string err;
    for (int i = 0; i < 200 && out.size() < text.size(); ++i)
        echo->readOutput(out, err, 65536, 100);
    CHECK(out == text);
    echo->terminate();
    int code = 0;
    CHECK(echo->waitForExit(&code));

    auto deaf = start({"noread"});
    out.clear();
    REQUIRE(readUntil(*deaf, out, "ready"));
    // Bounded in time: a blocking write would hang here, and the future tells.
    auto filled = std::async(std::launch::async, [&] {
        const std::string chunk(64 * 1024, 'z');
        std::int64_t total = 0;
        for (int i = 0; i < 1000; ++i) {
            const std::int64_t n = deaf->writeInput(chunk.data(), chunk.size());
            if (n <= 0)
                return total;
            total += n;
        }
        return std::int64_t(-1);
    });
    REQUIRE(filled.wait_for(std::chrono::seconds(20)) == std::future_status::ready);
    const std::int64_t total = filled.get();
    CHECK(total >= 0);
    CHECK(total < 64 * 1024 * 1000);
    // Full stays full, and says so at once, as often as it is asked.
    auto again = std::async(std::launch::async, [&] {
        bool allZero = true;
        for (int i = 0; i < 100; ++i)
            allZero = deaf->writeInput("more", 4) == 0 && allZero;
        return allZero;
    });
    REQUIRE(again.wait_for(std::chrono::seconds(20)) == std::future_status::ready);
    CHECK(again.get());
    deaf->terminate();
    CHECK(deaf->waitForExit(&code));
    // The child's end is gone: a broken pipe, not a full one.
    std::int64_t last = 0;
    for (int i = 0; i < 100 && last == 0; ++i) {
        last = deaf->writeInput("x", 1);
        if (last == 0)
            Sleep(50);
    }
    CHECK(last == -1);
}

TEST_SUITE("Ctrl+C")
{
TEST_CASE("Ctrl+C reaches a child that handles it")
{
    auto child = start({"ctrlc"});
    std::string out;
    REQUIRE(readUntil(*child, out, "ready"));
    CHECK(child->interrupt());
    int code = 0;
    CHECK(child->waitForExit(&code));
    CHECK(code == 42);
}

TEST_CASE("the interrupting process outlives its interrupts, and later children still take theirs")
{
    REQUIRE(g_backstopSet);
    // Each child after the first starts once Ctrl+C has gone out. Had the ignoring passed on to
    // it, it would let the Ctrl+C go by and end with 9 after 20 s.
    for (int i = 0; i < 5; ++i) {
        CAPTURE(i);
        auto child = start({"ctrlc"});
        std::string out;
        REQUIRE(readUntil(*child, out, "ready"));
        CHECK(child->interrupt());
        int code = 0;
        REQUIRE(child->waitForExit(&code));
        REQUIRE(code == 42);
    }
    // A child that ignores them, interrupted again and again: every one arrives, and it is still
    // running at the end for TerminateProcess to give it exit code 1.
    auto stubborn = start({"ignorectrlc"});
    std::string out;
    REQUIRE(readUntil(*stubborn, out, "ready"));
    for (int i = 0; i < 5; ++i)
        CHECK(stubborn->interrupt());
    CHECK(readCount(*stubborn, out, "ctrl-c\n", 5));
    CHECK(stubborn->terminate());
    int code = 0;
    CHECK(stubborn->waitForExit(&code));
    CHECK(code == 1);
    CHECK(g_fatalCtrlC == 0);
}

TEST_CASE("a Ctrl+C coming after the interrupt is over leaves the process alive")
{
    REQUIRE(g_backstopSet);
    // An interrupt first, so that whatever it puts in place sits below the spy.
    auto first = start({"ctrlc"});
    std::string out;
    REQUIRE(readUntil(*first, out, "ready"));
    REQUIRE(first->interrupt());
    int code = 0;
    CHECK(first->waitForExit(&code));
    CHECK(code == 42);

    // The late delivery, made at will: this process on a child's console receives a Ctrl+C
    // while it no longer ignores Ctrl+C, just as it would if interrupt()'s one came late.
    auto other = start({"ignorectrlc"});
    out.clear();
    REQUIRE(readUntil(*other, out, "ready"));
    {
        SpyOnCtrlC spying;
        FreeConsole();
        REQUIRE(AttachConsole(DWORD(other->pid())));
        REQUIRE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        // Detached too soon, this process might not be sent the event at all.
        const DWORD seen = WaitForSingleObject(g_spySeen, 5000);
        FreeConsole();
        // Never seen: the handlers never ran, so the process still ignores Ctrl+C.
        REQUIRE_MESSAGE(seen == WAIT_OBJECT_0, "no Ctrl+C reached this process's handlers");
        REQUIRE(g_spyThread);
        REQUIRE(WaitForSingleObject(g_spyThread, 5000) == WAIT_OBJECT_0);
        CHECK(g_fatalCtrlC == 0);
    }
    CHECK(readCount(*other, out, "ctrl-c\n", 1));
    other->terminate();
    other->waitForExit(&code);
}

TEST_CASE("an interrupt with no console to reach fails within about a second")
{
    const auto timed = [](Child &child, bool *ok) {
        const ULONGLONG started = GetTickCount64();
        *ok = child.interrupt();
        return GetTickCount64() - started;
    };
    bool ok = true;
    int code = 0;

    SUBCASE("the child has exited")
    {
        auto gone = start({"exit", "3"});
        REQUIRE(gone->waitForExit(&code));
        CHECK(timed(*gone, &ok) < 2000);
        CHECK_FALSE(ok);
        CHECK(gone->lastError() != 0);
    }
    SUBCASE("the child has left its console")
    {
        auto bare = start({"noconsole"});
        std::string out;
        REQUIRE(readUntil(*bare, out, "ready"));
        CHECK(timed(*bare, &ok) < 2000);
        CHECK_FALSE(ok);
        CHECK(bare->lastError() == ERROR_INVALID_HANDLE);
        bare->terminate();
        bare->waitForExit(&code);
    }
    SUBCASE("a console that comes a moment late is waited for")
    {
        auto late = start({"lateconsole"});
        std::string out;
        REQUIRE(readUntil(*late, out, "ready"));
        CHECK(timed(*late, &ok) < 2000);
        CHECK(ok);
        CHECK(late->waitForExit(&code));
        CHECK(code == 42);
    }
}
} // TEST_SUITE

TEST_CASE("a blocked exit wait is released from another thread")
{
    auto child = start({"noread"});
    int code = 0;
    auto waiting = std::async(std::launch::async, [&] { return child->waitForExit(&code); });
    CHECK(waiting.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout);
    child->stopWaiting();
    REQUIRE(waiting.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
    CHECK_FALSE(waiting.get());
    CHECK_FALSE(child->waitForExit(&code)); // stays released
    // A reader waiting for output is released the same way.
    std::string out, err;
    readUntil(*child, out, "ready");
    auto reading = std::async(std::launch::async, [&] { return child->readOutput(out, err, 4096, -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    child->wakeReader();
    REQUIRE(reading.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
    CHECK(reading.get());
    child->terminate();
}

namespace {

// The process number a "tree" child prints for the copy of itself it started.
DWORD grandchildOf(Child &child)
{
    std::string out;
    REQUIRE(readUntil(child, out, "\n"));
    const auto at = out.find("grandchild ");
    REQUIRE(at != std::string::npos);
    return DWORD(std::stoul(out.substr(at + 11)));
}

HANDLE openProcess(DWORD pid, DWORD access = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION)
{
    const HANDLE h = OpenProcess(access, FALSE, pid);
    REQUIRE_MESSAGE(h, "process " << pid << ": " << GetLastError());
    return h;
}

bool running(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

bool endsWithin(HANDLE process, DWORD ms)
{
    return WaitForSingleObject(process, ms) == WAIT_OBJECT_0;
}

} // namespace

TEST_CASE("what a child starts goes with it")
{
    auto child = start({"tree"});
    const HANDLE grandchild = openProcess(grandchildOf(*child));
    int code = 0;

    SUBCASE("by kill")
    {
        CHECK(child->terminate());
        REQUIRE(child->waitForExit(&code));
        CHECK(code == 1);
        CHECK(endsWithin(grandchild, 10000));
    }
    SUBCASE("by stop, once the child's record goes")
    {
        // The grandchild ignores the Ctrl+C that ends the child, as a careless tool might.
        CHECK(child->interrupt());
        REQUIRE(child->waitForExit(&code));
        CHECK(code == 42);
        CHECK(running(grandchild));
        child.reset();
        CHECK(endsWithin(grandchild, 10000));
    }
    SUBCASE("a record that goes before its child kills nothing, and the tree ends with the child")
    {
        const HANDLE self = openProcess(DWORD(child->pid()), SYNCHRONIZE | PROCESS_TERMINATE);
        // Reads under way when the record goes are cancelled, not left to write into freed memory.
        std::string out, err;
        child->readOutput(out, err, 4096, 0);
        child.reset();
        CHECK(running(self));
        CHECK(running(grandchild));
        TerminateProcess(self, 5);
        CHECK(endsWithin(self, 10000));
        CHECK(endsWithin(grandchild, 10000));
        CloseHandle(self);
    }
    if (running(grandchild))
        TerminateProcess(openProcess(GetProcessId(grandchild), PROCESS_TERMINATE), 0);
    CloseHandle(grandchild);
}

TEST_CASE("a child inherits its three pipe ends and nothing else")
{
    // Inheritable, as a handle made by any other part of the daemon might be.
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    const HANDLE event = CreateEventW(&sa, TRUE, FALSE, nullptr);
    REQUIRE(event);
    auto child = start({"handles", std::to_string(reinterpret_cast<std::uintptr_t>(event))});
    CHECK(child->writeInput("abc", 3) == 3);
    const Result r = finish(*child);
    CHECK(r.out == "foreign refused\nstdin abc\n");
    CHECK(r.err == "stderr ok");
    // Had the child held the event under the same number, it would have set it.
    CHECK(WaitForSingleObject(event, 0) == WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_CASE("a reader of an idle child sleeps until there is output")
{
    using childprocess::testhook::readerWakeups;
    auto child = start({"ignorectrlc"});
    std::atomic<bool> ready{false}, answered{false}, quit{false};
    std::atomic<int> returns{0};
    std::thread reader([&] {
        std::string out, err;
        while (!quit.load()) {
            child->readOutput(out, err, 4096, -1);
            ready = out.find("ready") != std::string::npos;
            answered = out.find("ctrl-c") != std::string::npos;
            ++returns;
        }
    });
    struct Join
    {
        std::atomic<bool> &quit;
        Child &child;
        std::thread &reader;
        ~Join()
        {
            quit = true;
            child.wakeReader();
            reader.join();
        }
    } join{quit, *child, reader};
    for (int i = 0; i < 200 && !ready.load(); ++i)
        Sleep(50);
    REQUIRE(ready.load());
    const long before = readerWakeups.load();
    const int returnsBefore = returns.load();
    Sleep(5000); // the quiet time being measured
    // A reader that polled every 16 ms would have woken about 300 times by now.
    CHECK(readerWakeups.load() == before);
    CHECK(returns.load() == returnsBefore);
    // Output still wakes it.
    CHECK(child->interrupt());
    for (int i = 0; i < 200 && !answered.load(); ++i)
        Sleep(50);
    CHECK(answered.load());
    CHECK(readerWakeups.load() > before);
    child->terminate();
}
