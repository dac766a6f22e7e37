// The Windows process table under wine: a snapshot of the real processes, and ending one of them.

#include <doctest/doctest.h>

#include "daemon/processscan.h"
#include "service/wintext_win.h"
#include "wintest.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using processscan::Entry;
using processscan::Snapshot;
using processscan::Target;
using namespace wintest;

namespace {

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

TEST_CASE("a snapshot lists the running processes by number and UTF-8 file name; one found is ended with code 1")
{
    auto child = startReady({"noread"});
    const std::wstring oddPath = tempFolder() + L"ch\u00efldhelper-\u20ac.exe";
    REQUIRE(CopyFileW((ownFolder() + L"childhelper.exe").c_str(), oddPath.c_str(), FALSE));
    auto odd = startReady({"noread"}, oddPath);

    const std::vector<Entry> all = walk();
    const Entry *found = find(all, child->pid());
    REQUIRE(found);
    CHECK(found->name == "childhelper.exe");
    CHECK_FALSE(found->hasOwner);
    CHECK(found->consoleId == -1);
    const Entry *own = find(all, std::int64_t(GetCurrentProcessId()));
    REQUIRE(own);
    CHECK(own->name == "test_processscan_win.exe");
    const Entry *oddFound = find(all, odd->pid());
    REQUIRE(oddFound);
    CHECK(oddFound->name == "ch\xc3\xafldhelper-\xe2\x82\xac.exe");

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
    CHECK(exitCode(*child) == 1);

    Entry missing;
    missing.pid = 0x7FFFFFF0;
    CHECK_FALSE(find(walk(), missing.pid));
    error = 0;
    CHECK_FALSE(Target::open(missing, &error));
    CHECK(error != 0);

    // Snapshots, a second take of one, and targets leave no handle open.
    const int before = openHandles();
    for (int i = 0; i < 10; ++i) {
        walk();
        Snapshot twice;
        CHECK(twice.take(&error));
        CHECK(twice.take(&error));
        CHECK(Target::open(*oddFound, &error));
    }
    CHECK(openHandles() == before);

    odd->terminate();
    exitCode(*odd);
    odd.reset();
    DeleteFileW(oddPath.c_str());
}
