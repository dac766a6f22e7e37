// Round-trip latency of "heartbeat" against the real daemon, with 1, 50 and 200 concurrent
// clients, beside a bare local-socket echo server in its own process as the baseline; then for
// 50 clients while another client pipelines heartbeats and while the daemon waits for a TUN
// interface whose probes hang (a fake ip on its PATH), beside the idle daemon.
//   bench_heartbeat [requests-per-client]

#include "benchsupport.h"
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
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Another client, in a process of its own: heartbeats pipelined as fast as the daemon takes
// them, on `connections` connections, each with a thread that writes and one that reads and
// drops the answers. Runs until it is killed.
int pipeline(const char *path, int connections)
{
    std::string batch;
    for (int i = 0; i < 1000; ++i)
        batch += framing::encode(QJsonObject{{"action", "heartbeat"}}).toStdString();
    std::vector<std::thread> threads;
    for (int i = 0; i < connections; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return 1;
        threads.emplace_back([fd, &batch] {
            for (;;)
                for (std::size_t at = 0; at < batch.size();) {
                    const ssize_t n = ::write(fd, batch.data() + at, batch.size() - at);
                    if (n <= 0)
                        return;
                    at += std::size_t(n);
                }
        });
        threads.emplace_back([fd] {
            static thread_local char answers[1 << 16];
            while (::read(fd, answers, sizeof answers) > 0) {
            }
        });
    }
    std::printf("flowing\n");
    std::fflush(stdout);
    for (std::thread &t : threads)
        t.join();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && std::string(argv[1]) == "--pipeline")
        return pipeline(argv[2], std::atoi(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "--echo-server")
        return bench::runEchoServer(argc, argv, QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int perClient = args.size() > 1 ? args[1].toInt() : 400;

    QTemporaryDir dir;
    QDir(dir.path()).mkpath("tools");
    QFile ip(dir.path() + "/tools/ip");
    if (!ip.open(QIODevice::WriteOnly) || ip.write("#!/bin/sh\nexec sleep 30\n") < 0)
        return 1;
    ip.close();
    ip.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    bench::Daemon daemon;
    if (!daemon.start(dir.path() + "/tools"))
        return 1;
    QProcess echo;
    const QString echoPath = dir.path() + "/echo";
    echo.start(QCoreApplication::applicationFilePath(), {"--echo-server", echoPath});
    const QString daemonPath = daemon.socket();
    if (!bench::waitForSocket(echoPath)) {
        std::fprintf(stderr, "the echo server did not come up\n");
        return 1;
    }

    // The servers' CPU time per request tells their cost apart from the machine's load, which
    // the round trips also carry.
    const auto cpuPerRequest = [](qint64 pid, const std::function<std::vector<double>()> &round) {
        const double before = bench::usageOf(pid).cpuMicros;
        const std::vector<double> samples = round();
        return std::make_pair(samples, samples.empty() ? 0.0 : (bench::usageOf(pid).cpuMicros - before) / double(samples.size()));
    };
    // How the servers take turns: a lone client alternates request by request, many clients
    // round by round.
    constexpr int Alternations = 5;
    std::printf("heartbeat round trip, %d requests per client (1 client: %d to each server, alternated; more: in %d "
                "alternated rounds), microseconds\n",
                perClient, perClient * Alternations, Alternations);
    std::printf("%-8s | %-21s | %-21s | %-14s | %s\n", "clients", "echo server p50 / p99", "tarnd p50 / p99",
                "tarnd/echo p50", "CPU per request, echo / tarnd");
    for (int clients : {1, 50, 200}) {
        std::vector<double> base, real;
        double baseCpu = 0, realCpu = 0;
        if (clients == 1) {
            // Alternated request by request: see alternatingClient.
            const double echoBefore = bench::usageOf(echo.processId()).cpuMicros;
            const double daemonBefore = bench::usageOf(daemon.pid()).cpuMicros;
            std::tie(base, real) = bench::alternatingClient(echoPath, daemonPath, perClient * Alternations);
            if (!base.empty()) {
                baseCpu = (bench::usageOf(echo.processId()).cpuMicros - echoBefore) / double(base.size());
                realCpu = (bench::usageOf(daemon.pid()).cpuMicros - daemonBefore) / double(real.size());
            }
        } else {
            // Rounds alternated between the servers, so that neither gets the machine's quieter
            // moments only.
            for (int round = 0; round < Alternations; ++round) {
                const auto [b, bCpu] = cpuPerRequest(echo.processId(), [&] {
                    return bench::heartbeatRound(echoPath, clients, perClient / Alternations, false);
                });
                const auto [r, rCpu] = cpuPerRequest(daemon.pid(), [&] {
                    return bench::heartbeatRound(daemonPath, clients, perClient / Alternations);
                });
                if (b.empty() || r.empty())
                    return 1;
                base.insert(base.end(), b.begin(), b.end());
                real.insert(real.end(), r.begin(), r.end());
                baseCpu += bCpu / Alternations;
                realCpu += rCpu / Alternations;
            }
        }
        if (base.empty() || real.empty())
            return 1;
        std::printf("%-8d | %9.1f / %9.1f | %9.1f / %9.1f | %14.2f | %.1f / %.1f\n", clients, bench::percentile(base, 0.5),
                    bench::percentile(base, 0.99), bench::percentile(real, 0.5), bench::percentile(real, 0.99),
                    bench::percentile(real, 0.5) / bench::percentile(base, 0.5), baseCpu, realCpu);
    }

    // 9 s of rounds of 50 clients, idle and then while the daemon waits for an interface whose
    // probes hang. Each round's clients come and go alike in both, departures included.
    const int during = std::min(perClient, 100);
    const auto rounds = [&](const QString &path) {
        std::vector<double> all;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 9000) {
            const auto some = bench::heartbeatRound(path, 50, during, path == daemonPath);
            all.insert(all.end(), some.begin(), some.end());
            if (some.empty())
                return std::vector<double>();
        }
        return all;
    };
    // The 200 departures above cost the daemon a process scan each: let them pass first.
    bench::heartbeatRound(daemonPath, 1, 200);
    // The same rounds on the echo server: what this machine's scheduler and the bench's own
    // clients cost, departures and all, with no daemon in the way.
    const auto bare = rounds(echoPath);
    const auto idle = rounds(daemonPath);
    // One client pipelining on 4 connections: it has its share of the daemon's thread, and the
    // rounds' clients theirs.
    QProcess pipelining;
    pipelining.start(QCoreApplication::applicationFilePath(), {"--pipeline", daemonPath, "4"});
    if (!pipelining.waitForReadyRead(10000))
        return 1;
    const auto pipelined = rounds(daemonPath);
    pipelining.kill();
    pipelining.waitForFinished(5000);
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
    const auto waiting = rounds(daemonPath);
    if (bare.empty() || idle.empty() || pipelined.empty() || waiting.empty())
        return 1;
    std::printf("\n9 s of rounds of 50 clients, %d requests each, microseconds\n", during);
    std::printf("%-40s | %-21s | %s\n", "", "p50 / p99", "max");
    std::printf("%-40s | %9.1f / %9.1f | %.1f\n", "echo server", bench::percentile(bare, 0.5), bench::percentile(bare, 0.99), *std::max_element(bare.begin(), bare.end()));
    std::printf("%-40s | %9.1f / %9.1f | %.1f\n", "tarnd, idle", bench::percentile(idle, 0.5), bench::percentile(idle, 0.99), *std::max_element(idle.begin(), idle.end()));
    std::printf("%-40s | %9.1f / %9.1f | %.1f\n", "tarnd, another client pipelining on 4", bench::percentile(pipelined, 0.5),
                bench::percentile(pipelined, 0.99), *std::max_element(pipelined.begin(), pipelined.end()));
    std::printf("%-40s | %9.1f / %9.1f | %.1f\n", "tarnd, waiting for an interface (hung ip)",
                bench::percentile(waiting, 0.5), bench::percentile(waiting, 0.99), *std::max_element(waiting.begin(), waiting.end()));

    daemon.stop();
    echo.kill();
    echo.waitForFinished(5000);
    return 0;
}
