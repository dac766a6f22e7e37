#include "service/wintoken_win.h"
#include "service/wintext_win.h"

#include <sddl.h>

#include <cstdlib>

namespace wintoken {

Handle pipeClientToken(HANDLE pipe, DWORD access)
{
    HANDLE token = nullptr;
    if (ImpersonateNamedPipeClient(pipe) && !OpenThreadToken(GetCurrentThread(), access, TRUE, &token))
        token = nullptr; // anonymous clients end here (ERROR_CANT_OPEN_ANONYMOUS)
    // Reverted even when the impersonation failed: no daemon thread is meant to be anyone else
    // here, and one that stayed in a client's identity would serve everyone after with it.
    if (!RevertToSelf())
        std::abort();
    return Handle(token);
}

std::vector<unsigned char> query(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD length = 0;
    GetTokenInformation(token, what, nullptr, 0, &length);
    if (length == 0)
        return {};
    std::vector<unsigned char> buffer(length);
    if (!GetTokenInformation(token, what, buffer.data(), length, &length))
        return {};
    return buffer;
}

std::string sidString(PSID sid)
{
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text))
        return {};
    const std::string out = wintext::narrow(text);
    LocalFree(text);
    return out;
}

std::string userSid(HANDLE token)
{
    const std::vector<unsigned char> user = query(token, TokenUser);
    return user.empty() ? std::string() : sidString(reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid);
}

} // namespace wintoken
