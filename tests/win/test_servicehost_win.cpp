// The Windows service runtime: its status reports and control handler through a seam that
// records what reaches the control manager, then the entry and a real service under wine's
// service manager (winservice.exe, the entry with a small run body).

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "service/wintext_win.h"
#include "service/windowsservice_win.h"
#include "wintest.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Recorder : WindowsService::Manager
{
    std::vector<SERVICE_STATUS> *reports;
    bool registers = true;
    DWORD dispatcherError = 0;
    explicit Recorder(std::vector<SERVICE_STATUS> *r)
        : reports(r)
    {
    }
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

std::string message(const std::function<void()> &f)
{
    try {
        f();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return {};
}

struct Run
{
    DWORD code = 0;
    std::string output; // standard output and standard error, as written
};

// A program's exit code and what it wrote.
Run run(const std::wstring &exe, const std::wstring &args)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + exe + L"\" " + args;
    Run r;
    const BOOL started =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        r.code = 0xFFFFFFFF;
        return r;
    }
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0)
        for (DWORD i = 0; i < n; ++i)
            if (buf[i] != '\r') // text mode writes "\r\n"
                r.output += buf[i];
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, 60000);
    GetExitCodeProcess(pi.hProcess, &r.code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
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

TEST_CASE("the status reports of a run and their checkpoints")
{
    Fixture f;
    int stops = 0;
    const int code = f.service->runDispatcher(
        [&] {
            f.service->reportRunning();
            CHECK(WindowsService::controlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr) == NO_ERROR);
            // A second stop, and a shutdown, while stopping: answered, and nothing new.
            CHECK(WindowsService::controlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr) == NO_ERROR);
            CHECK(WindowsService::controlHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr) == NO_ERROR);
            CHECK(WindowsService::controlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr) == NO_ERROR);
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

TEST_CASE("a shutdown stops like a stop; a failing run body ends stopped with code 1")
{
    {
        Fixture f;
        int stops = 0;
        f.service->runDispatcher(
            [&] {
                f.service->reportRunning();
                CHECK(WindowsService::controlHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr) == NO_ERROR);
                f.service->reportStopped();
            },
            [&] { ++stops; });
        CHECK(stops == 1);
        REQUIRE(f.reports.size() == 4);
        checkReport(f.reports[2], SERVICE_STOP_PENDING, 5, 0, 1, 30000);
    }
    {
        Fixture f;
        f.service->runDispatcher([] { throw std::runtime_error("run body"); }, [] {});
        REQUIRE(f.reports.size() == 2);
        checkReport(f.reports[0], SERVICE_START_PENDING, 0, 0, 1, 3000);
        checkReport(f.reports[1], SERVICE_STOPPED, 5, 1, 0, 0);
    }
    {
        // The daemon failed to start: the run body reports it so.
        Fixture f;
        f.service->runDispatcher([&] { f.service->reportStopped(1); }, [] {});
        REQUIRE(f.reports.size() == 2);
        checkReport(f.reports[1], SERVICE_STOPPED, 5, 1, 0, 0);
    }
    {
        Fixture f;
        f.recorder->registers = false;
        bool ran = false;
        CHECK(f.service->runDispatcher([&] { ran = true; }, [] {}) == 0);
        CHECK(!ran);
        CHECK(f.reports.empty());
    }
    {
        Fixture f;
        f.recorder->dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        CHECK(f.service->runDispatcher([] {}, [] {}) == 1);
        f.recorder->dispatcherError = ERROR_ACCESS_DENIED;
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
    CHECK(message([] { WindowsService::instance(); }) == "WindowsService not initialized");
    WindowsService &s = WindowsService::init(L"A", L"B");
    CHECK(&WindowsService::instance() == &s);
    CHECK(message([] { WindowsService::init(L"A", L"B"); }) == "WindowsService already initialized");
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

    // From a console the dispatcher cannot connect.
    Run r = run(exe, L"");
    CHECK(r.code == 1);
    CHECK(r.output.find("ERROR: tarnd must be run as a Windows Service.\n"
                     "To register the service, run: tarnd.exe --register\n"
                     "Then start it via Services or: sc start TarnService\n") != std::string::npos);
    // Nor is the capital spelling a registration.
    CHECK(run(exe, L"--REGISTER").code == 1);

    r = run(exe, L"--register --ignored");
    CHECK(r.code == 0);
    CHECK(r.output.find("Service registered successfully") != std::string::npos);
    r = run(exe, L"--register");
    CHECK(r.code == 1);
    CHECK(r.output.find("Failed to register service: Service already exists\n") != std::string::npos);

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

    r = run(exe, L"--unregister");
    CHECK(r.code == 0);
    CHECK(r.output.find("Service unregistered successfully") != std::string::npos);
    // The deletion completes a little later.
    for (int i = 0; i < 50; ++i) {
        r = run(exe, L"--unregister");
        if (r.output.find("Failed to open service") != std::string::npos)
            break;
        Sleep(100);
    }
    CHECK(r.code == 1);
    CHECK(r.output.find("Failed to unregister service: Failed to open service\n") != std::string::npos);
}
