// The Windows service runtime: its status reports and control handler through a seam recording
// what reaches the control manager, then the entry's registration under wine's service manager
// (winservice.exe). A real start and stop is tst_service_winqt's, with the daemon itself.

#include <doctest/doctest.h>

#include "service/wintext_win.h"
#include "service/windowsservice_win.h"
#include "wintest.h"

#include <functional>
#include <stdexcept>

namespace {

// Records the reports; the service's main function runs on the calling thread.
struct Recorder : WindowsService::Manager
{
    std::vector<SERVICE_STATUS> reports;
    bool registers = true;
    DWORD dispatcherError = 0;
    SERVICE_STATUS_HANDLE registerHandler(const wchar_t *, LPHANDLER_FUNCTION_EX) override
    {
        return registers ? reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234) : nullptr;
    }
    bool setStatus(SERVICE_STATUS_HANDLE, const SERVICE_STATUS &s) override
    {
        reports.push_back(s);
        return true;
    }
    bool startDispatcher(const SERVICE_TABLE_ENTRYW *table, DWORD *error) override
    {
        *error = dispatcherError;
        if (dispatcherError)
            return false;
        CHECK(std::wstring(table[0].lpServiceName) == L"TarnService");
        CHECK((table[1].lpServiceName == nullptr && !table[1].lpServiceProc));
        table[0].lpServiceProc(0, nullptr);
        return true;
    }
};

struct Fixture
{
    Recorder *recorder = new Recorder;
    std::vector<SERVICE_STATUS> &reports = recorder->reports;
    WindowsService *service = &WindowsService::init(L"TarnService", L"Tarn Proxy Client Service");
    Fixture() { service->setManager(std::unique_ptr<Recorder>(recorder)); }
    ~Fixture() { WindowsService::release(); }
};

DWORD control(DWORD code)
{
    return WindowsService::controlHandler(code, 0, nullptr, nullptr);
}

} // namespace

// Each report as state, accepted, exit code, checkpoint and wait hint, after the start's; the
// type and the service's own code never change. Stops and shutdowns while stopping add nothing.
TEST_CASE("a run's status reports: a stop or a shutdown stops once; a failed run ends stopped with code 1")
{
    using Body = std::function<void(WindowsService &)>;
    const auto stopping = [](DWORD first) -> Body {
        return [first](WindowsService &s) {
            s.reportRunning();
            for (DWORD c : {first, DWORD(SERVICE_CONTROL_STOP), DWORD(SERVICE_CONTROL_SHUTDOWN),
                            DWORD(SERVICE_CONTROL_INTERROGATE)})
                CHECK(control(c) == NO_ERROR);
            s.reportStopped();
        };
    };
    const std::vector<DWORD> stopped{SERVICE_RUNNING, 5, 0, 0, 0,     SERVICE_STOP_PENDING, 5, 0, 1, 30000,
                                     SERVICE_STOPPED, 5, 0, 0, 0};
    const std::vector<DWORD> failed{SERVICE_STOPPED, 5, 1, 0, 0};
    const struct
    {
        Body body;
        std::vector<DWORD> reports;
    } runs[] = {{stopping(SERVICE_CONTROL_STOP), stopped},
                {stopping(SERVICE_CONTROL_SHUTDOWN), stopped},
                {[](WindowsService &) { throw std::runtime_error("run body"); }, failed},
                {[](WindowsService &s) { s.reportStopped(1); }, failed}};
    for (const auto &run : runs) {
        Fixture f;
        int stops = 0;
        const int code = f.service->runDispatcher([&] { run.body(*f.service); }, [&] { ++stops; });
        CHECK((run.reports == failed || (code == 0 && stops == 1)));
        std::vector<DWORD> seen;
        for (const SERVICE_STATUS &s : f.reports) {
            CHECK((s.dwServiceType == 0x10 && s.dwServiceSpecificExitCode == 0));
            seen.insert(seen.end(), {s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwCheckPoint,
                                     s.dwWaitHint});
        }
        std::vector<DWORD> expected{SERVICE_START_PENDING, 0, 0, 1, 3000};
        expected.insert(expected.end(), run.reports.begin(), run.reports.end());
        CHECK(seen == expected);
    }
    // No handler registered, no run; a dispatcher that cannot connect fails the process.
    Fixture f;
    f.recorder->registers = false;
    bool ran = false;
    CHECK(f.service->runDispatcher([&] { ran = true; }, [] {}) == 0);
    CHECK((!ran && f.reports.empty()));
    f.recorder->dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    CHECK(f.service->runDispatcher([] {}, [] {}) == 1);
}

TEST_CASE("the control handler's table, with and without an instance")
{
    {
        Fixture f;
        for (DWORD c : {DWORD(SERVICE_CONTROL_PAUSE), DWORD(SERVICE_CONTROL_PARAMCHANGE), DWORD(127), DWORD(256),
                        DWORD(128)}) // 128: no callback yet
            CHECK(control(c) == ERROR_CALL_NOT_IMPLEMENTED);
        std::vector<std::uint32_t> seen;
        f.service->setCustomControlHandler([&seen](std::uint32_t c) { seen.push_back(c); });
        for (DWORD c : {128, 255})
            CHECK(control(c) == NO_ERROR);
        CHECK(seen == std::vector<std::uint32_t>{128, 255});
        f.service->setCustomControlHandler([](std::uint32_t) { throw std::runtime_error("callback"); });
        CHECK(control(128) == ERROR_EXCEPTION_IN_SERVICE);
        CHECK(f.reports.empty()); // no handle registered: nothing reaches the manager
    }
    // A stop that comes with no service to stop is refused, not a crash.
    CHECK(control(SERVICE_CONTROL_STOP) == ERROR_EXCEPTION_IN_SERVICE);
}

// Registered from a folder with a space in its name, the command must be quoted, or a program at
// the path's first word would run as LocalSystem; and it starts on demand only. The registration
// outlives a run, so none is there before or after. Registering, starting and removing the real
// service is tst_service_winqt's.
TEST_CASE("the entry: its message from a console, and a registration of a path with a space under wine")
{
    const auto registered = [] {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceW(manager, L"TarnService", SERVICE_ALL_ACCESS);
        CloseServiceHandle(manager);
        return service;
    };
    const auto unregister = [&] {
        for (SC_HANDLE service; (service = registered()); Sleep(100)) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
    };
    unregister();
    const std::wstring folder = wintest::ownFolder() + L"service dir " + std::to_wstring(GetCurrentProcessId());
    const std::wstring exe = folder + L"\\winservice.exe";
    CreateDirectoryW(folder.c_str(), nullptr);
    REQUIRE(CopyFileW((wintest::ownFolder() + L"winservice.exe").c_str(), exe.c_str(), FALSE));
    // From a console the dispatcher cannot connect; nor is the capital spelling a registration.
    wintest::Result r = wintest::finish(*wintest::start({}, exe));
    CHECK(r.code == 1);
    CHECK(r.err.find("ERROR: tarnd must be run as a Windows Service.") != std::string::npos);
    CHECK(wintest::finish(*wintest::start({"--REGISTER"}, exe)).code == 1);
    CHECK_FALSE(registered());
    r = wintest::finish(*wintest::start({"--register", "--ignored"}, exe));
    CHECK_MESSAGE(r.code == 0, r.out << r.err);

    SC_HANDLE service = registered();
    REQUIRE(service);
    std::vector<BYTE> buf(8192);
    DWORD needed = 0;
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buf.data());
    REQUIRE(QueryServiceConfigW(service, config, DWORD(buf.size()), &needed));
    CHECK(wintext::narrow(config->lpBinaryPathName) == wintext::narrow(L"\"" + exe + L"\""));
    CHECK(config->dwStartType == SERVICE_DEMAND_START);
    CloseServiceHandle(service);
    unregister();
    DeleteFileW(exe.c_str());
    RemoveDirectoryW(folder.c_str());
}
