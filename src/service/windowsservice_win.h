#pragma once
// The glue between the process and the Windows service control manager: the dispatcher, the
// service main function, the control handler, the status reports, and the registration
// (install, uninstall). One instance per process, made by init.
//
// Threads: runDispatcher runs on the process's first thread, and the control manager calls the
// control handler there (so requestStop and the custom-control callback run there); it runs
// serviceMain, and with it the run body and its running / stopped reports, on a thread of its
// own. The custom-control callback is set, withdrawn and called under one lock: once withdrawn,
// it is not running and will not run.
//
// Failures of init, instance, install and uninstall are std::runtime_error with the texts of
// the command line ("WindowsService already initialized", "Service already exists", ...).

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class WindowsService
{
public:
    // The calls made of the control manager while running; a test records them with its own.
    struct Manager
    {
        virtual ~Manager() = default;
        virtual SERVICE_STATUS_HANDLE registerHandler(const wchar_t *serviceName, LPHANDLER_FUNCTION_EX handler);
        virtual bool setStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status);
        // false with *error set when the dispatcher could not start
        virtual bool startDispatcher(const SERVICE_TABLE_ENTRYW *table, DWORD *error);
    };

    static WindowsService &init(const std::wstring &serviceName, const std::wstring &displayName);
    static WindowsService &instance();
    // Ends the instance before the process ends (tests only).
    static void release();
    void setManager(std::unique_ptr<Manager> manager);

    // Blocks in the dispatcher until the service has reported stopped; the exit code.
    int runDispatcher(std::function<void()> mainCallback, std::function<void()> stopCallback);
    static void WINAPI serviceMain(DWORD argc, LPWSTR *argv);
    static DWORD WINAPI controlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

    void requestStop();
    void reportRunning();
    // win32ExitCode 1: the daemon failed to start.
    void reportStopped(DWORD win32ExitCode = NO_ERROR);
    // An empty callback withdraws the one set.
    void setCustomControlHandler(std::function<void(std::uint32_t)> callback);

    void install();
    void uninstall();

    const std::wstring &serviceName() const { return m_serviceName; }
    // What the start request passed after the service's name (StartServiceW's arguments, as in
    // "sc start TarnService ARG..."); set before the main callback runs.
    const std::vector<std::wstring> &startArguments() const { return m_startArguments; }
    SERVICE_STATUS status() const;
    ~WindowsService();

private:
    WindowsService(const std::wstring &serviceName, const std::wstring &displayName, HANDLE stopEvent);
    void report(DWORD state, DWORD accepted, DWORD win32ExitCode, DWORD waitHint, bool pending);
    DWORD customControl(DWORD code);

    const std::wstring m_serviceName;
    const std::wstring m_displayName;
    mutable std::mutex m_statusLock;
    SERVICE_STATUS m_status{};
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
    HANDLE m_stopEvent;
    std::atomic<std::uint32_t> m_checkpointCounter{0};
    std::function<void()> m_mainCallback;
    std::function<void()> m_stopCallback;
    std::mutex m_customLock;
    std::function<void(std::uint32_t)> m_customControl;
    std::atomic<bool> m_stopping{false};
    std::unique_ptr<Manager> m_manager;
    std::vector<std::wstring> m_startArguments;
};

// The executable's entry (wmain), by its exact first argument: "--register", "--unregister",
// or else the service mode, in which runBody is the service's main function and stopCallback
// what a stop or shutdown control does. The exit code.
struct ServiceNames
{
    std::wstring serviceName = L"TarnService";
    std::wstring displayName = L"Tarn Proxy Client Service";
};
int runServiceEntry(int argc, wchar_t **argv, const std::function<void(WindowsService &)> &runBody,
                    const std::function<void()> &stopCallback, const ServiceNames &names = ServiceNames());
