// A child for the tests to supervise, on Linux and Windows; its first argument says what it does.
//   out N / err N / lastwords N  N bytes of a fixed pattern on stdout / stderr / stdout, then
//                        exit 0 / 0 / at once with 7
//   mixed N              N lines alternating between stdout and stderr
//   exit CODE            exit with CODE (decimal or 0x hex; Linux keeps its low byte)
//   split                a 3-byte character across two writes, the second once a byte of stdin
//                        came, then a bad byte
//   cwd / env            print the working directory / each environment entry on a line
//   echo                 copy stdin to stdout until end of input
//   args ...             print each further argument (UTF-8) on a line of its own, in brackets;
//                        on Windows then "same" or "differs": whether CommandLineToArgvW agrees
//   binary BYTES [CODE]  BYTES control bytes (0x01), each of which a JSON text writes as six;
//                        then exit with CODE (0)
//   flood MIB            MIB mebibytes of the pattern on stdout, in writes of 64 KiB
//   noread               print "ready", never read stdin; wait (on Windows at most 30 s)
//   ignoreint            the same, printing "ctrl-c" for each Ctrl+C (SIGINT), which it ignores
//   trapint CODE [N]     print "ready"; on Ctrl+C (SIGINT) print "interrupted" and N bytes of
//                        the pattern, then exit with CODE
//   family GC MODE ...   start a grandchild that ignores Ctrl+C and waits, GC "hold" keeping the
//                        pipes (Linux only), "free" not; print "<own pid> <grandchild pid>",
//                        then go on as MODE ...
//   closestdin           as noread, stdin closed
//   tun NAME             make the TUN device NAME and hold it (Linux; on Windows nothing), then
//                        as noread
//   crashafter MS CODE   wait MS milliseconds, then exit with CODE
//   moveself CODE        move its own executable file aside (to NAME.gone: Windows lets a running
//                        program be renamed, not removed), then exit with CODE
//   say OUT ERR CODE     write OUT to stdout and ERR to stderr, then exit with CODE
//   sumafter FILE N      once FILE exists, read N bytes of stdin (fewer if it ends) and print
//                        "<bytes read> <their 64-bit FNV-1a, hex>"
// Copied under another name while TOOL_LOG is set, it is a fake tool instead (fakeTool below).
// Windows only (childhelper_win.cpp):
//   noconsole / lateconsole CODE  leave its console, print "ready"; lateconsole takes a new one
//                        300 ms later and on Ctrl+C exits with CODE
//   handles H            try SetEvent on the handle value H, print "foreign refused" or "foreign
//                        set"; "stderr ok" on stderr; read 3 bytes of stdin and print them

#include "childhelper.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace child {
namespace {

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}

// Built before the handler is armed: it runs in a signal handler on Linux.
std::string g_lastWords;
int g_interruptCode;

std::string unescaped(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        out += text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n' ? (++i, '\n') : text[i];
    return out;
}

// A fake tool NAME (its file name, less any extension): appends "NAME\x1fARG1\x1fARG2..." as a
// line to $TOOL_LOG, then acts out the first rule of $TOOL_ACT_NAME (one per line) that applies:
//   MATCH|AFTER|OUT|ERR|CODE|SLEEP
// applies when one argument contains MATCH (empty: any) and AFTER milliseconds have passed since
// the tool first ran in this folder; then OUT goes to stdout and ERR to stderr ("\n" a line end,
// "{last}" the last argument), the tool sleeps SLEEP milliseconds and exits with CODE. No rule
// that applies: exit 0.
int fakeTool(const std::string &log, const std::string &name, const std::vector<std::string> &args)
{
    std::string line = name;
    for (size_t i = 1; i < args.size(); ++i)
        line += "\x1f" + args[i];
    appendTo(log, line + "\n");
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    long long first = now;
    const std::string firstFile = log + "." + name + ".first";
    if (std::FILE *f = std::fopen(firstFile.c_str(), "r")) {
        if (std::fscanf(f, "%lld", &first) != 1)
            first = now;
        std::fclose(f);
    } else if (std::FILE *w = std::fopen(firstFile.c_str(), "w")) {
        std::fprintf(w, "%lld", now);
        std::fclose(w);
    }
    const char *rules = std::getenv(("TOOL_ACT_" + name).c_str());
    std::string rest = rules ? rules : "";
    while (!rest.empty()) {
        const std::string rule = rest.substr(0, rest.find('\n'));
        rest.erase(0, std::min(rest.size(), rule.size() + 1));
        std::vector<std::string> f;
        for (size_t from = 0;; ) {
            const size_t bar = rule.find('|', from);
            f.push_back(rule.substr(from, bar == std::string::npos ? bar : bar - from));
            if (bar == std::string::npos)
                break;
            from = bar + 1;
        }
        f.resize(6);
        const bool matches = f[0].empty() || std::any_of(args.begin() + 1, args.end(), [&](const std::string &a) {
            return a.find(f[0]) != std::string::npos;
        });
        if (!matches || now - first < std::atoll(f[1].c_str()))
            continue;
        for (std::string *text : {&f[2], &f[3]}) {
            *text = unescaped(*text);
            for (size_t at; args.size() > 1 && (at = text->find("{last}")) != std::string::npos;)
                text->replace(at, 6, args.back());
        }
        put(1, f[2]);
        put(2, f[3]);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(f[5].c_str())));
        return std::atoi(f[4].c_str());
    }
    return 0;
}

} // namespace

int run(const std::vector<std::string> &args)
{
    const std::string file = args.empty() ? "" : args[0].substr(args[0].find_last_of("/\\") + 1);
    const std::string name = file.substr(0, file.find('.'));
    if (const char *log = std::getenv("TOOL_LOG"); log && !name.empty() && name != "childhelper")
        return fakeTool(log, name, args);

    const std::string mode = args.size() > 1 ? args[1] : "";
    const auto number = [&](size_t i) { return args.size() > i ? std::strtoul(args[i].c_str(), nullptr, 0) : 0UL; };
    unsigned long n = number(2);
    if (mode == "out" || mode == "err" || mode == "lastwords" || mode == "binary") {
        put(mode == "err" ? 2 : 1, mode == "binary" ? std::string(n, '\x01') : pattern(n));
        return mode == "lastwords" ? 7 : int(number(3));
    }
    if (mode == "mixed") {
        for (unsigned long i = 0; i < n; ++i)
            put(i % 2 ? 2 : 1, (i % 2 ? "err " : "out ") + std::to_string(i) + " " + pattern(i % 300) + "\n");
        return 0;
    }
    if (mode == "exit")
        return int(n);
    if (mode == "split") {
        put(1, "A\xE2");
        char go;
        readIn(&go, 1);
        put(1, "\x82\xAC" "B\xFF");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return 0;
    }
    if (mode == "cwd" || mode == "env") {
        for (const std::string &line : mode == "env" ? environment() : std::vector{std::filesystem::current_path().u8string()})
            put(1, line + "\n");
        return 0;
    }
    if (mode == "echo") {
        char buf[65536];
        for (size_t r; (r = readIn(buf, sizeof buf)) > 0;)
            put(1, std::string(buf, r));
        return 0;
    }
    if (mode == "args") {
        std::string text;
        for (size_t i = 2; i < args.size(); ++i)
            text += "[" + args[i] + "]\n";
        put(1, text + argsNote());
        return 0;
    }
    if (mode == "flood") {
        const std::string piece = pattern(64 * 1024);
        for (n *= 16; n > 0; --n)
            put(1, piece);
        return 0;
    }
    if (mode == "noread" || mode == "ignoreint" || mode == "trapint" || mode == "closestdin") {
        g_interruptCode = int(n);
        g_lastWords = "interrupted\n" + pattern(number(3));
        if (mode == "ignoreint")
            onInterrupt([] { put(1, "ctrl-c\n"); });
        if (mode == "trapint")
            onInterrupt([] {
                put(1, g_lastWords);
                std::_Exit(g_interruptCode);
            });
        if (mode == "closestdin")
            std::fclose(stdin);
        put(1, "ready\n");
        idle();
    }
    if (mode == "tun" && args.size() > 2) {
        if (!holdTun(args[2])) {
            put(2, "no TUN device " + args[2] + "\n");
            return 97;
        }
        put(1, "ready\n");
        idle();
    }
    if (mode == "family" && args.size() > 3) {
        const long long grandchild = startGrandchild(args[2] == "hold");
        if (grandchild < 0)
            return 98;
        put(1, std::to_string(ownPid()) + " " + std::to_string(grandchild) + "\n");
        std::vector<std::string> rest{args[0]};
        rest.insert(rest.end(), args.begin() + 3, args.end());
        return run(rest);
    }
    if (mode == "crashafter") {
        std::this_thread::sleep_for(std::chrono::milliseconds(n));
        return args.size() > 3 ? int(number(3)) : 1;
    }
    if (mode == "moveself") {
        std::error_code ignored;
        std::filesystem::rename(std::filesystem::u8path(args[0]), std::filesystem::u8path(args[0] + ".gone"), ignored);
        return int(n);
    }
    if (mode == "say" && args.size() > 4) {
        put(1, args[2]);
        put(2, args[3]);
        return int(number(4));
    }
    if (mode == "sumafter" && args.size() > 3) {
        for (std::error_code e; !std::filesystem::exists(std::filesystem::u8path(args[2]), e);)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        unsigned long long hash = 14695981039346656037ULL, count = 0;
        char buf[65536];
        for (size_t r; count < number(3) && (r = readIn(buf, std::min<size_t>(sizeof buf, number(3) - count))) > 0;) {
            for (size_t i = 0; i < r; ++i)
                hash = (hash ^ (unsigned char)buf[i]) * 1099511628211ULL;
            count += r;
        }
        char line[64];
        std::snprintf(line, sizeof line, "%llu %016llx\n", count, hash);
        put(1, line);
        return 0;
    }
    const int code = mode.empty() ? -1 : platformMode(args);
    if (code >= 0)
        return code;
    put(2, "unknown mode\n");
    return 2;
}

} // namespace child
