// Throughput of a child's output: a child writing text lines (1 GiB by default), read
//   (a) directly through a pipe, (b) by QProcess, (c) by a client of the real daemon, which
// receives it as "stdout" events; plus the daemon's peak resident memory.
//   bench_output [megabytes]

#include "ipc/framing.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

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

double mbps(long long bytes, qint64 ns)
{
    return double(bytes) / 1e6 / (double(ns) / 1e9);
}

long long viaPipe(const QString &self, long long bytes, qint64 *ns)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    QElapsedTimer t;
    t.start();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        const QByteArray exe = self.toLocal8Bit(), n = QByteArray::number(bytes);
        execl(exe.constData(), exe.constData(), "--flood", n.constData(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    static char buf[256 * 1024];
    long long got = 0;
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof buf)) > 0)
        got += r;
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    *ns = t.nsecsElapsed();
    return got;
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

// Events hold only string values; a client that must keep up with them reads that shape
// directly (Qt's JSON reader manages about 100 MB/s, less than the daemon sends).
bool readStringObject(const QByteArray &json, QHash<QByteArray, QByteArray> *out)
{
    const char *p = json.constData(), *end = p + json.size();
    const auto readString = [&](QByteArray *into) {
        if (p == end || *p++ != '"')
            return false;
        const char *run = p;
        while (p != end && *p != '"') {
            if (*p != '\\') {
                ++p;
                continue;
            }
            into->append(run, p - run);
            if (end - p < 2)
                return false;
            const char c = p[1];
            p += 2;
            switch (c) {
            case 'n': into->append('\n'); break;
            case 't': into->append('\t'); break;
            case 'r': into->append('\r'); break;
            case 'b': into->append('\b'); break;
            case 'f': into->append('\f'); break;
            case 'u': {
                if (end - p < 4)
                    return false;
                into->append(QString(QChar(char16_t(QByteArray(p, 4).toUInt(nullptr, 16)))).toUtf8());
                p += 4;
                break;
            }
            default: into->append(c);
            }
            run = p;
        }
        into->append(run, p - run);
        return p != end && *p++ == '"';
    };
    if (p == end || *p++ != '{')
        return false;
    while (p != end && *p != '}') {
        QByteArray key, value;
        if (!readString(&key) || p == end || *p++ != ':' || !readString(&value))
            return false;
        out->insert(key, value);
        if (p != end && *p == ',')
            ++p;
    }
    return true;
}

long long viaDaemon(const QString &self, const QString &socket, long long bytes, qint64 *ns)
{
    QLocalSocket s;
    s.connectToServer(socket);
    if (!s.waitForConnected(5000))
        return -1;
    QByteArray buffer;
    long long got = 0;
    QEventLoop loop;
    QObject::connect(&s, &QLocalSocket::readyRead, [&] {
        buffer.append(s.readAll());
        qsizetype at = 0;
        while (buffer.size() - at >= 4) {
            const auto *b = reinterpret_cast<const uchar *>(buffer.constData() + at);
            const qsizetype n = (qsizetype(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
            if (buffer.size() - at - 4 < n)
                break;
            QHash<QByteArray, QByteArray> m;
            readStringObject(QByteArray::fromRawData(buffer.constData() + at + 4, n), &m);
            at += 4 + n;
            const QByteArray event = m.value("event");
            if (event == "stdout")
                got += m.value("data").size();
            else if (event == "finished")
                loop.quit();
        }
        buffer.remove(0, at);
    });
    QObject::connect(&s, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&s] { s.write(framing::encode(QJsonObject{{"action", "heartbeat"}})); });
    heartbeat.start(2000);
    QElapsedTimer t;
    t.start();
    s.write(framing::encode(QJsonObject{{"action", "start"}, {"process-id", "flood"}, {"executable", self},
                                        {"arguments", QJsonArray{"--flood", QString::number(bytes)}}}));
    loop.exec();
    *ns = t.nsecsElapsed();
    return got;
}

double cpuSeconds(qint64 pid)
{
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = f.readAll().split(')').last().trimmed().split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

long long peakKiB(qint64 pid)
{
    QFile f(QString("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::string(argv[1]) == "--flood")
        return flood(std::atoll(argv[2]));
    QCoreApplication app(argc, argv);
    const long long mb = argc > 1 ? std::atoll(argv[1]) : 1024;
    const long long bytes = mb * 1024 * 1024;
    const QString self = QCoreApplication::applicationFilePath();

    QTemporaryDir dir;
    QDir(dir.path()).mkpath("run");
    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("RUNTIME_DIRECTORY", dir.path() + "/run");
    env.insert("XDG_DATA_HOME", dir.path() + "/data");
    daemon.setProcessEnvironment(env);
    daemon.setStandardErrorFile(qEnvironmentVariable("BENCH_DAEMON_LOG", dir.path() + "/daemon.log"));
    // BENCH_DAEMON: another build of the daemon (an earlier one, to compare).
    daemon.start(qEnvironmentVariable("BENCH_DAEMON", QStringLiteral(TARND_BINARY)), QStringList());
    // BENCH_SOCKET: measure a daemon started by hand (under a profiler, say) instead.
    const QString socket = qEnvironmentVariable("BENCH_SOCKET", dir.path() + "/run/tarnd-1");
    for (int i = 0; i < 500 && !QFileInfo::exists(socket); ++i)
        QThread::msleep(10);
    const long long idleKiB = peakKiB(daemon.processId());

    qint64 pipeNs = 0, qprocNs = 0, daemonNs = 0;
    const long long a = viaPipe(self, bytes, &pipeNs);
    const long long b = viaQProcess(self, bytes, &qprocNs);
    const long long c = viaDaemon(self, socket, bytes, &daemonNs);
    const long long peak = peakKiB(daemon.processId());
    const double daemonCpu = cpuSeconds(daemon.processId());
    daemon.terminate();
    daemon.waitForFinished(15000);
    if (a != bytes || b != bytes || c != bytes) {
        std::fprintf(stderr, "short read: pipe %lld, QProcess %lld, daemon %lld of %lld\n", a, b, c, bytes);
        return 1;
    }
    std::printf("child writing %lld MiB of text lines\n", mb);
    std::printf("%-34s %10s\n", "reader", "MB/s");
    std::printf("%-34s %10.0f\n", "plain pipe (read, 256 KiB)", mbps(bytes, pipeNs));
    std::printf("%-34s %10.0f\n", "QProcess", mbps(bytes, qprocNs));
    std::printf("%-34s %10.0f\n", "tarnd -> client \"stdout\" events", mbps(bytes, daemonNs));
    std::printf("tarnd / QProcess: %.2f\n", double(qprocNs) / double(daemonNs));
    std::printf("tarnd CPU time: %.2f s for %.2f s of wall time\n", daemonCpu, double(daemonNs) / 1e9);
    std::printf("tarnd peak RSS: %lld KiB (idle %lld KiB)\n", peak, idleKiB);
    return 0;
}
