#include "process/cmdline_win.h"
#include "service/wintext_win.h"

namespace childprocess {

namespace {

// Without a blank, a tab or a quote an argument is one word as it stands: its backslashes are
// literal, since none comes before a quote. A program that reads its raw command line (cmd.exe
// /c above all) then gets what a person would have typed.
bool needsQuotes(const std::wstring &arg)
{
    return arg.empty() || arg.find_first_of(L" \t\"") != std::wstring::npos;
}

void appendArgument(std::wstring &out, const std::wstring &arg)
{
    if (!needsQuotes(arg)) {
        out += arg;
        return;
    }
    out.push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    // Before the closing quote every backslash is doubled, so none escapes it.
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
}

} // namespace

std::wstring buildCommandLine(const std::string &executable, const std::vector<std::string> &arguments)
{
    std::wstring exe = wintext::widen(executable);
    std::wstring line = L"\"";
    for (wchar_t c : exe)
        if (c != L'"')
            line.push_back(c);
    line.push_back(L'"');
    for (const std::string &a : arguments) {
        line.push_back(L' ');
        appendArgument(line, wintext::widen(a));
    }
    return line;
}

} // namespace childprocess
