#pragma once
// The processes descended from given ones, for the Windows tests' check that nothing they started
// is left running. An orphan keeps naming its dead parent's number as its parent.

#include <cstdint>
#include <string>
#include <vector>

namespace descendants {

struct Process
{
    std::uint32_t pid = 0;
    std::string name; // the executable's file name, UTF-8
};

// The running processes whose chain of parents reaches one of roots (which may have ended);
// neither roots nor wine's own desktop and services are listed.
std::vector<Process> of(const std::vector<std::uint32_t> &roots);

} // namespace descendants
