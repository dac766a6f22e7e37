#include "service/privilege.h"

#include <windows.h>

namespace privilege {

int privilegeLevel()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    TOKEN_ELEVATION elevation{};
    DWORD returned = 0;
    const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &returned);
    CloseHandle(token);
    if (!ok)
        return 0;
    return elevation.TokenIsElevated ? 1 : 0;
}

} // namespace privilege
