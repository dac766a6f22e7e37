// The Windows child-process layer under wine, against a real child program.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "process/childprocess.h"
#include "process/cmdline_win.h"
#include "service/wintext_win.h"

#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

using childprocess::Child;
using childprocess::LaunchSpec;

namespace {

std::string helper()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return wintext::narrow(p.substr(0, p.find_last_of(L"\\/") + 1) + L"winchild.exe");
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

// Reads until the text appears; false after a few seconds without it.
bool readUntil(Child &child, std::string &out, const std::string &text)
{
    std::string err;
    for (int i = 0; i < 100 && out.find(text) == std::string::npos; ++i)
        child.readOutput(out, err, 4096, 100);
    return out.find(text) != std::string::npos;
}

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
    DWORD before = 0, after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &before);
    for (int i = 0; i < 10; ++i) {
        childprocess::LaunchError error;
        CHECK_FALSE(Child::launch(LaunchSpec{"C:\\no\\such\\program.exe", {}, {}}, &error));
        CHECK(error.step == "create process");
        CHECK((error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PATH_NOT_FOUND));
    }
    GetProcessHandleCount(GetCurrentProcess(), &after);
    CHECK(after == before);
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
