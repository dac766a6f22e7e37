// The Windows process table under wine: a snapshot of the real processes, and ending one of them.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "daemon/processscan.h"
#include "process/childprocess.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using processscan::Entry;
using processscan::Snapshot;
using processscan::Target;

namespace {

using wintest::openHandles;
using wintest::ownFolder;

std::wstring ownName()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring p(path);
    return p.substr(p.find_last_of(L"\\/") + 1);
}

// A winchild that has said "ready", so it is surely running.
std::unique_ptr<childprocess::Child> startChild(const std::string &program)
{
    childprocess::LaunchError error;
    auto child = childprocess::Child::launch({program, {"noread"}, {}}, &error);
    REQUIRE_MESSAGE(child, error.step << " " << error.code);
    std::string out;
    REQUIRE(wintest::readUntil(*child, out, "ready"));
    return child;
}

std::vector<Entry> walk()
{
    Snapshot snapshot;
    long error = 0;
    REQUIRE_MESSAGE(snapshot.take(&error), error);
    Entry entry;
    REQUIRE_MESSAGE(snapshot.first(&entry, &error), error);
    std::vector<Entry> all{entry};
    // Bounded, so a walk that never ends fails here instead of hanging the suite.
    while (snapshot.next(&entry)) {
        all.push_back(entry);
        REQUIRE_MESSAGE(all.size() < 100000, "the walk does not end");
    }
    return all;
}


const Entry *find(const std::vector<Entry> &all, std::int64_t pid)
{
    for (const Entry &e : all)
        if (e.pid == pid)
            return &e;
    return nullptr;
}

} // namespace

TEST_CASE("a snapshot lists the running processes by number and file name")
{
    auto child = startChild(wintext::narrow(ownFolder() + L"winchild.exe"));
    // The name comes as UTF-8, not in some code page.
    const std::wstring oddName = L"w\u00efnchild-\u20ac.exe";
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring oddPath = std::wstring(temp) + oddName;
    REQUIRE(CopyFileW((ownFolder() + L"winchild.exe").c_str(), oddPath.c_str(), FALSE));
    auto odd = startChild(wintext::narrow(oddPath));

    const std::vector<Entry> all = walk();
    CHECK(all.size() > 1);

    const Entry *found = find(all, child->pid());
    REQUIRE(found);
    CHECK(found->name == "winchild.exe");
    CHECK_FALSE(found->hasOwner);
    CHECK(found->consoleId == -1);

    const Entry *self = find(all, std::int64_t(GetCurrentProcessId()));
    REQUIRE(self);
    CHECK(self->name == wintext::narrow(ownName()));

    const Entry *oddFound = find(all, odd->pid());
    REQUIRE(oddFound);
    CHECK(oddFound->name == "w\xc3\xafnchild-\xe2\x82\xac.exe");

    for (auto *c : {child.get(), odd.get()}) {
        c->terminate();
        int code = 0;
        c->waitForExit(&code);
    }
    odd.reset();
    DeleteFileW(oddPath.c_str());
}

TEST_CASE("a process found in the snapshot is ended with exit code 1")
{
    auto child = startChild(wintext::narrow(ownFolder() + L"winchild.exe"));
    const std::vector<Entry> all = walk();
    const Entry *found = find(all, child->pid());
    REQUIRE(found);

    // A number beyond 32 bits must not be cut down to the child's.
    Entry wide = *found;
    wide.pid += std::int64_t(1) << 32;
    long error = 0;
    CHECK_FALSE(Target::open(wide, &error));
    CHECK(error == ERROR_INVALID_PARAMETER);

    error = 0;
    auto target = Target::open(*found, &error);
    REQUIRE_MESSAGE(target, error);
    CHECK_MESSAGE(target->terminate(&error), error);
    int code = -1;
    REQUIRE(child->waitForExit(&code));
    CHECK(code == 1);

    Entry missing;
    missing.pid = 0x7FFFFFF0;
    CHECK_FALSE(find(walk(), missing.pid));
    error = 0;
    CHECK_FALSE(Target::open(missing, &error));
    CHECK(error != 0);
}

TEST_CASE("snapshots and targets leave no handle open")
{
    auto child = startChild(wintext::narrow(ownFolder() + L"winchild.exe"));
    Entry entry;
    entry.pid = child->pid();
    walk();
    const int before = openHandles();
    REQUIRE(before > 0);
    for (int i = 0; i < 10; ++i) {
        walk();
        Snapshot twice;
        long error = 0;
        CHECK(twice.take(&error));
        CHECK(twice.take(&error));
        long openError = 0;
        CHECK(Target::open(entry, &openError));
    }
    CHECK(openHandles() == before);
    child->terminate();
    int code = 0;
    child->waitForExit(&code);
}
