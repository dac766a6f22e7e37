// Round-trip latency of "heartbeat" against the real daemon, with 1, 50 and 200 concurrent
// clients, beside a bare local-socket echo server in its own process as the baseline; then for
// 50 clients while the daemon waits for a TUN interface whose probes hang (a fake ip on its
// PATH), beside the idle daemon.
//   bench_heartbeat [requests-per-client]

#include "ipc/framing.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
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
    QDir(dir.path()).mkpath("tools");
    QFile ip(dir.path() + "/tools/ip");
    if (!ip.open(QIODevice::WriteOnly) || ip.write("#!/bin/sh\nexec sleep 30\n") < 0)
        return 1;
    ip.close();
    ip.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", dir.path() + "/tools:" + env.value("PATH"));
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

    // 9 s of rounds of 50 clients, idle and then while the daemon waits for an interface whose
    // probes hang. Each round's clients come and go alike in both, departures included.
    const int during = std::min(perClient, 100);
    const auto rounds = [&] {
        std::vector<double> all;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 9000) {
            const auto some = measure(daemonPath, 50, during, true);
            all.insert(all.end(), some.begin(), some.end());
            if (some.empty())
                return std::vector<double>();
        }
        std::sort(all.begin(), all.end());
        return all;
    };
    // The 200 departures above cost the daemon a process scan each: let them pass first.
    measure(daemonPath, 1, 200, true);
    const auto idle = rounds();
    // The owner of the waiting process stays connected; the wait lasts 10 s and a probe more.
    QLocalSocket owner;
    owner.connectToServer(daemonPath);
    if (!owner.waitForConnected(5000))
        return 1;
    owner.write(framing::encode(QJsonObject{
        {"action", "start"}, {"process-id", "tun"}, {"executable", "/bin/sleep"}, {"arguments", QJsonArray{"60"}},
        {"tun-dns-override", QJsonObject{{"address", "1.1.1.1"}, {"iface", "tarn-bench"}}}}));
    owner.waitForBytesWritten(5000);
    QThread::msleep(300); // the wait begins 100 ms after the start
    const auto waiting = rounds();
    if (idle.empty() || waiting.empty())
        return 1;
    std::printf("\n9 s of rounds of 50 clients, %d requests each, microseconds\n", during);
    std::printf("%-40s | %-21s | %s\n", "", "tarnd p50 / p99", "max");
    std::printf("%-40s | %9.1f / %9.1f | %.1f\n", "idle", percentile(idle, 0.5), percentile(idle, 0.99), idle.back());
    std::printf("%-40s | %9.1f / %9.1f | %.1f\n", "during a wait for an interface (hung ip)",
                percentile(waiting, 0.5), percentile(waiting, 0.99), waiting.back());

    daemon.terminate();
    echo.kill();
    daemon.waitForFinished(15000);
    echo.waitForFinished(5000);
    return 0;
}
