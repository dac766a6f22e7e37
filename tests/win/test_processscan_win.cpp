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
using wintest::ownFolder;

namespace {

// A childhelper that has said "ready", so it is surely running.
std::unique_ptr<childprocess::Child> startChild(const std::wstring &program = ownFolder() + L"childhelper.exe")
{
    childprocess::LaunchError error;
    auto child = childprocess::Child::launch({wintext::narrow(program), {"noread"}, {}}, &error);
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

TEST_CASE("a snapshot lists the running processes by number and UTF-8 file name; one found is ended with code 1")
{
    auto child = startChild();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring oddPath = std::wstring(temp) + L"ch\u00efldhelper-\u20ac.exe";
    REQUIRE(CopyFileW((ownFolder() + L"childhelper.exe").c_str(), oddPath.c_str(), FALSE));
    auto odd = startChild(oddPath);

    const std::vector<Entry> all = walk();
    const Entry *found = find(all, child->pid());
    REQUIRE(found);
    CHECK(found->name == "childhelper.exe");
    CHECK_FALSE(found->hasOwner);
    CHECK(found->consoleId == -1);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::string selfPath = wintext::narrow(self);
    const Entry *own = find(all, std::int64_t(GetCurrentProcessId()));
    REQUIRE(own);
    CHECK(own->name == selfPath.substr(selfPath.find_last_of("\\/") + 1));
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
    int code = -1;
    REQUIRE(child->waitForExit(&code));
    CHECK(code == 1);

    Entry missing;
    missing.pid = 0x7FFFFFF0;
    CHECK_FALSE(find(walk(), missing.pid));
    error = 0;
    CHECK_FALSE(Target::open(missing, &error));
    CHECK(error != 0);

    odd->terminate();
    odd->waitForExit(&code);
    odd.reset();
    DeleteFileW(oddPath.c_str());
}

TEST_CASE("snapshots and targets leave no handle open")
{
    auto child = startChild();
    Entry entry;
    entry.pid = child->pid();
    walk();
    const int before = wintest::openHandles();
    REQUIRE(before > 0);
    for (int i = 0; i < 10; ++i) {
        walk();
        Snapshot twice;
        long error = 0;
        CHECK(twice.take(&error));
        CHECK(twice.take(&error));
        CHECK(Target::open(entry, &error));
    }
    CHECK(wintest::openHandles() == before);
    child->terminate();
    int code = 0;
    child->waitForExit(&code);
}
