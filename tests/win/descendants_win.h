#pragma once
// The processes descended from some given ones, for the Windows tests' check that nothing they
// started is left running (plain Win32, no Qt). Windows gives an orphan no new parent, so a
// child outlives its daemon still naming the daemon's number as its parent.

#include <cstdint>
#include <string>
#include <vector>

namespace descendants {

struct Process
{
    std::uint32_t pid = 0;
    std::string name; // the executable's file name, UTF-8
};

// The running processes whose chain of parents reaches one of roots (which themselves may have
// ended), through the processes running now; roots themselves, and wine's own desktop and
// services, are not listed.
std::vector<Process> of(const std::vector<std::uint32_t> &roots);

} // namespace descendants
