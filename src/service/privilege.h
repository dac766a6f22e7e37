#pragma once
// Whether the daemon's process runs with full privileges: 1 when elevated (an elevated token
// on Windows, effective user root on Linux), 0 otherwise and whenever that cannot be told.

namespace privilege {
int privilegeLevel();
}
