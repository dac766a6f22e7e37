#pragma once

#include <string>
#include <vector>

namespace childprocess {

// The command line that CommandLineToArgvW and the C runtime split back into exactly the
// executable and the arguments given. Every element is wrapped in double quotes, so a plain
// argument stays as it is between them; backslashes are doubled only before a quote. The
// executable is taken up to the next quote by the runtime, without escapes, so quotes in it
// (which no Windows file name holds) are dropped.
std::wstring buildCommandLine(const std::string &executable, const std::vector<std::string> &arguments);

} // namespace childprocess
