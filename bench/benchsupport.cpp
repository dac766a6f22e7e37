#include "benchsupport.h"
#include "ipc/framing.h"

#include <QDir>
#include <QElapsedTimer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace bench {

bool Daemon::start(const QString &pathFirst, const QString &program, const QStringList &arguments)
{
    QDir(m_dir.path()).mkpath("run");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("RUNTIME_DIRECTORY", m_dir.path() + "/run");
    env.insert("XDG_DATA_HOME", m_dir.path() + "/data");
    if (!pathFirst.isEmpty())
        env.insert("PATH", pathFirst + ":" + env.value("PATH"));
    m_process.setProcessEnvironment(env);
    m_process.setStandardErrorFile(qEnvironmentVariable("BENCH_DAEMON_LOG", m_dir.path() + "/daemon.log"));
    m_process.start(program.isEmpty() ? qEnvironmentVariable("BENCH_DAEMON", QStringLiteral(TARND_BINARY)) : program,
                    arguments);
    if (!waitForSocket(socket())) {
        std::fprintf(stderr, "the daemon did not come up\n");
        return false;
    }
    return true;
}

double Daemon::stop()
{
    QElapsedTimer t;
    t.start();
    ::kill(pid_t(m_process.processId()), SIGTERM);
    m_process.waitForFinished(60000);
    return double(t.nsecsElapsed()) / 1e6;
}

bool waitForSocket(const QString &path)
{
    for (int i = 0; i < 1000 && !QFileInfo::exists(path); ++i)
        QThread::msleep(10);
    return QFileInfo::exists(path);
}

namespace {

long long field(const QByteArray &status, const QByteArray &name)
{
    for (const QByteArray &line : status.split('\n'))
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed().split(' ').first().toLongLong();
    return 0;
}

QByteArray slurp(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

Usage usageOf(qint64 pid)
{
    Usage u;
    const QString proc = QString("/proc/%1").arg(pid);
    const QList<QByteArray> stat = slurp(proc + "/stat").split(')').last().trimmed().split(' ');
    u.cpuSeconds = (stat.value(11).toDouble() + stat.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
    const QByteArray status = slurp(proc + "/status");
    u.threads = int(field(status, "Threads:"));
    u.rssKiB = field(status, "VmRSS:");
    u.peakKiB = field(status, "VmHWM:");
    u.descriptors = int(QDir(proc + "/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
    for (const QString &task : QDir(proc + "/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        u.switches += field(slurp(proc + "/task/" + task + "/status"), "voluntary_ctxt_switches:");
        const QList<QByteArray> sched = slurp(proc + "/task/" + task + "/schedstat").split(' ');
        u.cpuMicros += sched.value(0).toDouble() / 1e3;
        if (task.toLongLong() == pid)
            u.mainWaitMicros = sched.value(1).toDouble() / 1e3;
    }
    return u;
}

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}

int runEchoServer(int argc, char *argv[], const QString &path)
{
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QLocalServer server;
    QLocalServer::removeServer(path);
    if (!server.listen(path))
        return 1;
    QObject::connect(&server, &QLocalServer::newConnection, [&server] {
        while (QLocalSocket *s = server.nextPendingConnection()) {
            QObject::connect(s, &QLocalSocket::readyRead, s, [s] {
                s->write(s->readAll());
                s->flush();
            });
            QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    return QCoreApplication::exec();
}

namespace {

struct RoundClient
{
    QLocalSocket socket;
    framing::FrameReader reader;
    QElapsedTimer sentAt;
    int left = 0;
};

} // namespace

std::vector<double> heartbeatRound(const QString &socket, int clients, int perClient, bool skipEvents)
{
    std::vector<std::unique_ptr<RoundClient>> pool;
    std::vector<double> samples;
    samples.reserve(size_t(clients) * size_t(perClient));
    const QByteArray request = framing::encode(QJsonObject{{"action", "heartbeat"}, {"request-id", 1}});
    int done = 0;
    QEventLoop loop;
    for (int i = 0; i < clients; ++i) {
        auto c = std::make_unique<RoundClient>();
        RoundClient *raw = c.get();
        raw->left = perClient;
        raw->socket.connectToServer(socket);
        if (!raw->socket.waitForConnected(5000)) {
            std::fprintf(stderr, "cannot connect to %s\n", qPrintable(socket));
            return {};
        }
        QObject::connect(&raw->socket, &QLocalSocket::readyRead, [&, raw] {
            raw->reader.append(raw->socket.readAll());
            QJsonObject message;
            while (raw->reader.next(&message) == framing::FrameReader::Result::Message) {
                if (skipEvents && message.contains("event"))
                    continue;
                samples.push_back(double(raw->sentAt.nsecsElapsed()) / 1000.0);
                if (--raw->left > 0) {
                    raw->sentAt.start();
                    raw->socket.write(request);
                } else if (++done == clients) {
                    loop.quit();
                }
            }
        });
        pool.push_back(std::move(c));
    }
    for (auto &c : pool) {
        c->sentAt.start();
        c->socket.write(request);
    }
    loop.exec();
    return samples;
}

std::pair<std::vector<double>, std::vector<double>> alternatingClient(const QString &first, const QString &second,
                                                                  int perServer)
{
    RoundClient clients[2];
    const QString paths[2] = {first, second};
    std::vector<double> samples[2];
    const QByteArray request = framing::encode(QJsonObject{{"action", "heartbeat"}, {"request-id", 1}});
    int left = 2 * perServer;
    QEventLoop loop;
    const auto send = [&](int to) {
        clients[to].sentAt.start();
        clients[to].socket.write(request);
    };
    for (int i : {0, 1}) {
        RoundClient &c = clients[i];
        c.socket.connectToServer(paths[i]);
        if (!c.socket.waitForConnected(5000)) {
            std::fprintf(stderr, "cannot connect to %s\n", qPrintable(paths[i]));
            return {};
        }
        QObject::connect(&c.socket, &QLocalSocket::readyRead, [&, i] {
            RoundClient &from = clients[i];
            from.reader.append(from.socket.readAll());
            QJsonObject message;
            while (from.reader.next(&message) == framing::FrameReader::Result::Message) {
                if (message.contains("event"))
                    continue;
                samples[i].push_back(double(from.sentAt.nsecsElapsed()) / 1000.0);
                if (--left == 0)
                    loop.quit();
                else
                    send(1 - i);
            }
        });
        // What a server says on its own at a connection (the daemon's "connected") is taken
        // now, not in the middle of a round trip to the other.
        c.socket.waitForReadyRead(200);
    }
    send(0);
    loop.exec();
    return {samples[0], samples[1]};
}

} // namespace bench
