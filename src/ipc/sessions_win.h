#pragma once
// The rules by which a Terminal Services session gets a socket, and the SID lookups behind a
// session's principal and a peer's name, apart from the calls that enumerate sessions, so that
// they can be checked where the enumeration finds nothing.

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
    std::string principal;    // the user's SID string; empty when it could not be had
};

// Not session 0; active or connected only; with a user name that could be had and is not empty,
// and the SID of that user: a session nobody can be compared with gets no socket.
std::vector<SessionInfo> filterSessions(const std::vector<RawSession> &raw);

// The SID string of the user account "domain\user"; empty when the name is unknown, not a
// user's (a group, an alias) or not qualified by a domain. May ask a domain controller: only for the session list, where the
// session's own token could not be had.
std::string accountSid(const std::string &domain, const std::string &user);

// The name for log lines of a SID string: the account name for the machine's own accounts and
// LocalSystem, LocalService, NetworkService; the SID string itself for any other (a domain or
// cloud account), so that naming a peer never waits on the network.
std::string accountName(const std::string &sid);

} // namespace sessions
