#pragma once

#include <string>

namespace winservicestart {

// Starts the named service with the caller's own rights; empty when it was started or runs
// already, else why not.
std::wstring startService(const wchar_t *serviceName);

} // namespace winservicestart
