// The real tarnd binary and what only Linux has: the descriptors or threads running out, the signals, the
// readiness told to systemd, and Qt's choice of event loop, made through the environment; and
// the privilege level the daemon reports, from its effective user.

#include "tarnclient.h"
#include "service/privilegemanager.h"
#include "testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QtTest>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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
        // A client served and gone before descriptors are out: UBSan's type checks on that path
        // need a pipe, which cannot be made then, unless the pairing is already in its cache.
        QVERIFY(greeted());
        // Its departure's sweep starts the thread that later sweeps reuse: starting one while
        // descriptors are out would abort in Qt's event dispatcher.
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
        QVERIFY2(d.log().contains("stopped listening"), qPrintable(d.log().right(2000)));
        QVERIFY(held.size() < 200);
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
            if (poll(&p, 1, 15000) != 1)
                return QByteArray();
            char buf[256];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
        };

        Daemon d;
        QVERIFY(d.start({"NOTIFY_SOCKET=" + QString::fromLocal8Bit(path)}));
        QCOMPARE(receive(), QByteArray("READY=1"));

        // The daemon chooses its event loop through its environment, which is not the children's.
        TarnClient a, b;
        a.setEventQueue(true);
        b.setEventQueue(true);
        QVERIFY(a.connectToDaemon(d.socketPath()) && b.connectToDaemon(d.socketPath()));
        QCOMPARE(a.call(TarnClient::startRequest("env", QStringLiteral(HELPER_CHILDHELPER), {"env"})).value("status"),
                 QJsonValue("started"));
        QString out;
        const QJsonObject finished = a.waitForEvent([&out](const QJsonObject &e) {
            if (e.value("event") == "stdout")
                out += e.value("data").toString();
            return e.value("event") == "finished";
        }, 15000);
        QCOMPARE(finished.value("data"), QJsonValue("0"));
        QVERIFY(out.contains("\nPATH=") || out.startsWith("PATH="));
        QVERIFY2(!out.contains("QT_NO_GLIB"), qPrintable(out));

        // SIGUSR1: every client is told to shut down; the daemon carries on.
        d.signal(SIGUSR1);
        const auto isShutdown = [](const QJsonObject &e) { return e.value("event").toString() == "shutdown"; };
        const QJsonObject shutdown{{"event", "shutdown"}, {"reason", "installer-request"}};
        QCOMPARE(a.waitForEvent(isShutdown), shutdown);
        QCOMPARE(b.waitForEvent(isShutdown), shutdown);
        QCOMPARE(a.call({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));

        // Two stop signals: one stop.
        d.signal(SIGTERM);
        d.signal(SIGINT);
        QCOMPARE(receive(), QByteArray("STOPPING=1"));
        QCOMPARE(d.waitForExit(), 0);
        const QString log = d.log();
        QCOMPARE(log.count("Service stop requested"), 1);
        QVERIFY(!log.contains("DEBUG:"));
        close(fd);
    }

    void noThreadToBeHadCostsOnlyThatStart()
    {
        // The machine out of threads (here the daemon's own pids cgroup, full): the start that
        // needed them fails and leaves nothing running; the daemon and its other work go on.
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
        QCOMPARE(c.call({{"action", "kill"}, {"process-id", "warm"}}).value("status"), QJsonValue("killed"));
        QCOMPARE(c.waitForEvent([](const QJsonObject &e) { return e.value("event") == "finished"; }, 15000)
                     .value("process-id"), QJsonValue("warm"));

        QString group;
        for (const QString root : {"/sys/fs/cgroup/pids", "/sys/fs/cgroup"}) {
            const QString dir = root + "/tarnd-test-" + QString::number(QCoreApplication::applicationPid());
            if (QDir().mkdir(dir) && QFile::exists(dir + "/pids.max")) {
                group = dir;
                break;
            }
            ::rmdir(dir.toLocal8Bit().constData());
        }
        if (group.isEmpty())
            QSKIP("no pids cgroup can be made here to limit the daemon's threads");
        const auto put = [&group](const QString &file, const QByteArray &value) {
            QFile f(group + "/" + file);
            return f.open(QIODevice::WriteOnly) && f.write(value) == value.size() && f.flush();
        };
        const auto removeGroup = qScopeGuard([&] {
            put("pids.max", "max");
            d.kill();
            d.waitForExit();
            // Empty once the daemon is gone.
            (void)QTest::qWaitFor([&group] { return ::rmdir(group.toLocal8Bit().constData()) == 0; }, 15000);
        });
        QVERIFY(put("cgroup.procs", QByteArray::number(d.pid())));
        // Room for the child, none for its threads.
        const int tasks = testsupport::readFile(group + "/pids.current").trimmed().toInt();
        QVERIFY(tasks > 0);
        QVERIFY(put("pids.max", QByteArray::number(tasks + 1)));
        QCOMPARE(start("capped"), QStringLiteral("Failed to start process: capped"));
        QVERIFY(d.log().contains("Failed to create worker thread"));
        QCOMPARE(testsupport::readFile(group + "/pids.current").trimmed().toInt(), tasks);
        QCOMPARE(c.call({{"action", "heartbeat"}}).value("status"), QJsonValue("success"));
        // A departure's sweep, whose thread was never made and cannot be now: it is done all the
        // same, and once threads are there again the next one gets its thread.
        QVERIFY(put("pids.max", QByteArray::number(tasks)));
        const auto sweptAfterDeparture = [&d] {
            const auto swept = [&d] { return d.log().count("No stale processes found in session 1"); };
            const qsizetype before = swept();
            if (!TarnClient().connectToDaemon(d.socketPath(), 5000))
                return false;
            return QTest::qWaitFor([&] { return swept() > before; }, 15000);
        };
        QVERIFY(sweptAfterDeparture());

        QVERIFY(put("pids.max", "max"));
        QVERIFY(sweptAfterDeparture());
        QCOMPARE(start("capped"), QStringLiteral("started"));
        d.stop();
        QCOMPARE(d.waitForExit(), 0);
    }

    // Each child's output reader runs below the main thread, so that a flood of one child's
    // output takes the cores after every client's requests, not beside them.
    void outputReadersGiveWayToRequests()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        QVERIFY(c.connectToDaemon(d.socketPath(), 5000));
        // The nice value of each of the daemon's threads, the main thread's first.
        const auto niceness = [&d] {
            QList<int> values;
            const QString tasks = QStringLiteral("/proc/%1/task").arg(d.pid());
            QStringList ids = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            ids.removeOne(QString::number(d.pid()));
            ids.prepend(QString::number(d.pid()));
            for (const QString &id : std::as_const(ids)) {
                const QByteArray stat = testsupport::readFile(tasks + "/" + id + "/stat");
                values.append(stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(16).toInt());
            }
            return values;
        };
        for (const QString id : {"one", "two"})
            QCOMPARE(c.call(TarnClient::startRequest(id, QStringLiteral(HELPER_CHILDHELPER), {"noread"})).value("status"),
                     QJsonValue("started"));
        // Two readers lowered by ten steps (at most to 19), and no other thread.
        QList<int> seen;
        const auto lowered = [&] {
            seen = niceness();
            if (seen.value(0) >= 19)
                return true;
            return seen.count(std::min(seen.value(0) + 10, 19)) == 2 && seen.count(seen.value(0)) == seen.size() - 2;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(lowered(), qPrintable("nice values, the main thread's first: " + QDebug::toString(seen)),
                                  15000);
        if (seen.value(0) >= 19)
            QSKIP("the daemon runs at nice 19: no priority is lower");
    }

    // An unprivileged process is told 0; the level is asked anew, not cached.
    void privilegeFollowsTheEffectiveUser()
    {
        QCOMPARE(PrivilegeManager::privilegeLevel(), testsupport::isRoot() ? 1 : 0);
        QCOMPARE(PrivilegeManager().isElevated(), testsupport::isRoot());
        if (!testsupport::isRoot())
            QSKIP("dropping to another user needs root");
        const pid_t child = fork();
        if (child == 0)
            _exit(setresgid(65534, 65534, 65534) || setresuid(65534, 65534, 65534) ? 3 : PrivilegeManager::privilegeLevel());
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

QTEST_GUILESS_MAIN(TestDaemonUnix)
#include "tst_daemon_unix.moc"
