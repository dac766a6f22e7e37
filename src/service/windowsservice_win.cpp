#include "service/windowsservice_win.h"

#include <sddl.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

std::unique_ptr<WindowsService> g_instance;
std::mutex g_instanceLock;

constexpr DWORD AcceptStopAndShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

const wchar_t *const ServiceAccess =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWRPWPDTLOCRRC;;;AU)";

// The whole path of this program, however long: a path cut at the buffer's end would register
// another program.
std::wstring modulePath()
{
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
        if (n == 0)
            return {};
        if (n < buf.size() && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return std::wstring(buf.data(), n);
        if (buf.size() >= 32768)
            return {};
        buf.resize(buf.size() * 2);
    }
}

struct ServiceHandle
{
    SC_HANDLE h;
    explicit ServiceHandle(SC_HANDLE handle)
        : h(handle)
    {
    }
    ~ServiceHandle()
    {
        if (h)
            CloseServiceHandle(h);
    }
    ServiceHandle(const ServiceHandle &) = delete;
    ServiceHandle &operator=(const ServiceHandle &) = delete;
};

} // namespace

SERVICE_STATUS_HANDLE WindowsService::Manager::registerHandler(const wchar_t *serviceName,
                                                               LPHANDLER_FUNCTION_EX handler)
{
    return RegisterServiceCtrlHandlerExW(serviceName, handler, nullptr);
}

bool WindowsService::Manager::setStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status)
{
    SERVICE_STATUS copy = status;
    return SetServiceStatus(handle, &copy) != FALSE;
}

bool WindowsService::Manager::startDispatcher(const SERVICE_TABLE_ENTRYW *table, DWORD *error)
{
    if (StartServiceCtrlDispatcherW(table))
        return true;
    *error = GetLastError();
    return false;
}

WindowsService::WindowsService(const std::wstring &serviceName, const std::wstring &displayName, HANDLE stopEvent)
    : m_serviceName(serviceName)
    , m_displayName(displayName)
    , m_stopEvent(stopEvent)
    , m_manager(std::make_unique<Manager>())
{
}

WindowsService::~WindowsService()
{
    CloseHandle(m_stopEvent);
}

WindowsService &WindowsService::init(const std::wstring &serviceName, const std::wstring &displayName)
{
    std::lock_guard<std::mutex> lock(g_instanceLock);
    if (g_instance)
        throw std::runtime_error("WindowsService already initialized");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        throw std::runtime_error("Failed to create stop event");
    g_instance.reset(new WindowsService(serviceName, displayName, event));
    return *g_instance;
}

WindowsService &WindowsService::instance()
{
    std::lock_guard<std::mutex> lock(g_instanceLock);
    if (!g_instance)
        throw std::runtime_error("WindowsService not initialized");
    return *g_instance;
}

void WindowsService::release()
{
    std::lock_guard<std::mutex> lock(g_instanceLock);
    g_instance.reset();
}

void WindowsService::setManager(std::unique_ptr<Manager> manager)
{
    m_manager = std::move(manager);
}

SERVICE_STATUS WindowsService::status() const
{
    std::lock_guard<std::mutex> lock(m_statusLock);
    return m_status;
}

void WindowsService::report(DWORD state, DWORD accepted, DWORD win32ExitCode, DWORD waitHint, bool pending)
{
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_status.dwCurrentState = state;
    m_status.dwControlsAccepted = accepted;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwServiceSpecificExitCode = 0;
    m_status.dwWaitHint = waitHint;
    if (pending) {
        m_status.dwCheckPoint = ++m_checkpointCounter;
    } else {
        m_checkpointCounter = 0;
        m_status.dwCheckPoint = 0;
    }
    if (m_statusHandle)
        m_manager->setStatus(m_statusHandle, m_status);
}

int WindowsService::runDispatcher(std::function<void()> mainCallback, std::function<void()> stopCallback)
{
    m_mainCallback = std::move(mainCallback);
    m_stopCallback = std::move(stopCallback);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(m_serviceName.c_str()), &WindowsService::serviceMain},
                                    {nullptr, nullptr}};
    DWORD error = 0;
    if (m_manager->startDispatcher(table, &error))
        return 0;
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        std::fputs("ERROR: tarnd must be run as a Windows Service.\n", stderr);
        std::fputs("To register the service, run: tarnd.exe --register\n", stderr);
        std::fputs("Then start it via Services or: sc start TarnService\n", stderr);
    } else {
        std::fprintf(stderr, "Failed to start service dispatcher: error %lu\n", static_cast<unsigned long>(error));
    }
    return 1;
}

void WINAPI WindowsService::serviceMain(DWORD argc, LPWSTR *argv)
{
    WindowsService *self = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_instanceLock);
        self = g_instance.get();
    }
    if (!self)
        return;
    SERVICE_STATUS_HANDLE handle = self->m_manager->registerHandler(self->m_serviceName.c_str(), &controlHandler);
    if (!handle)
        return;
    {
        std::lock_guard<std::mutex> lock(self->m_statusLock);
        self->m_statusHandle = handle;
    }
    self->report(SERVICE_START_PENDING, 0, NO_ERROR, 3000, true);
    // The first one is the service's own name.
    self->m_startArguments.clear();
    for (DWORD i = 1; argv && i < argc; ++i)
        self->m_startArguments.emplace_back(argv[i]);
    try {
        if (self->m_mainCallback)
            self->m_mainCallback();
    } catch (...) {
        self->report(SERVICE_STOPPED, AcceptStopAndShutdown, 1, 0, false);
    }
}

DWORD WINAPI WindowsService::controlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    WindowsService *self = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_instanceLock);
        self = g_instance.get();
    }
    const bool custom = control >= 128 && control <= 255;
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN || custom) {
        if (!self)
            return ERROR_EXCEPTION_IN_SERVICE;
        try {
            if (custom)
                return self->customControl(control);
            self->requestStop();
            return NO_ERROR;
        } catch (...) {
            return ERROR_EXCEPTION_IN_SERVICE;
        }
    }
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR; // the last report stands
    return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WindowsService::customControl(DWORD code)
{
    std::lock_guard<std::mutex> lock(m_customLock);
    if (!m_customControl)
        return ERROR_CALL_NOT_IMPLEMENTED;
    m_customControl(code);
    return NO_ERROR;
}

void WindowsService::requestStop()
{
    if (m_stopping.exchange(true))
        return;
    report(SERVICE_STOP_PENDING, AcceptStopAndShutdown, NO_ERROR, 30000, true);
    if (m_stopCallback)
        m_stopCallback();
    SetEvent(m_stopEvent);
}

void WindowsService::reportRunning()
{
    report(SERVICE_RUNNING, AcceptStopAndShutdown, NO_ERROR, 0, false);
}

void WindowsService::reportStopped(DWORD win32ExitCode)
{
    report(SERVICE_STOPPED, AcceptStopAndShutdown, win32ExitCode, 0, false);
}

void WindowsService::setCustomControlHandler(std::function<void(std::uint32_t)> callback)
{
    std::lock_guard<std::mutex> lock(m_customLock);
    m_customControl = std::move(callback);
}

void WindowsService::install()
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager.h)
        throw std::runtime_error("Failed to open Service Control Manager");
    const std::wstring path = modulePath();
    if (path.empty())
        throw std::runtime_error("Failed to get module file name");
    // Quoted, so that a path with spaces is not read as a shorter program and its arguments.
    const std::wstring command = L"\"" + path + L"\"";
    ServiceHandle service(CreateServiceW(manager.h, m_serviceName.c_str(), m_displayName.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.h)
        throw std::runtime_error(GetLastError() == ERROR_SERVICE_EXISTS ? "Service already exists"
                                                                        : "Failed to create service");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(ServiceAccess, SDDL_REVISION_1, &descriptor, nullptr)) {
        SetServiceObjectSecurity(service.h, DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
    }
}

void WindowsService::uninstall()
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.h)
        throw std::runtime_error("Failed to open Service Control Manager");
    ServiceHandle service(OpenServiceW(manager.h, m_serviceName.c_str(), DELETE | SERVICE_STOP));
    if (!service.h)
        throw std::runtime_error("Failed to open service");
    SERVICE_STATUS ignored{};
    ControlService(service.h, SERVICE_CONTROL_STOP, &ignored);
    if (!DeleteService(service.h))
        throw std::runtime_error("Failed to delete service");
}

int runServiceEntry(int argc, wchar_t **argv, const std::function<void(WindowsService &)> &runBody,
                    const std::function<void()> &stopCallback, const ServiceNames &names)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"--register" || mode == L"--unregister") {
        const bool registering = mode == L"--register";
        try {
            WindowsService &service = WindowsService::init(names.serviceName, names.displayName);
            if (registering)
                service.install();
            else
                service.uninstall();
        } catch (const std::exception &e) {
            std::fprintf(stderr, registering ? "Failed to register service: %s\n" : "Failed to unregister service: %s\n",
                         e.what());
            return 1;
        }
        std::fputws(registering ? L"Service registered successfully\n" : L"Service unregistered successfully\n",
                    stdout);
        std::fflush(stdout);
        return 0;
    }
    WindowsService &service = WindowsService::init(names.serviceName, names.displayName);
    WindowsService *target = &service;
    return service.runDispatcher([target, &runBody] { runBody(*target); }, stopCallback);
}
