// A child for the tests to supervise; its first argument says what it does.
//   out N                N bytes of a fixed pattern on stdout, then exit 0
//   mixed N              N lines alternating between stdout and stderr
//   exit CODE            exit with CODE
//   lastwords N          N bytes on stdout, then exit at once with 7
//   split                a 3-byte character across two writes 400 ms apart, then a bad byte
//   cwd                  print the working directory
//   echo                 copy stdin to stdout until end of input
//   noread               never read stdin; wait for a signal
//   args ...             print each further argument on a line of its own, in brackets
//   grandchild           leave a grandchild holding stdout for 30 s, write "parent", exit 0
//   binary BYTES         BYTES control bytes (0x01), each of which a JSON text writes as six
//   trapint CODE [N]     print "ready"; on SIGINT print "interrupted" and N bytes of the pattern,
//                        then exit with CODE
//   ignoreint            ignore SIGINT, print "ready", wait for another signal
//   closestdin           close stdin, print "ready", wait for a signal
//   family LEADER GC     fork a grandchild that ignores SIGINT and waits; GC "hold" keeps the
//                        pipes, "free" closes them. Print "<leader pid> <grandchild pid>", then
//                        the leader waits for a signal (LEADER "stay") or exits 0 ("leave")
//   crashafter MS CODE   wait MS milliseconds, then exit with CODE
//   unlinkself CODE      remove its own executable file, then exit with CODE
//   env                  print each environment entry on a line of its own

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern char **environ;

namespace {

void writeAll(int fd, const char *data, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w <= 0)
            _exit(99);
        data += w;
        n -= size_t(w);
    }
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const long n = argc > 2 ? std::atol(argv[2]) : 0;
    if (mode == "out") {
        const std::string p = pattern(size_t(n));
        writeAll(1, p.data(), p.size());
        return 0;
    }
    if (mode == "mixed") {
        for (long i = 0; i < n; ++i) {
            const std::string line = (i % 2 ? "err " : "out ") + std::to_string(i) + " " + pattern(size_t(i % 300)) + "\n";
            writeAll(i % 2 ? 2 : 1, line.data(), line.size());
        }
        return 0;
    }
    if (mode == "exit")
        return int(n);
    if (mode == "lastwords") {
        const std::string p = pattern(size_t(n));
        writeAll(1, p.data(), p.size());
        _exit(7);
    }
    if (mode == "split") {
        const char euro[] = "\xE2\x82\xAC";
        writeAll(1, "A", 1);
        writeAll(1, euro, 1);
        usleep(400 * 1000);
        writeAll(1, euro + 1, 2);
        writeAll(1, "B\xFF", 2);
        usleep(300 * 1000);
        return 0;
    }
    if (mode == "cwd") {
        char buf[4096];
        if (!getcwd(buf, sizeof buf))
            return 1;
        std::printf("%s\n", buf);
        return 0;
    }
    if (mode == "echo") {
        char buf[65536];
        ssize_t r;
        while ((r = read(0, buf, sizeof buf)) > 0)
            writeAll(1, buf, size_t(r));
        return 0;
    }
    if (mode == "noread") {
        writeAll(1, "ready\n", 6);
        for (;;)
            pause();
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
        writeAll(1, "parent", 6);
        return 0;
    }
    if (mode == "binary") {
        const std::string block(64 * 1024, '\x01');
        for (long left = n; left > 0;) {
            const size_t now = size_t(std::min<long>(left, long(block.size())));
            writeAll(1, block.data(), now);
            left -= long(now);
        }
        return 0;
    }
    if (mode == "trapint") {
        static int code;
        static std::string last;
        code = int(n);
        last = pattern(argc > 3 ? size_t(std::atol(argv[3])) : 0);
        std::signal(SIGINT, [](int) {
            writeAll(1, "interrupted\n", 12);
            writeAll(1, last.data(), last.size());
            _exit(code);
        });
        writeAll(1, "ready\n", 6);
        for (;;)
            pause();
    }
    if (mode == "ignoreint" || mode == "closestdin") {
        if (mode == "ignoreint")
            std::signal(SIGINT, SIG_IGN);
        else
            close(0);
        writeAll(1, "ready\n", 6);
        for (;;)
            pause();
    }
    if (mode == "family") {
        const std::string leader = argc > 2 ? argv[2] : "";
        const std::string grandchild = argc > 3 ? argv[3] : "";
        int ready[2];
        if (pipe(ready) != 0)
            return 98;
        const pid_t gc = fork();
        if (gc == 0) {
            std::signal(SIGINT, SIG_IGN);
            if (grandchild == "free") {
                const int null = open("/dev/null", O_RDWR);
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
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
        const std::string line = std::to_string(getpid()) + " " + std::to_string(gc) + "\n";
        writeAll(1, line.data(), line.size());
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
    if (mode == "env") {
        for (char **e = environ; *e; ++e) {
            writeAll(1, *e, std::strlen(*e));
            writeAll(1, "\n", 1);
        }
        return 0;
    }
    std::fprintf(stderr, "unknown mode\n");
    return 2;
}
