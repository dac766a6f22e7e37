// The real tarnd binary and what only Linux has: the descriptors or threads running out, the readers'
// priority, the signals, the readiness told to systemd, and Qt's choice of event loop, made through
// the environment.

#include "tarnclient.h"
#include "testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QtTest>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::Daemon;

class TestDaemonUnix : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanupTestCase()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void servesAgainOnceDescriptorsAreFree()
    {
        // Out of descriptors the server stops listening and the daemon goes on: a client that
        // leaves then is swept as ever; once descriptors are free, it serves again.
        Daemon d;
        d.setDescriptorLimit(64);
        QVERIFY(d.start({"QT_LOGGING_RULES=tarnd.debug=true"}));
        const auto greeted = [&d] {
            TarnClient c;
            return c.connectToDaemon(d.socketPath(), 5000);
        };
        // A client served and gone before descriptors are out, for what is made once: UBSan's
        // cache of type checks, and the thread that the departures' sweeps reuse.
        QVERIFY(greeted());
        QVERIFY(d.waitForLog("No stale processes found"));
        TarnClient first;
        QVERIFY(first.connectToDaemon(d.socketPath(), 5000));
        std::vector<std::unique_ptr<QLocalSocket>> held;
        const QDeadlineTimer deadline(60000);
        while (held.size() < 200 && d.running() && !deadline.hasExpired() && !d.log().contains("stopped listening")) {
            auto s = std::make_unique<QLocalSocket>();
            s->connectToServer(d.socketPath());
            if (s->waitForConnected(200))
                held.push_back(std::move(s));
            else
                QTest::qWait(50);
        }
        QVERIFY2(d.log().contains("stopped listening") && held.size() < 200, qPrintable(d.log().right(2000)));
        const qsizetype sweeps = d.log().count("Checking for stale processes");
        first.disconnectFromDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(d.log().count("Checking for stale processes") > sweeps || !d.running(), 10000);
        held.clear();
        // A connection may land in the backlog of the given-up socket: only a greeting counts.
        QTRY_VERIFY2_WITH_TIMEOUT(greeted() || !d.running(), qPrintable(d.log().right(1500)), 60000);
        QVERIFY2(d.running(), qPrintable(d.log().right(1500)));
    }

    // Readiness and the stop told to systemd, the installer's SIGUSR1, and the children's
    // environment.
    void signalsNotifyAndTheChildrensEnvironment()
    {
        // A datagram socket standing in for systemd's.
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        QTemporaryDir dir;
        const QByteArray path = (dir.path() + "/notify").toLocal8Bit();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
        QCOMPARE(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        const auto receive = [fd]() -> QByteArray {
            pollfd p{fd, POLLIN, 0};
            char buf[256];
            const ssize_t n = poll(&p, 1, 15000) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
            return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
        };

        Daemon d;
        // What systemd means for the daemon alone; the daemon reads none but NOTIFY_SOCKET.
        const QStringList systemd{"INVOCATION_ID", "LISTEN_FDS", "LISTEN_PID", "WATCHDOG_USEC", "JOURNAL_STREAM"};
        QStringList env{"NOTIFY_SOCKET=" + QString::fromLocal8Bit(path)};
        for (const QString &v : systemd)
            env << v + "=9";
        QVERIFY(d.start(env));
        QCOMPARE(receive(), QByteArray("READY=1"));

        // The daemon chooses its event loop through its environment, which is not the children's,
        // nor is what systemd meant for the daemon: a child must not speak to systemd for it.
        TarnClient a, b;
        a.setEventQueue(true);
        b.setEventQueue(true);
        QVERIFY(a.connectToDaemon(d.socketPath()) && b.connectToDaemon(d.socketPath()));
        const QJsonObject printEnv = TarnClient::startRequest("env", QStringLiteral(HELPER_CHILDHELPER), {"env"});
        QVERIFY(a.call(printEnv).value("status") == "started");
        QString out;
        const QJsonObject finished = a.waitForEvent([&out](const QJsonObject &e) {
            if (e.value("event") == "stdout")
                out += e.value("data").toString();
            return e.value("event") == "finished";
        }, 15000);
        QVERIFY(finished.value("data") == "0" && (out.contains("\nPATH=") || out.startsWith("PATH=")));
        for (const QString &v : systemd + QStringList{"NOTIFY_SOCKET", "QT_NO_GLIB"})
            QVERIFY2(!out.contains(v + "="), qPrintable(out));

        // SIGUSR1: every client is told to shut down; the daemon carries on.
        d.signal(SIGUSR1);
        const auto isShutdown = [](const QJsonObject &e) { return e.value("event").toString() == "shutdown"; };
        const QJsonObject shutdown{{"event", "shutdown"}, {"reason", "installer-request"}};
        QCOMPARE(a.waitForEvent(isShutdown), shutdown);
        QCOMPARE(b.waitForEvent(isShutdown), shutdown);
        QVERIFY(a.call({{"action", "heartbeat"}}).value("status") == "success");

        // Two stop signals: one stop.
        d.signal(SIGTERM);
        d.signal(SIGINT);
        QCOMPARE(receive(), QByteArray("STOPPING=1"));
        QCOMPARE(d.waitForExit(), 0);
        QCOMPARE(d.log().count("Service stop requested"), 1);
        QVERIFY(!d.log().contains("DEBUG:"));
        close(fd);
    }

    void readersGiveWayAndNoThreadCostsOnlyThatStart()
    {
        Daemon d;
        QVERIFY(d.start({"QT_LOGGING_RULES=tarnd.debug=true"}));
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath(), 5000));
        const auto start = [&c](const QString &id) {
            const QJsonObject r = c.call(TarnClient::startRequest(id, QStringLiteral(HELPER_CHILDHELPER), {"noread"}));
            return r.contains("error") ? r.value("error").toString() : r.value("status").toString();
        };
        // Whatever the daemon makes once, at its first child, is made before the limit.
        QCOMPARE(start("warm"), QStringLiteral("started"));
        // Each child's output reader runs ten steps below the main thread (at most at 19), so that
        // a flood of one child's output takes the cores after every client's requests.
        QList<int> nice; // of each of the daemon's threads, the main thread's first
        const auto lowered = [&] {
            nice.clear();
            const QString tasks = QStringLiteral("/proc/%1/task").arg(d.pid());
            QStringList ids = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            ids.move(ids.indexOf(QString::number(d.pid())), 0);
            for (const QString &id : std::as_const(ids)) {
                const QByteArray stat = testsupport::readFile(tasks + "/" + id + "/stat");
                nice.append(stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(16).toInt());
            }
            return nice[0] >= 19 || (nice.count(std::min(nice[0] + 10, 19)) == 1 && nice.count(nice[0]) == nice.size() - 1);
        };
        QTRY_VERIFY2_WITH_TIMEOUT(lowered(), qPrintable("nice values, the main thread's first: " + QDebug::toString(nice)),
                                  15000);
        QVERIFY(c.call({{"action", "kill"}, {"process-id", "warm"}}).value("status") == "killed");
        QVERIFY(!c.waitForEvent([](const QJsonObject &e) { return e.value("event") == "finished"; }, 15000).isEmpty());

        QString group;
        for (const QString root : {"/sys/fs/cgroup/pids", "/sys/fs/cgroup"}) {
            const QString dir = root + "/tarnd-test-" + QString::number(QCoreApplication::applicationPid());
            if (QDir().mkdir(dir) && QFile::exists(dir + "/pids.max")) {
                group = dir;
                break;
            }
            ::rmdir(dir.toLocal8Bit().constData());
        }
        // The machine out of threads (here the daemon's own pids cgroup, full): the start that
        // needed them fails and leaves nothing running; the daemon and its other work go on.
        if (group.isEmpty())
            QSKIP("no pids cgroup can be made here to limit the daemon's threads");
        const auto put = [&group](const QString &file, const QByteArray &value) {
            QFile f(group + "/" + file);
            return f.open(QIODevice::WriteOnly) && f.write(value) == value.size() && f.flush();
        };
        const auto removeGroup = qScopeGuard([&] {
            put("pids.max", "max");
            d.kill();
            d.waitForExit(); // the group is empty once the daemon is gone
            (void)QTest::qWaitFor([&group] { return ::rmdir(group.toLocal8Bit().constData()) == 0; }, 15000);
        });
        QVERIFY(put("cgroup.procs", QByteArray::number(d.pid())));
        // Room for the child, none for its threads.
        const auto current = [&group] { return testsupport::readFile(group + "/pids.current").trimmed().toInt(); };
        const int tasks = current();
        QVERIFY(tasks > 0 && put("pids.max", QByteArray::number(tasks + 1)));
        QCOMPARE(start("capped"), QStringLiteral("Failed to start process: capped"));
        QVERIFY(d.log().contains("Failed to create worker thread"));
        QCOMPARE(current(), tasks);
        QVERIFY(c.call({{"action", "heartbeat"}}).value("status") == "success");
        // A departure's sweep, whose thread was never made and cannot be now: it is done all the
        // same, and once threads are there again the next one gets its thread.
        QVERIFY(put("pids.max", QByteArray::number(tasks)));
        const auto sweptAfterDeparture = [&d] {
            const qsizetype before = d.log().count("No stale processes found in session 1");
            if (!TarnClient().connectToDaemon(d.socketPath(), 5000)) // and gone at once
                return false;
            return QTest::qWaitFor([&] { return d.log().count("No stale processes found in session 1") > before; }, 15000);
        };
        QVERIFY(sweptAfterDeparture());
        QVERIFY(put("pids.max", "max"));
        QVERIFY(sweptAfterDeparture());
        QCOMPARE(start("capped"), QStringLiteral("started"));
        d.stop();
        QCOMPARE(d.waitForExit(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDaemonUnix)
#include "tst_daemon_unix.moc"
