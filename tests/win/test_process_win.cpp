// The Windows child-process layer under wine, against a real child program.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "process/childprocess.h"
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

    // Plain arguments are just wrapped in quotes; the executable is never escaped.
    CHECK(childprocess::buildCommandLine("C:\\Program Files\\x.exe", {"a", "b c"})
          == L"\"C:\\Program Files\\x.exe\" \"a\" \"b c\"");
    CHECK(childprocess::buildCommandLine("x.exe", {}) == L"\"x.exe\"");
    int n = 0;
    wchar_t **split = CommandLineToArgvW(childprocess::buildCommandLine("x.exe", {"a\\\"b", "c\\"}).c_str(), &n);
    REQUIRE(n == 3);
    CHECK(std::wstring(split[1]) == L"a\\\"b");
    CHECK(std::wstring(split[2]) == L"c\\");
    LocalFree(split);
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
    auto deaf = start({"noread"});
    std::string out;
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
    deaf->terminate();
    int code = 0;
    CHECK(deaf->waitForExit(&code));
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
