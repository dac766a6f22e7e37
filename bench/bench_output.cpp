// A child's output through the daemon, each figure beside its baseline from the same run:
//   (1) throughput: a child writing text lines (1 GiB by default), read through a plain pipe, by
//       QProcess, and as "stdout" events by a client of the real daemon; the daemon's CPU time
//       and peak resident memory;
//   (2) the heartbeat round trip of 50 clients while another client's child floods at full
//       speed, beside the same on the idle daemon;
//   (3) 200 children writing a line every 10 ms: the daemon's CPU while it relays them to one
//       client, beside QProcess reading the same children in this process. One session may
//       have no more than 64 processes, so this daemon is the daemon's code in a process of
//       this bench's, with that limit raised.
//   bench_output [MiB] [seconds of (2) and (3)] [children of (3)]
// BENCH_DAEMON names another build of the daemon to measure (see benchsupport.h).

#include "benchsupport.h"
#include "daemon/tarnddaemon.h"
#include "ipc/framing.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcess>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdio>
#include <csignal>
#include <sched.h>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int flood(long long bytes)
{
    std::string block;
    while (block.size() < 64 * 1024)
        block += "the quick brown fox jumps over the lazy dog 0123456789\n";
    while (bytes > 0) {
        const size_t n = size_t(std::min<long long>(bytes, (long long)block.size()));
        const char *p = block.data();
        size_t left = n;
        while (left > 0) {
            const ssize_t w = write(1, p, left);
            if (w <= 0)
                return 1;
            p += w;
            left -= size_t(w);
        }
        bytes -= (long long)n;
    }
    return 0;
}

// A line every periodMs, count lines in all.
int chatty(int periodMs, int count)
{
    for (int i = 0; i < count; ++i) {
        char line[80];
        const int n = std::snprintf(line, sizeof line, "line %06d of a chatty child, pid %d\n", i, int(getpid()));
        if (write(1, line, size_t(n)) != n)
            return 1;
        usleep(useconds_t(periodMs) * 1000);
    }
    return 0;
}

double mbps(long long bytes, qint64 ns)
{
    return double(bytes) / 1e6 / (double(ns) / 1e9);
}

double cpuOfSelf()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The flooding child of bytes, its stdout a pipe whose read end is *readEnd; -1 on failure. With
// a cpu set, the child runs on it alone.
pid_t startFlood(const QString &self, long long bytes, int *readEnd, const cpu_set_t *cpus = nullptr)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        if (cpus)
            sched_setaffinity(0, sizeof *cpus, cpus);
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        const QByteArray exe = self.toLocal8Bit(), n = QByteArray::number(bytes);
        execl(exe.constData(), exe.constData(), "--flood", n.constData(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    *readEnd = fds[0];
    return pid;
}

// On one core, the child and this reader take turns and never wake each other across cores,
// which on this VM costs more than the copying: what a pipe can do at best.
long long viaPipe(const QString &self, long long bytes, qint64 *ns, bool oneCore)
{
    cpu_set_t before, one;
    sched_getaffinity(0, sizeof before, &before);
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (oneCore)
        sched_setaffinity(0, sizeof one, &one);
    QElapsedTimer t;
    t.start();
    int fd = -1;
    const pid_t pid = startFlood(self, bytes, &fd, oneCore ? &one : nullptr);
    static char buf[256 * 1024];
    long long got = 0;
    ssize_t r;
    while (pid > 0 && (r = read(fd, buf, sizeof buf)) > 0)
        got += r;
    if (pid > 0) {
        close(fd);
        waitpid(pid, nullptr, 0);
    }
    *ns = t.nsecsElapsed();
    sched_setaffinity(0, sizeof before, &before);
    return pid > 0 ? got : -1;
}

long long viaQProcess(const QString &self, long long bytes, qint64 *ns)
{
    QProcess p;
    long long got = 0;
    QObject::connect(&p, &QProcess::readyReadStandardOutput, [&] { got += p.readAllStandardOutput().size(); });
    QElapsedTimer t;
    t.start();
    p.start(self, {"--flood", QString::number(bytes)});
    p.waitForStarted();
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    loop.exec();
    got += p.readAllStandardOutput().size();
    *ns = t.nsecsElapsed();
    return got;
}

// The bytes a JSON string stands for, from just after its opening quote; *end is set after its
// closing quote. Escapes of control characters stand for one byte; the flood writes no others.
long long jsonStringBytes(const char *p, const char *limit, const char **end)
{
    long long n = 0;
    while (p < limit) {
        const char *q = p;
        while (q < limit && *q != '"' && *q != '\\')
            ++q;
        n += q - p;
        if (q == limit || *q == '"') {
            *end = q + 1;
            return n;
        }
        p = q + (q[1] == 'u' ? 6 : 2);
        ++n;
    }
    *end = limit;
    return n;
}

// A client as quick as one can be: blocking reads into one buffer and frames parsed in place,
// the "data" of "stdout" events counted without being copied; heartbeats every 2 s.
class RawClient
{
public:
    ~RawClient()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool connectTo(const QString &path)
    {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = path.toLocal8Bit();
        std::strncpy(addr.sun_path, p.constData(), sizeof addr.sun_path - 1);
        m_sinceHeartbeat.start();
        return m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    bool send(const QJsonObject &message)
    {
        const QByteArray frame = framing::encode(message);
        return write(m_fd, frame.constData(), size_t(frame.size())) == frame.size();
    }
    // Until "finished" of the process (true) or the deadline; *stdoutBytes counts its output.
    bool readUntilFinished(qint64 deadlineMs, long long *stdoutBytes)
    {
        QElapsedTimer clock;
        clock.start();
        while (deadlineMs < 0 || clock.elapsed() < deadlineMs) {
            if (m_sinceHeartbeat.elapsed() > 2000) {
                send(QJsonObject{{"action", "heartbeat"}});
                m_sinceHeartbeat.restart();
            }
            while (m_to - m_from >= 4) {
                const char *at = m_buffer.data() + m_from;
                const size_t length = qFromBigEndian<quint32>(at);
                if (m_to - m_from < 4 + length)
                    break;
                const char *payload = at + 4, *end = payload + length;
                static const char Data[] = "{\"data\":\"";
                const char *rest = nullptr;
                if (length > sizeof Data && std::memcmp(payload, Data, sizeof Data - 1) == 0) {
                    // "data" comes first: what follows it says which event it is.
                    const long long n = jsonStringBytes(payload + sizeof Data - 1, end, &rest);
                    const std::string_view tail(rest, size_t(end - rest));
                    if (tail.find("\"event\":\"stdout\"") != std::string_view::npos) {
                        *stdoutBytes += n;
                    } else if (tail.find("\"event\":\"finished\"") != std::string_view::npos) {
                        m_from += 4 + length;
                        return true;
                    }
                } else {
                    const QJsonObject m = QJsonDocument::fromJson(QByteArray(payload, qsizetype(length))).object();
                    if (m.value("event").toString() == QLatin1String("finished"))
                        return true;
                }
                m_from += 4 + length;
            }
            if (m_from == m_to)
                m_from = m_to = 0;
            if (m_buffer.size() - m_to < 64 * 1024) {
                std::memmove(m_buffer.data(), m_buffer.data() + m_from, m_to - m_from);
                m_to -= m_from;
                m_from = 0;
            }
            const ssize_t r = read(m_fd, m_buffer.data() + m_to, m_buffer.size() - m_to);
            if (r <= 0)
                return false;
            m_to += size_t(r);
        }
        return false;
    }

private:
    int m_fd = -1;
    std::vector<char> m_buffer = std::vector<char>(8 * 1024 * 1024);
    size_t m_from = 0, m_to = 0;
    QElapsedTimer m_sinceHeartbeat;
};

QJsonObject floodStart(const QString &self, long long bytes)
{
    return QJsonObject{{"action", "start"}, {"process-id", "flood"}, {"executable", self},
                       {"arguments", QJsonArray{"--flood", QString::number(bytes)}}};
}

long long viaDaemon(const QString &self, const QString &socket, long long bytes, qint64 *ns)
{
    RawClient client;
    if (!client.connectTo(socket))
        return -1;
    long long got = 0;
    QElapsedTimer t;
    t.start();
    client.send(floodStart(self, bytes));
    client.readUntilFinished(-1, &got);
    *ns = t.nsecsElapsed();
    return got;
}

// (2), in a process of its own: a client of a child that floods without end, for so long.
// Says "flowing" once output comes, and its MB/s at the end.
int floodClient(const QString &self, const QString &socket, int ms)
{
    RawClient client;
    if (!client.connectTo(socket) || !client.send(floodStart(self, 1LL << 50)))
        return 1;
    long long got = 0;
    while (got == 0)
        client.readUntilFinished(10, &got);
    std::printf("flowing\n");
    std::fflush(stdout);
    QElapsedTimer t;
    t.start();
    got = 0;
    client.readUntilFinished(ms, &got);
    std::printf("%.0f\n", mbps(got, t.nsecsElapsed()));
    return 0;
}

// (2)'s baseline, in a process of its own: the same endless child read through a plain pipe
// for so long, so that what a flood costs this machine is seen without the daemon.
int floodPipe(const QString &self, int ms)
{
    int fd = -1;
    const pid_t pid = startFlood(self, 1LL << 50, &fd);
    static char buf[256 * 1024];
    if (pid < 0 || read(fd, buf, sizeof buf) <= 0)
        return 1;
    std::printf("flowing\n");
    std::fflush(stdout);
    QElapsedTimer t;
    t.start();
    long long got = 0;
    ssize_t r;
    while (t.elapsed() < ms && (r = read(fd, buf, sizeof buf)) > 0)
        got += r;
    const qint64 ns = t.nsecsElapsed();
    close(fd);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::printf("%.0f\n", mbps(got, ns));
    return 0;
}

// Rounds of 50 clients, 100 heartbeats each, for so long.
std::vector<double> heartbeatRounds(const QString &socket, int ms)
{
    std::vector<double> all;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        const auto some = bench::heartbeatRound(socket, 50, 100);
        if (some.empty())
            return {};
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

struct Chatter
{
    double cpuSeconds = 0; // of the reader, over the middle of the run
    double wallSeconds = 0;
    long long lines = 0;   // received in all
};

// (3) through the daemon: one client starts the children and counts their lines.
Chatter chattyViaDaemon(const QString &self, const QString &socket, qint64 daemonPid, int children, int seconds)
{
    Chatter result;
    QLocalSocket s;
    s.connectToServer(socket);
    if (!s.waitForConnected(5000))
        return result;
    framing::FrameReader reader;
    int finished = 0;
    QEventLoop loop;
    QObject::connect(&s, &QLocalSocket::readyRead, [&] {
        reader.append(s.readAll());
        QJsonObject m;
        while (reader.next(&m) == framing::FrameReader::Result::Message) {
            const QString event = m.value("event").toString();
            if (event == QLatin1String("stdout")) {
                result.lines += m.value("data").toString().count(QLatin1Char('\n'));
            } else if (event == QLatin1String("finished") || m.value("status") == QLatin1String("error")) {
                if (m.contains("error"))
                    std::fprintf(stderr, "%s\n", qPrintable(m.value("error").toString()));
                if (++finished == children)
                    loop.quit();
            }
        }
    });
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&s] { s.write(framing::encode(QJsonObject{{"action", "heartbeat"}})); });
    heartbeat.start(2000);
    const QString count = QString::number(seconds * 100);
    for (int i = 0; i < children; ++i)
        s.write(framing::encode(QJsonObject{{"action", "start"}, {"process-id", QString("chatty-%1").arg(i)},
                                            {"executable", self}, {"arguments", QJsonArray{"--chatty", "10", count}}}));
    // The middle of the run: all started, none ended.
    double cpuBefore = 0;
    QElapsedTimer window;
    QTimer::singleShot(2000, [&] {
        cpuBefore = bench::usageOf(daemonPid).cpuSeconds;
        window.start();
    });
    QTimer::singleShot((seconds - 1) * 1000, [&] {
        result.cpuSeconds = bench::usageOf(daemonPid).cpuSeconds - cpuBefore;
        result.wallSeconds = double(window.nsecsElapsed()) / 1e9;
    });
    loop.exec();
    return result;
}

// (3)'s baseline: the same children read by QProcess in this process.
Chatter chattyViaQProcess(const QString &self, int children, int seconds)
{
    Chatter result;
    std::vector<std::unique_ptr<QProcess>> pool;
    int finished = 0;
    QEventLoop loop;
    const QString count = QString::number(seconds * 100);
    for (int i = 0; i < children; ++i) {
        auto p = std::make_unique<QProcess>();
        QProcess *raw = p.get();
        QObject::connect(raw, &QProcess::readyReadStandardOutput,
                         [&, raw] { result.lines += raw->readAllStandardOutput().count('\n'); });
        QObject::connect(raw, &QProcess::finished, [&, raw] {
            result.lines += raw->readAllStandardOutput().count('\n');
            if (++finished == children)
                loop.quit();
        });
        raw->start(self, {"--chatty", "10", count});
        pool.push_back(std::move(p));
    }
    double cpuBefore = 0;
    QElapsedTimer window;
    QTimer::singleShot(2000, [&] {
        cpuBefore = cpuOfSelf();
        window.start();
    });
    QTimer::singleShot((seconds - 1) * 1000, [&] {
        result.cpuSeconds = cpuOfSelf() - cpuBefore;
        result.wallSeconds = double(window.nsecsElapsed()) / 1e9;
    });
    loop.exec();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::string(argv[1]) == "--flood")
        return flood(std::atoll(argv[2]));
    if (argc == 4 && std::string(argv[1]) == "--chatty")
        return chatty(std::atoi(argv[2]), std::atoi(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "--echo-server")
        return bench::runEchoServer(argc, argv, QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();
    if (argc == 3 && std::string(argv[1]) == "--flood-pipe")
        return floodPipe(self, std::atoi(argv[2]));
    if (argc == 4 && std::string(argv[1]) == "--flood-client")
        return floodClient(self, QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "--daemon-with-limit") {
        TarnDaemon daemon(nullptr, nullptr, TarnDaemon::Limits{std::atoi(argv[2]), {}});
        return daemon.start() ? QCoreApplication::exec() : 1;
    }
    const long long mb = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int seconds = std::max(5, argc > 2 ? std::atoi(argv[2]) : 10);
    const int children = argc > 3 ? std::atoi(argv[3]) : 200;
    const long long bytes = mb * 1024 * 1024;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    bench::Daemon daemon;
    if (!daemon.start())
        return 1;
    const long long idleKiB = bench::usageOf(daemon.pid()).peakKiB;

    // (1), three rounds with the readers alternated: a pipe read on this VM swings by half from
    // one run to the next (the writer and the reader waking each other across cores), and the
    // reader that always ran first took the machine's warm-up alone. Each figure is the median.
    constexpr int Rounds = 3;
    std::vector<qint64> pipeNs, oneCoreNs, qprocNs, daemonNs;
    double daemonCpu = 0;
    bench::Usage afterFlood;
    for (int round = 0; round < Rounds; ++round) {
        qint64 ns[4] = {0, 0, 0, 0};
        const long long a = viaPipe(self, bytes, &ns[0], false);
        const long long a1 = viaPipe(self, bytes, &ns[3], true);
        const long long b = viaQProcess(self, bytes, &ns[1]);
        const double cpuBefore = bench::usageOf(daemon.pid()).cpuSeconds;
        const long long c = viaDaemon(self, daemon.socket(), bytes, &ns[2]);
        afterFlood = bench::usageOf(daemon.pid());
        daemonCpu += afterFlood.cpuSeconds - cpuBefore;
        if (a != bytes || a1 != bytes || b != bytes || c != bytes) {
            std::fprintf(stderr, "short read: pipe %lld and %lld, QProcess %lld, daemon %lld of %lld\n", a, a1, b, c,
                         bytes);
            return 1;
        }
        pipeNs.push_back(ns[0]);
        oneCoreNs.push_back(ns[3]);
        qprocNs.push_back(ns[1]);
        daemonNs.push_back(ns[2]);
    }
    const auto rate = [bytes](std::vector<qint64> ns) {
        std::sort(ns.begin(), ns.end());
        return std::array<double, 3>{mbps(bytes, ns[ns.size() / 2]), mbps(bytes, ns.back()), mbps(bytes, ns.front())};
    };
    const auto pipeRate1 = rate(pipeNs), oneCoreRate = rate(oneCoreNs), qprocRate = rate(qprocNs), daemonRate = rate(daemonNs);
    std::printf("(1) child writing %lld MiB of text lines, %d rounds\n", mb, Rounds);
    std::printf("%-42s %10s %16s\n", "reader", "MB/s", "least - most");
    const auto line = [](const char *reader, const std::array<double, 3> &r) {
        std::printf("%-42s %10.0f %7.0f - %6.0f\n", reader, r[0], r[1], r[2]);
    };
    line("plain pipe (read, 256 KiB)", pipeRate1);
    line("plain pipe, child and reader on one core", oneCoreRate);
    line("QProcess", qprocRate);
    line("tarnd -> client \"stdout\" events", daemonRate);
    std::printf("tarnd / plain pipe: %.2f, on one core %.2f; tarnd / QProcess: %.2f (medians)\n",
                daemonRate[0] / pipeRate1[0], daemonRate[0] / oneCoreRate[0], daemonRate[0] / qprocRate[0]);
    qint64 daemonWall = 0;
    for (const qint64 ns : daemonNs)
        daemonWall += ns;
    std::printf("tarnd CPU time: %.2f s for %.2f s of wall time\n", daemonCpu, double(daemonWall) / 1e9);
    std::printf("tarnd peak RSS: %lld KiB (idle %lld KiB)\n", afterFlood.peakKiB, idleKiB);
    std::fflush(stdout);

    // (2), on the daemon and, as the baseline, on the echo server while the child floods into a
    // plain pipe: on a machine of few cores the flood's reader and writer take their share of
    // the CPU from every other process, whoever relays the flood.
    // Each set of rounds with the time the server's main thread, and the thread of the bench
    // that runs the 50 clients, spent ready to run but waiting for a CPU, per heartbeat: what
    // the flood costs each through the cores alone.
    struct Heartbeats
    {
        std::vector<double> trips;
        double waitMicros = 0;
        double clientsWaitMicros = 0;
    };
    const qint64 clientsPid = QCoreApplication::applicationPid();
    const auto measure = [&](const QString &socket, qint64 server) {
        const double before = bench::usageOf(server).mainWaitMicros;
        const double clientsBefore = bench::usageOf(clientsPid).mainWaitMicros;
        Heartbeats r{heartbeatRounds(socket, seconds * 1000)};
        if (!r.trips.empty()) {
            r.waitMicros = (bench::usageOf(server).mainWaitMicros - before) / double(r.trips.size());
            r.clientsWaitMicros = (bench::usageOf(clientsPid).mainWaitMicros - clientsBefore) / double(r.trips.size());
        }
        return r;
    };
    const auto underFlood = [&](const QString &socket, qint64 server, const QStringList &flood, Heartbeats *idle,
                                Heartbeats *during) {
        if (idle)
            *idle = measure(socket, server);
        QProcess flooder;
        flooder.start(self, flood);
        if (!flooder.waitForReadyRead(30000) || !flooder.readLine().startsWith("flowing"))
            return QByteArray();
        *during = measure(socket, server);
        flooder.waitForFinished(60000);
        return flooder.readAllStandardOutput().trimmed();
    };
    const QString floodMs = QString::number(seconds * 1000 + 2000);
    QTemporaryDir echoDir;
    QProcess echo;
    echo.start(self, {"--echo-server", echoDir.path() + "/echo"});
    if (!bench::waitForSocket(echoDir.path() + "/echo"))
        return 1;
    Heartbeats bareIdle, bareDuring, beside, idle, during;
    const QByteArray pipeRate =
        underFlood(echoDir.path() + "/echo", echo.processId(), {"--flood-pipe", floodMs}, &bareIdle, &bareDuring);
    // The flood through the daemon while the heartbeats go to the echo server: the share of the
    // machine the relay takes, apart from what it does to the daemon's own requests.
    const QByteArray besideRate = underFlood(echoDir.path() + "/echo", echo.processId(),
                                             {"--flood-client", daemon.socket(), floodMs}, nullptr, &beside);
    echo.kill();
    echo.waitForFinished(5000);
    const QByteArray floodRate =
        underFlood(daemon.socket(), daemon.pid(), {"--flood-client", daemon.socket(), floodMs}, &idle, &during);
    for (const Heartbeats *r : {&idle, &during, &bareIdle, &bareDuring, &beside})
        if (r->trips.empty())
            return 1;
    std::printf("\n(2) heartbeat round trip, rounds of 50 clients with 100 heartbeats each for %d s, microseconds\n",
                seconds);
    std::printf("%-44s | %-21s | %-9s | %s\n", "", "p50 / p99", "max", "wait for a CPU per heartbeat, server / clients");
    const auto row = [](const char *label, const Heartbeats &r) {
        std::printf("%-44s | %9.1f / %9.1f | %9.1f | %.1f / %.1f\n", label, bench::percentile(r.trips, 0.5),
                    bench::percentile(r.trips, 0.99), *std::max_element(r.trips.begin(), r.trips.end()), r.waitMicros,
                    r.clientsWaitMicros);
    };
    row("echo server", bareIdle);
    row("echo server, a child flooding a plain pipe", bareDuring);
    row("echo server, a child flooding through tarnd", beside);
    row("idle daemon", idle);
    row("while another client's child floods", during);
    const auto ratio = [](const char *what, const Heartbeats &during, const Heartbeats &idle, const char *flood,
                          const QByteArray &rate) {
        std::printf("%s / idle: p50 %.2f, p99 %.2f; %s: %s MB/s\n", what,
                    bench::percentile(during.trips, 0.5) / bench::percentile(idle.trips, 0.5),
                    bench::percentile(during.trips, 0.99) / bench::percentile(idle.trips, 0.99), flood, rate.constData());
    };
    ratio("flooding", during, idle, "the flood meanwhile", floodRate);
    ratio("echo server, flooding", bareDuring, bareIdle, "the pipe's flood meanwhile", pipeRate);
    ratio("echo server, flooding through tarnd", beside, bareIdle, "that flood", besideRate);
    std::fflush(stdout);

    daemon.stop();

    // (3)
    const Chatter direct = chattyViaQProcess(self, children, seconds);
    bench::Daemon roomy;
    if (!roomy.start(QString(), self, {"--daemon-with-limit", QString::number(children)}))
        return 1;
    const Chatter relayed = chattyViaDaemon(self, roomy.socket(), roomy.pid(), children, seconds);
    roomy.stop();
    const long long expected = (long long)children * seconds * 100;
    std::printf("\n(3) %d children writing a line every 10 ms for %d s; CPU over %d s of it, in cores\n", children,
                seconds, seconds - 3);
    std::printf("%-44s | %8s | %s\n", "reader", "cores", "lines");
    std::printf("%-44s | %8.3f | %lld of %lld\n", "QProcess, in the bench's own process",
                direct.cpuSeconds / direct.wallSeconds, direct.lines, expected);
    std::printf("%-44s | %8.3f | %lld of %lld\n", "tarnd, relaying to one client", relayed.cpuSeconds / relayed.wallSeconds,
                relayed.lines, expected);
    return direct.lines == expected && relayed.lines == expected ? 0 : 1;
}
