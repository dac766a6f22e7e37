// The two programs of the example exchange in docs/protocol.md, made to behave alike on every
// platform (there is no /bin/sh on Windows, and a shell's stop is SIGINT's own):
//   print TEXT CODE  TEXT and a newline on stdout, then exit with CODE ("echo hello; exit 3")
//   wait             wait for an interrupt (SIGINT; Ctrl+C, which the C runtime turns into
//                    SIGINT) and exit 130 on it, as a shell's child ended by SIGINT shows
//                    ("exec sleep 60")

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

void onInterrupt(int)
{
    std::_Exit(130);
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef _WIN32
    // Bytes as written: the C runtime would make every newline a CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc == 4 && std::strcmp(argv[1], "print") == 0) {
        std::printf("%s\n", argv[2]);
        return std::atoi(argv[3]);
    }
    if (argc == 2 && std::strcmp(argv[1], "wait") == 0) {
        std::signal(SIGINT, onInterrupt);
        std::this_thread::sleep_for(std::chrono::seconds(60));
        return 0;
    }
    std::fputs("usage: docchild print TEXT CODE | wait\n", stderr);
    return 2;
}
