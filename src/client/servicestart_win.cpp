#include "client/servicestart_win.h"

#include <windows.h>

namespace winservicestart {

std::wstring startService(const wchar_t *serviceName)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return L"cannot open the service control manager (error " + std::to_wstring(GetLastError()) + L")";
    SC_HANDLE service = OpenServiceW(manager, serviceName, SERVICE_START);
    if (!service) {
        const DWORD error = GetLastError();
        CloseServiceHandle(manager);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            return L"the service is not installed (tarnd.exe --register, as an administrator)";
        if (error == ERROR_ACCESS_DENIED)
            return L"this user may not start the service";
        return L"cannot open the service (error " + std::to_wstring(error) + L")";
    }
    const DWORD error = StartServiceW(service, 0, nullptr) ? ERROR_SUCCESS : GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (error == ERROR_SUCCESS || error == ERROR_SERVICE_ALREADY_RUNNING)
        return {};
    return L"the service did not start (error " + std::to_wstring(error) + L")";
}

} // namespace winservicestart
