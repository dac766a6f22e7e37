// A child for the tests to supervise; its first argument says what it does.
//   out N / lastwords N  N bytes of a fixed pattern on stdout, then exit 0 / at once with 7
//   mixed N              N lines alternating between stdout and stderr
//   exit CODE            exit with CODE
//   split                a 3-byte character across two writes 400 ms apart, then a bad byte
//   cwd / env            print the working directory / each environment entry on a line
//   echo                 copy stdin to stdout until end of input
//   args ...             print each further argument on a line of its own, in brackets
//   grandchild           leave a grandchild holding stdout for 30 s, write "parent", exit 0
//   binary BYTES         BYTES control bytes (0x01), each of which a JSON text writes as six
//   noread               print "ready", never read stdin; wait for a signal
//   ignoreint            the same, ignoring SIGINT
//   closestdin           the same, stdin closed
//   trapint CODE [N]     print "ready"; on SIGINT print "interrupted" and N bytes of the pattern,
//                        then exit with CODE
//   family LEADER GC     fork a grandchild that ignores SIGINT and waits; GC "hold" keeps the
//                        pipes, "free" closes them. Print "<leader pid> <grandchild pid>", then
//                        the leader waits for a signal (LEADER "stay") or exits 0 ("leave")
//   crashafter MS CODE   wait MS milliseconds, then exit with CODE
//   unlinkself CODE      remove its own executable file, then exit with CODE

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

extern char **environ;

namespace {

void writeAll(int fd, const char *data, size_t n)
{
    for (ssize_t w; n > 0; data += w, n -= size_t(w))
        if ((w = write(fd, data, n)) <= 0)
            _exit(99);
}

void writeAll(int fd, const std::string &s)
{
    writeAll(fd, s.data(), s.size());
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}

[[noreturn]] void readyThenWait()
{
    writeAll(1, "ready\n");
    for (;;)
        pause();
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const long n = argc > 2 ? std::atol(argv[2]) : 0;
    if (mode == "out" || mode == "lastwords") {
        writeAll(1, pattern(size_t(n)));
        _exit(mode == "out" ? 0 : 7);
    }
    if (mode == "mixed") {
        for (long i = 0; i < n; ++i)
            writeAll(i % 2 ? 2 : 1, (i % 2 ? "err " : "out ") + std::to_string(i) + " " + pattern(size_t(i % 300)) + "\n");
        return 0;
    }
    if (mode == "exit")
        return int(n);
    if (mode == "split") {
        writeAll(1, "A\xE2");
        usleep(400 * 1000);
        writeAll(1, "\x82\xAC" "B\xFF");
        usleep(300 * 1000);
        return 0;
    }
    if (mode == "cwd") {
        char buf[4096];
        return getcwd(buf, sizeof buf) ? std::printf("%s\n", buf) < 0 : 1;
    }
    if (mode == "env") {
        for (char **e = environ; *e; ++e)
            writeAll(1, std::string(*e) + "\n");
        return 0;
    }
    if (mode == "echo") {
        char buf[65536];
        for (ssize_t r; (r = read(0, buf, sizeof buf)) > 0;)
            writeAll(1, buf, size_t(r));
        return 0;
    }
    if (mode == "args") {
        for (int i = 2; i < argc; ++i)
            std::printf("[%s]\n", argv[i]);
        return 0;
    }
    if (mode == "grandchild") {
        if (fork() == 0) {
            sleep(30);
            _exit(0);
        }
        writeAll(1, "parent");
        return 0;
    }
    if (mode == "binary") {
        const std::string block(64 * 1024, '\x01');
        for (long left = n; left > 0; left -= long(block.size()))
            writeAll(1, block.data(), size_t(std::min<long>(left, long(block.size()))));
        return 0;
    }
    if (mode == "noread")
        readyThenWait();
    if (mode == "ignoreint") {
        std::signal(SIGINT, SIG_IGN);
        readyThenWait();
    }
    if (mode == "closestdin") {
        close(0);
        readyThenWait();
    }
    if (mode == "trapint") {
        static int code = int(n);
        static std::string last = pattern(argc > 3 ? size_t(std::atol(argv[3])) : 0);
        std::signal(SIGINT, [](int) {
            writeAll(1, "interrupted\n" + last);
            _exit(code);
        });
        readyThenWait();
    }
    if (mode == "family") {
        const std::string leader = argc > 2 ? argv[2] : "", grandchild = argc > 3 ? argv[3] : "";
        int ready[2];
        if (pipe(ready) != 0)
            return 98;
        const pid_t gc = fork();
        if (gc == 0) {
            std::signal(SIGINT, SIG_IGN);
            if (grandchild == "free") {
                const int null = open("/dev/null", O_RDWR);
                for (int fd : {0, 1, 2})
                    dup2(null, fd);
            }
            close(ready[0]);
            close(ready[1]); // the leader speaks only once the grandchild is set up
            for (;;)
                pause();
        }
        close(ready[1]);
        char c;
        while (read(ready[0], &c, 1) > 0) {
        }
        writeAll(1, std::to_string(getpid()) + " " + std::to_string(gc) + "\n");
        if (leader == "leave")
            return 0;
        for (;;)
            pause();
    }
    if (mode == "crashafter") {
        usleep(useconds_t(n) * 1000);
        return argc > 3 ? std::atoi(argv[3]) : 1;
    }
    if (mode == "unlinkself") {
        unlink(argv[0]);
        return int(n);
    }
    std::fprintf(stderr, "unknown mode\n");
    return 2;
}
