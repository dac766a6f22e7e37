// Round-trip latency of "heartbeat" against the real daemon, with 1, 50 and 200 concurrent
// clients, beside a bare local-socket echo server in its own process as the baseline.
//   bench_heartbeat [requests-per-client]

#include "ipc/framing.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// The baseline: frames echoed back as they come, nothing else.
int runEchoServer(const QString &path)
{
    QLocalServer server;
    QLocalServer::removeServer(path);
    if (!server.listen(path))
        return 1;
    QObject::connect(&server, &QLocalServer::newConnection, [&server] {
        while (QLocalSocket *s = server.nextPendingConnection()) {
            QObject::connect(s, &QLocalSocket::readyRead, s, [s] { s->write(s->readAll()); });
            QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    return QCoreApplication::exec();
}

struct BenchClient
{
    QLocalSocket socket;
    framing::FrameReader reader;
    QElapsedTimer sentAt;
    int left = 0;
    bool skipConnected = false;
};

// Every client keeps one request in flight until it has made its share; latencies in µs.
std::vector<double> measure(const QString &path, int clients, int perClient, bool daemon)
{
    std::vector<std::unique_ptr<BenchClient>> pool;
    std::vector<double> samples;
    samples.reserve(size_t(clients) * size_t(perClient));
    const QByteArray request = framing::encode(QJsonObject{{"action", "heartbeat"}, {"request-id", 1}});
    int done = 0;
    QEventLoop loop;
    for (int i = 0; i < clients; ++i) {
        auto c = std::make_unique<BenchClient>();
        BenchClient *raw = c.get();
        raw->left = perClient;
        raw->skipConnected = daemon;
        raw->socket.connectToServer(path);
        if (!raw->socket.waitForConnected(5000)) {
            std::fprintf(stderr, "cannot connect to %s\n", qPrintable(path));
            return {};
        }
        QObject::connect(&raw->socket, &QLocalSocket::readyRead, [&, raw] {
            raw->reader.append(raw->socket.readAll());
            QJsonObject message;
            while (raw->reader.next(&message) == framing::FrameReader::Result::Message) {
                if (message.contains("event"))
                    continue; // the daemon's "connected"
                samples.push_back(raw->sentAt.nsecsElapsed() / 1000.0);
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
    std::sort(samples.begin(), samples.end());
    return samples;
}

double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

bool waitForSocket(const QString &path)
{
    for (int i = 0; i < 500 && !QFileInfo::exists(path); ++i)
        QThread::msleep(10);
    return QFileInfo::exists(path);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--echo-server"))
        return runEchoServer(args[2]);
    const int perClient = args.size() > 1 ? args[1].toInt() : 400;

    QTemporaryDir dir;
    QDir(dir.path()).mkpath("run");
    QProcess daemon, echo;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("RUNTIME_DIRECTORY", dir.path() + "/run");
    env.insert("XDG_DATA_HOME", dir.path() + "/data");
    daemon.setProcessEnvironment(env);
    daemon.setStandardErrorFile(dir.path() + "/daemon.log");
    daemon.start(QStringLiteral(TARND_BINARY), QStringList());
    const QString echoPath = dir.path() + "/echo";
    echo.start(QCoreApplication::applicationFilePath(), {"--echo-server", echoPath});
    const QString daemonPath = dir.path() + "/run/tarnd-1";
    if (!waitForSocket(daemonPath) || !waitForSocket(echoPath)) {
        std::fprintf(stderr, "servers did not come up\n");
        return 1;
    }

    std::printf("heartbeat round trip, %d requests per client, microseconds\n", perClient);
    std::printf("%-8s | %-21s | %-21s | %s\n", "clients", "echo server p50 / p99", "tarnd p50 / p99", "tarnd/echo p50");
    for (int clients : {1, 50, 200}) {
        const auto base = measure(echoPath, clients, perClient, false);
        const auto real = measure(daemonPath, clients, perClient, true);
        if (base.empty() || real.empty())
            return 1;
        std::printf("%-8d | %9.1f / %9.1f | %9.1f / %9.1f | %.2f\n", clients, percentile(base, 0.5),
                    percentile(base, 0.99), percentile(real, 0.5), percentile(real, 0.99),
                    percentile(real, 0.5) / percentile(base, 0.5));
    }
    daemon.terminate();
    echo.kill();
    daemon.waitForFinished(15000);
    echo.waitForFinished(5000);
    return 0;
}
