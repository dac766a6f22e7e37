#pragma once
// The rules by which a Terminal Services session gets a socket, apart from the calls that
// enumerate them, so that they can be checked where the enumeration finds nothing.

#include "ipc/sessions.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sessions {

struct RawSession
{
    std::uint32_t id = 0;
    int state = 0;            // a WTS_CONNECTSTATE_CLASS value
    bool userKnown = false;   // the user-name query succeeded
    std::string user;
};

// Not session 0; active or connected only; with a user name that could be had and is not empty.
std::vector<SessionInfo> filterSessions(const std::vector<RawSession> &raw);

} // namespace sessions
