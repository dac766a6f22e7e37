// The Windows service runtime: its status reports and control handler through a seam that
// records what reaches the control manager, then the entry and a real service under wine's
// service manager (winservice.exe, the entry with a small run body).

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "process/childprocess.h"
#include "service/wintext_win.h"
#include "service/windowsservice_win.h"
#include "wintest.h"

#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

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
        if (dispatcherError) {
            *error = dispatcherError;
            return false;
        }
        CHECK(std::wstring(table[0].lpServiceName) == L"TarnService");
        CHECK(table[1].lpServiceName == nullptr);
        CHECK(!table[1].lpServiceProc);
        table[0].lpServiceProc(0, nullptr);
        return true;
    }
};

struct Fixture
{
    std::vector<SERVICE_STATUS> reports;
    Recorder *recorder;
    WindowsService *service;
    Fixture()
    {
        service = &WindowsService::init(L"TarnService", L"Tarn Proxy Client Service");
        auto r = std::make_unique<Recorder>(&reports);
        recorder = r.get();
        service->setManager(std::move(r));
    }
    ~Fixture() { WindowsService::release(); }
};

// state, accepted, exit code, checkpoint, wait hint
void checkReport(const SERVICE_STATUS &s, DWORD state, DWORD accepted, DWORD exitCode, DWORD checkpoint, DWORD hint)
{
    CHECK(s.dwServiceType == 0x10);
    CHECK(s.dwCurrentState == state);
    CHECK(s.dwControlsAccepted == accepted);
    CHECK(s.dwWin32ExitCode == exitCode);
    CHECK(s.dwServiceSpecificExitCode == 0);
    CHECK(s.dwCheckPoint == checkpoint);
    CHECK(s.dwWaitHint == hint);
}

struct Run
{
    int code = 0;
    std::string output; // standard output, then standard error, without the CR of each line end
};

Run run(const std::wstring &exe, std::vector<std::string> args)
{
    childprocess::LaunchError error;
    auto child = childprocess::Child::launch({wintext::narrow(exe), std::move(args), {}}, &error);
    REQUIRE_MESSAGE(child, error.step << " " << error.code);
    std::string out, err;
    while (child->readOutput(out, err, 65536, 60000)) {
    }
    Run r;
    REQUIRE(child->waitForExit(&r.code));
    for (const char c : out + err)
        if (c != '\r')
            r.output += c;
    return r;
}

bool waitForState(SC_HANDLE service, DWORD state)
{
    SERVICE_STATUS s{};
    for (int i = 0; i < 300; ++i) {
        if (QueryServiceStatus(service, &s) && s.dwCurrentState == state)
            return true;
        Sleep(100);
    }
    return false;
}

} // namespace

TEST_CASE("the status reports of a run and their checkpoints; a shutdown stops like a stop")
{
    const auto control = [](DWORD code) { return WindowsService::controlHandler(code, 0, nullptr, nullptr); };
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
    CHECK(!ran);
    CHECK(f.reports.empty());
    for (const DWORD error : {DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), DWORD(ERROR_ACCESS_DENIED)}) {
        f.recorder->dispatcherError = error;
        CHECK(f.service->runDispatcher([] {}, [] {}) == 1);
    }
}

TEST_CASE("the control handler's table")
{
    const auto control = [](DWORD code) { return WindowsService::controlHandler(code, 0, nullptr, nullptr); };
    {
        Fixture f;
        for (DWORD c : {DWORD(SERVICE_CONTROL_PAUSE), DWORD(SERVICE_CONTROL_CONTINUE), DWORD(SERVICE_CONTROL_PARAMCHANGE),
                        DWORD(127), DWORD(256)})
            CHECK(control(c) == ERROR_CALL_NOT_IMPLEMENTED);
        CHECK(control(128) == ERROR_CALL_NOT_IMPLEMENTED); // no callback yet
        std::vector<std::uint32_t> seen;
        f.service->setCustomControlHandler([&seen](std::uint32_t c) { seen.push_back(c); });
        CHECK(control(128) == NO_ERROR);
        CHECK(control(200) == NO_ERROR);
        CHECK(control(255) == NO_ERROR);
        CHECK(seen == std::vector<std::uint32_t>{128, 200, 255});
        f.service->setCustomControlHandler([](std::uint32_t) { throw std::runtime_error("callback"); });
        CHECK(control(128) == ERROR_EXCEPTION_IN_SERVICE);
        f.service->setCustomControlHandler({});
        CHECK(control(128) == ERROR_CALL_NOT_IMPLEMENTED);
        CHECK(f.reports.empty()); // no handle registered: nothing reaches the manager
    }
    // Without an instance.
    for (DWORD c : {DWORD(SERVICE_CONTROL_STOP), DWORD(SERVICE_CONTROL_SHUTDOWN), DWORD(128), DWORD(255)})
        CHECK(control(c) == ERROR_EXCEPTION_IN_SERVICE);
    CHECK(control(SERVICE_CONTROL_INTERROGATE) == NO_ERROR);
    CHECK(control(SERVICE_CONTROL_PAUSE) == ERROR_CALL_NOT_IMPLEMENTED);
}

TEST_CASE("one instance")
{
    CHECK_THROWS_WITH(WindowsService::instance(), "WindowsService not initialized");
    WindowsService &s = WindowsService::init(L"A", L"B");
    CHECK(&WindowsService::instance() == &s);
    CHECK_THROWS_WITH(WindowsService::init(L"A", L"B"), "WindowsService already initialized");
    WindowsService::release();
}

TEST_CASE("the entry and a real service under wine")
{
    // From a folder with a space in its name: the registered command must still name it.
    const std::wstring folder = wintest::ownFolder() + L"service dir " + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring exe = folder + L"\\winservice.exe";
    REQUIRE(CopyFileW((wintest::ownFolder() + L"winservice.exe").c_str(), exe.c_str(), FALSE));
    const std::wstring log = folder + L"\\winservice.log";
    DeleteFileW(log.c_str());

    const auto expect = [&](std::vector<std::string> args, int code, const std::string &text) {
        const Run r = run(exe, std::move(args));
        CHECK(r.code == code);
        CHECK_MESSAGE(r.output.find(text) != std::string::npos, r.output);
    };
    // From a console the dispatcher cannot connect.
    expect({}, 1,
           "ERROR: tarnd must be run as a Windows Service.\n"
           "To register the service, run: tarnd.exe --register\n"
           "Then start it via Services or: sc start TarnService\n");
    CHECK(run(exe, {"--REGISTER"}).code == 1); // nor is the capital spelling a registration
    expect({"--register", "--ignored"}, 0, "Service registered successfully");
    expect({"--register"}, 1, "Failed to register service: Service already exists\n");

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    REQUIRE(manager);
    SC_HANDLE service = OpenServiceW(manager, L"TarnService", SERVICE_ALL_ACCESS);
    REQUIRE(service);
    std::vector<BYTE> buf(8192);
    DWORD needed = 0;
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buf.data());
    REQUIRE(QueryServiceConfigW(service, config, DWORD(buf.size()), &needed));
    CHECK(wintext::narrow(config->lpBinaryPathName) == wintext::narrow(L"\"" + exe + L"\""));
    CHECK(config->dwStartType == SERVICE_DEMAND_START);
    CHECK(config->dwServiceType == SERVICE_WIN32_OWN_PROCESS);
    CHECK(config->dwErrorControl == SERVICE_ERROR_NORMAL);
    CHECK(wintext::narrow(config->lpDisplayName) == "Tarn Proxy Client Service");

    REQUIRE(StartServiceW(service, 0, nullptr));
    REQUIRE(waitForState(service, SERVICE_RUNNING));
    SERVICE_STATUS status{};
    CHECK(ControlService(service, 128, &status));
    CHECK(ControlService(service, SERVICE_CONTROL_STOP, &status));
    CHECK(waitForState(service, SERVICE_STOPPED));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    CHECK(wintest::slurp(log) == "running\ncontrol 128\nstop requested\nstopped\n");

    expect({"--unregister"}, 0, "Service unregistered successfully");
    // The deletion completes a little later.
    const auto gone = [&] {
        return run(exe, {"--unregister"}).output.find("Failed to open service") != std::string::npos;
    };
    for (int i = 0; i < 50 && !gone(); ++i)
        Sleep(100);
    expect({"--unregister"}, 1, "Failed to unregister service: Failed to open service\n");
}
