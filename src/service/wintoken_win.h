#pragma once
// Tokens and SIDs of the Windows layer: who is at the other end of a pipe, as a token and as the
// SID string that identities are compared by.
// Threads: any. pipeClientToken impersonates on the calling thread for the length of the call
// only; the other calls only read.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace wintoken {

struct HandleCloser
{
    void operator()(void *h) const { CloseHandle(static_cast<HANDLE>(h)); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The pipe client's own token, taken by impersonating the client on the calling thread and opened
// with the caller's rights (so that an identification-level token can still be read). Null when
// the client gives no token: an anonymous client, a handle that is no pipe. The thread is back to
// its own identity on every path; when it cannot be, the process ends rather than go on as the
// client.
Handle pipeClientToken(HANDLE pipe, DWORD access);

// GetTokenInformation's answer; empty when the query failed.
std::vector<unsigned char> query(HANDLE token, TOKEN_INFORMATION_CLASS what);

// "S-1-5-21-..."; empty when the SID cannot be converted.
std::string sidString(PSID sid);

// The SID string of the token's user; empty when it cannot be read.
std::string userSid(HANDLE token);

} // namespace wintoken
