// Many idle children under one daemon: what each costs (threads, descriptors, memory), whether
// the daemon wakes for them, how long a start takes to be announced, and how long the daemon
// takes to stop them all; each beside its baseline from the same run.
//   bench_children [children] [idle-seconds]

#include "benchsupport.h"
#include "tarnclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <memory>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using bench::Usage;
using bench::percentile;
using bench::usageOf;

// CPU time and wake-ups of the daemon over a quiet period, the client's heartbeats included.
Usage quietPeriod(qint64 pid, int seconds)
{
    const Usage before = usageOf(pid);
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    Usage after = usageOf(pid);
    after.cpuSeconds -= before.cpuSeconds;
    after.switches -= before.switches;
    return after;
}

} // namespace

// The idle child: small, and ended by the Ctrl+C of a stop.
const QString IdleProgram = QStringLiteral("/bin/sleep");
const QStringList IdleArguments{QStringLiteral("100000")};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // One session may have no more than 64 processes.
    const int children = argc > 1 ? std::atoi(argv[1]) : 50;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    bench::Daemon empty;
    if (!empty.start())
        return 1;
    TarnClient idleClient;
    if (!idleClient.connectToDaemon(empty.socket()))
        return 1;
    const Usage idle = quietPeriod(empty.pid(), seconds);
    idleClient.disconnectFromDaemon();
    const double emptyStopMs = empty.stop();

    bench::Daemon full;
    if (!full.start())
        return 1;
    TarnClient client;
    client.setEventQueue(true);
    if (!client.connectToDaemon(full.socket()))
        return 1;
    const qint64 pid = full.pid();
    const Usage before = usageOf(pid);
    // Each start beside its baseline, the same program started by QProcess until it runs, one
    // after the other, so that both meet the machine in the same state. A start through the
    // daemon also takes a round trip to another process, whose threads have slept meanwhile: a
    // heartbeat sent at the same point, right after a QProcess start, is its own baseline.
    std::vector<double> daemonStart, plainStart, roundTrip;
    std::vector<std::unique_ptr<QProcess>> plain;
    const auto startPlain = [&plain]() -> double {
        auto p = std::make_unique<QProcess>();
        QElapsedTimer t;
        t.start();
        p->start(IdleProgram, IdleArguments);
        if (!p->waitForStarted(10000))
            return -1;
        const double us = double(t.nsecsElapsed()) / 1e3;
        plain.push_back(std::move(p));
        return us;
    };
    for (int i = 0; i < children; ++i) {
        if (startPlain() < 0)
            return 1;
        QElapsedTimer t;
        t.start();
        if (client.call(QJsonObject{{"action", "heartbeat"}}).value("status") != "success")
            return 1;
        roundTrip.push_back(double(t.nsecsElapsed()) / 1e3);
        plainStart.push_back(startPlain());
        if (plainStart.back() < 0)
            return 1;
        const QString id = QString("idle-%1").arg(i);
        t.start();
        client.send(QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", IdleProgram},
                                {"arguments", QJsonArray::fromStringList(IdleArguments)}});
        const QJsonObject started = client.waitForEvent(
            [&](const QJsonObject &e) { return e.value("process-id") == id && e.value("event") == "started"; });
        if (started.isEmpty()) {
            std::fprintf(stderr, "no \"started\" for %s\n", qPrintable(id));
            return 1;
        }
        daemonStart.push_back(double(t.nsecsElapsed()) / 1e3);
    }
    for (auto &p : plain) {
        p->kill();
        p->waitForFinished(5000);
    }
    const Usage busy = quietPeriod(pid, seconds);
    const double fullStopMs = full.stop();

    std::printf("%d idle children, %d s quiet periods\n\n", children, seconds);
    std::printf("%-40s | %14s | %14s\n", "", "no children", QString("%1 children").arg(children).toUtf8().constData());
    std::printf("%-40s | %14.2f | %14.2f\n", "daemon CPU time in the quiet period, s", idle.cpuSeconds, busy.cpuSeconds);
    std::printf("%-40s | %14lld | %14lld\n", "daemon wake-ups in the quiet period", idle.switches, busy.switches);
    std::printf("%-40s | %14d | %14d\n", "daemon threads", before.threads, busy.threads);
    std::printf("%-40s | %14d | %14d\n", "daemon descriptors", before.descriptors, busy.descriptors);
    std::printf("%-40s | %14lld | %14lld\n", "daemon RSS, KiB", before.rssKiB, busy.rssKiB);
    std::printf("%-40s | %14.1f | %14.1f\n", "stop of the daemon (SIGTERM to exit), ms", emptyStopMs, fullStopMs);
    std::printf("\nper child: %.2f threads, %.2f descriptors, %.0f KiB\n",
                double(busy.threads - before.threads) / children,
                double(busy.descriptors - before.descriptors) / children,
                double(busy.rssKiB - before.rssKiB) / children);
    std::printf("\n%-40s | %14s | %14s\n", "start, microseconds", "p50", "p99");
    std::printf("%-40s | %14.0f | %14.0f\n", "QProcess start until running", percentile(plainStart, 0.5),
                percentile(plainStart, 0.99));
    std::printf("%-40s | %14.0f | %14.0f\n", "tarnd \"start\" until \"started\"", percentile(daemonStart, 0.5),
                percentile(daemonStart, 0.99));
    std::printf("%-40s | %14.0f | %14.0f\n", "heartbeat round trip at the same point", percentile(roundTrip, 0.5),
                percentile(roundTrip, 0.99));
    return 0;
}
