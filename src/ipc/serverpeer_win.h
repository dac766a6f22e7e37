#pragma once
// The Windows side of ipc/serverpeer.h, its calls replaceable by a test: wine runs every process
// as one ordinary user, so a server of LocalSystem's, or one whose token cannot be read, is only
// seen through calls a test makes up.

#include "ipc/serverpeer.h"

#include <windows.h>

#include <string>

namespace serverpeer {

struct Calls
{
    virtual ~Calls() = default;
    // GetNamedPipeServerProcessId; false with *error.
    virtual bool serverPid(HANDLE pipe, DWORD *pid, DWORD *error);
    // The SID string of the process's token user; empty, with *error, when it cannot be read.
    virtual std::string processUser(DWORD pid, DWORD *error);
    // The process of the running daemon service, as the service manager says; 0 when none runs
    // or it cannot be asked.
    virtual DWORD servicePid();
};

bool identify(HANDLE pipe, Calls &calls, Server *server, std::string *error);

// Opens the pipe of that name as a client that lets its server neither impersonate nor identify
// it, and identifies the server; false with *error when it cannot be opened or told.
bool identifyByName(const std::wstring &name, Server *server, std::string *error);

} // namespace serverpeer
