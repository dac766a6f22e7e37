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

struct Recorder : WindowsService::Manager
{
    std::vector<SERVICE_STATUS> *reports;
    bool registers = true;
    DWORD dispatcherError = 0;
    explicit Recorder(std::vector<SERVICE_STATUS> *r) : reports(r) {}
    SERVICE_STATUS_HANDLE registerHandler(const wchar_t *, LPHANDLER_FUNCTION_EX) override
    {
        return registers ? reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234) : nullptr;
    }
    bool setStatus(SERVICE_STATUS_HANDLE, const SERVICE_STATUS &s) override
    {
        reports->push_back(s);
        return true;
    }
    // The control manager's part: the service's main function, here on the calling thread.
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
    std::vector<SERVICE_STATUS> reports;
    Recorder *recorder = new Recorder(&reports);
    WindowsService *service = &WindowsService::init(L"TarnService", L"Tarn Proxy Client Service");
    Fixture() { service->setManager(std::unique_ptr<Recorder>(recorder)); }
    ~Fixture() { WindowsService::release(); }
};

// state, accepted, exit code, checkpoint, wait hint; the type and the service's own code are fixed.
void checkReport(const SERVICE_STATUS &s, DWORD state, DWORD accepted, DWORD exitCode, DWORD checkpoint, DWORD hint)
{
    CHECK(std::vector<DWORD>{s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                             s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint}
          == std::vector<DWORD>{0x10, state, accepted, exitCode, 0, checkpoint, hint});
}

DWORD control(DWORD code)
{
    return WindowsService::controlHandler(code, 0, nullptr, nullptr);
}

} // namespace

TEST_CASE("the status reports of a run and their checkpoints; a shutdown stops like a stop")
{
    for (const DWORD first : {DWORD(SERVICE_CONTROL_STOP), DWORD(SERVICE_CONTROL_SHUTDOWN)}) {
        CAPTURE(first);
        Fixture f;
        int stops = 0;
        const int code = f.service->runDispatcher(
            [&] {
                f.service->reportRunning();
                CHECK(control(first) == NO_ERROR);
                // More stops and a shutdown while stopping: answered, and nothing new.
                for (DWORD c : {DWORD(SERVICE_CONTROL_STOP), DWORD(SERVICE_CONTROL_SHUTDOWN),
                                DWORD(SERVICE_CONTROL_INTERROGATE)})
                    CHECK(control(c) == NO_ERROR);
                f.service->reportStopped();
            },
            [&] { ++stops; });
        CHECK(code == 0);
        CHECK(stops == 1);
        REQUIRE(f.reports.size() == 4);
        checkReport(f.reports[0], SERVICE_START_PENDING, 0, 0, 1, 3000);
        checkReport(f.reports[1], SERVICE_RUNNING, 5, 0, 0, 0);
        checkReport(f.reports[2], SERVICE_STOP_PENDING, 5, 0, 1, 30000);
        checkReport(f.reports[3], SERVICE_STOPPED, 5, 0, 0, 0);
    }
}

TEST_CASE("a run body that fails or reports a failed start ends stopped with code 1; no manager, no run")
{
    const std::function<void(WindowsService *)> failures[] = {
        [](WindowsService *) { throw std::runtime_error("run body"); },
        [](WindowsService *s) { s->reportStopped(1); },
    };
    for (const auto &body : failures) {
        Fixture f;
        f.service->runDispatcher([&] { body(f.service); }, [] {});
        REQUIRE(f.reports.size() == 2);
        checkReport(f.reports[0], SERVICE_START_PENDING, 0, 0, 1, 3000);
        checkReport(f.reports[1], SERVICE_STOPPED, 5, 1, 0, 0);
    }
    Fixture f;
    f.recorder->registers = false;
    bool ran = false;
    CHECK(f.service->runDispatcher([&] { ran = true; }, [] {}) == 0);
    CHECK((!ran && f.reports.empty()));
    f.recorder->dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    CHECK(f.service->runDispatcher([] {}, [] {}) == 1);
}

TEST_CASE("the control handler's table, with and without an instance; one instance")
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
        CHECK_THROWS_WITH(WindowsService::init(L"A", L"B"), "WindowsService already initialized");
    }
    CHECK_THROWS_WITH(WindowsService::instance(), "WindowsService not initialized");
    for (DWORD c : {DWORD(SERVICE_CONTROL_STOP), DWORD(128)})
        CHECK(control(c) == ERROR_EXCEPTION_IN_SERVICE);
    CHECK(control(SERVICE_CONTROL_INTERROGATE) == NO_ERROR);
}

// Registered from a folder with a space in its name: the command must quote it, or a program at
// the path's first word would run as LocalSystem. The registration outlives a run, so none is
// there before or after.
TEST_CASE("the entry: its message from a console, and a registration under wine")
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
    // Standard output, then standard error, without the CR of each line end.
    const auto run = [&](std::vector<std::string> args, int code, const std::string &text) {
        const wintest::Result r = wintest::finish(*wintest::start(std::move(args), exe));
        std::string output = r.out + r.err;
        output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
        CHECK(r.code == code);
        CHECK_MESSAGE(output.find(text) != std::string::npos, output);
        return output.find(text) != std::string::npos;
    };
    // From a console the dispatcher cannot connect.
    run({}, 1,
        "ERROR: tarnd must be run as a Windows Service.\n"
        "To register the service, run: tarnd.exe --register\n"
        "Then start it via Services or: sc start TarnService\n");
    run({"--REGISTER"}, 1, ""); // nor is the capital spelling a registration
    run({"--register", "--ignored"}, 0, "Service registered successfully");
    run({"--register"}, 1, "Failed to register service: Service already exists\n");

    SC_HANDLE service = registered();
    REQUIRE(service);
    std::vector<BYTE> buf(8192);
    DWORD needed = 0;
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buf.data());
    REQUIRE(QueryServiceConfigW(service, config, DWORD(buf.size()), &needed));
    CHECK(wintext::narrow(config->lpBinaryPathName) == wintext::narrow(L"\"" + exe + L"\""));
    CHECK(config->dwStartType == SERVICE_DEMAND_START);
    CHECK(wintext::narrow(config->lpDisplayName) == "Tarn Proxy Client Service");
    CloseServiceHandle(service);

    run({"--unregister"}, 0, "Service unregistered successfully");
    // The deletion completes a little later.
    for (SC_HANDLE left; (left = registered()); Sleep(100))
        CloseServiceHandle(left);
    run({"--unregister"}, 1, "Failed to unregister service: Failed to open service\n");
    unregister();
    DeleteFileW(exe.c_str());
    RemoveDirectoryW(folder.c_str());
}
