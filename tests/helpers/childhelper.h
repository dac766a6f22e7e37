#pragma once
// What childhelper.cpp takes from childhelper_unix.cpp or childhelper_win.cpp.

#include <string>
#include <vector>

namespace child {

int run(const std::vector<std::string> &args); // the modes of both platforms; args[0] is the program
int platformMode(const std::vector<std::string> &args); // -1 when the mode is not the platform's own
void put(int stream, const std::string &text); // all of it to stdout (1) or stderr (2), or exit with 99
size_t readIn(char *buf, size_t n); // 0 at the end of stdin
void appendTo(const std::string &path, const std::string &text); // in one write, even beside others
std::vector<std::string> environment();
std::string argsNote(); // what follows the arguments "args" prints
[[noreturn]] void idle(); // on Windows for at most 30 s, then exit 0: nothing lingers in the wine prefix
void onInterrupt(void (*handler)()); // on each Ctrl+C (SIGINT)
long long startGrandchild(bool hold); // ignoring Ctrl+C and waiting; -1 on failure
long long ownPid();
bool holdTun(const std::string &name); // Linux: makes that TUN device and keeps it; Windows: nothing

} // namespace child
