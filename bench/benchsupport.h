#pragma once
// What the benchmarks share: the real daemon in a private folder, the figures read from /proc,
// and the heartbeat round trip of many clients.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <utility>
#include <vector>

namespace bench {

// The daemon under test, with its sockets and data in a private folder. BENCH_DAEMON names
// another build of it (an earlier one, to compare); its standard error goes to daemon.log
// there, or to BENCH_DAEMON_LOG.
class Daemon
{
public:
    // pathFirst: a folder searched before the daemon's PATH (fake tools). program: what to run
    // instead of the daemon's binary (a bench's own build of it, say).
    bool start(const QString &pathFirst = QString(), const QString &program = QString(),
               const QStringList &arguments = {});
    // Milliseconds from SIGTERM to its exit.
    double stop();
    QString socket() const { return m_dir.path() + "/run/tarnd-1"; }
    QString path(const QString &relative) const { return m_dir.path() + "/" + relative; }
    qint64 pid() const { return m_process.processId(); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

bool waitForSocket(const QString &path);

// The baseline of a request: a local-socket server that echoes frames back as they come and
// does nothing else, with the daemon's own means: Qt's Unix event loop, and a reply written to
// the socket at once rather than on the next turn of the loop. Called before the process has a
// QCoreApplication; runs until the process is ended.
int runEchoServer(int argc, char *argv[], const QString &path);

struct Usage
{
    double cpuSeconds = 0; // all threads, those ended included; in ticks of 10 ms
    double cpuMicros = 0;  // the threads running now, to the nanosecond: for short spans
    double mainWaitMicros = 0; // the main thread's time ready to run and waiting for a CPU
    long long switches = 0; // voluntary context switches of all threads: how often it woke
    int threads = 0;
    int descriptors = 0;
    long long rssKiB = 0;
    long long peakKiB = 0;
};
Usage usageOf(qint64 pid);

// The p-quantile of the samples.
double percentile(std::vector<double> samples, double p);

// Clients connected at once, each keeping one "heartbeat" in flight until it has made its
// share; the round trips in µs. skipEvents: frames with an "event" (the daemon's "connected")
// are no answers. Empty if a client could not connect.
std::vector<double> heartbeatRound(const QString &socket, int clients, int perClient, bool skipEvents = true);

// One client alternating its heartbeats between two servers, one in flight at a time: the
// round trips to each, taken under the same conditions of the machine. A lone client's round
// trip depends on those more than on either server (whether a thread that went to sleep must be
// woken), and rounds taken one after the other catch different ones. Empty if a server could
// not be reached.
std::pair<std::vector<double>, std::vector<double>> alternatingClient(const QString &first, const QString &second,
                                                                  int perServer);

} // namespace bench
