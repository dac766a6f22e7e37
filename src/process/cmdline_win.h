#pragma once

#include <string>
#include <vector>

namespace childprocess {

// The command line that CommandLineToArgvW and the C runtime split back into exactly the
// executable and the arguments given. An argument is wrapped in double quotes only when it is
// empty or holds a blank, a tab or a quote; inside them backslashes are doubled only before a
// quote. The executable is always quoted: the runtime takes it up to the next quote, without
// escapes, so quotes in it (which no Windows file name holds) are dropped.
std::wstring buildCommandLine(const std::string &executable, const std::vector<std::string> &arguments);

} // namespace childprocess
