// Stopping, killing and restarting real children through the process manager: the Ctrl+C and
// its deadline, forced kills, what a child leaves behind, the crash restart budget, stopAll,
// and what a record says and does once its child has exited.

#include "process/managedprocess.h"
#include "process/processmanager.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using testsupport::LogCapture;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

QJsonObject spec(const QString &id, const QStringList &args, const QString &exe = Helper)
{
    return QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", exe},
                       {"arguments", QJsonArray::fromStringList(args)}};
}

QJsonObject restarting(const QString &id, const QStringList &args, int maxAttempts, int delayMs = 100,
                       const QString &exe = Helper)
{
    QJsonObject s = spec(id, args, exe);
    s.insert("auto-restart", true);
    s.insert("max-restart-attempts", maxAttempts);
    s.insert("restart-delay-ms", delayMs);
    return s;
}

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

bool alive(qint64 pid)
{
    // A zombie is dead: its state letter is Z.
    const QByteArray stat = testsupport::readFile(QString("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

struct Events
{
    QList<QJsonObject> all;
    explicit Events(ProcessManager &pm)
    {
        QObject::connect(&pm, &ProcessManager::processEvent, [this](const QJsonObject &e) { all << e; });
    }
    QList<QJsonObject> of(const QString &id, const QString &kind) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject &e : all)
            if (e.value("process-id").toString() == id && e.value("event").toString() == kind)
                out << e;
        return out;
    }
    QString text(const QString &id) const
    {
        QString t;
        for (const QJsonObject &e : of(id, "stdout"))
            t += e.value("data").toString();
        return t;
    }
    bool finished(const QString &id) const { return !of(id, "finished").isEmpty(); }
    QString exitData(const QString &id) const { return of(id, "finished").value(0).value("data").toString(); }
    int starts(const QString &id) const { return int(of(id, "started").size()); }
};

// "<leader> <grandchild>" as the family helper prints it.
QList<qint64> familyPids(const Events &ev, const QString &id)
{
    const QStringList words = ev.text(id).trimmed().split(' ');
    return words.size() == 2 ? QList<qint64>{words[0].toLongLong(), words[1].toLongLong()} : QList<qint64>{};
}

} // namespace

class TestSupervision : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        // Whatever a test started, however indirectly, must be gone once it is over.
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void stopSendsCtrlCThenKills()
    {
        // A short deadline, so that the kill of a child that ignores the Ctrl+C comes soon.
        ProcessManager pm(nullptr, {300, 500});
        Events ev(pm);
        testsupport::startNow(pm, spec("graceful", {"trapint", "0"}));
        testsupport::startNow(pm, spec("stubborn", {"ignoreint"}));
        testsupport::startNow(pm, spec("plain", {"noread"}));
        for (const char *id : {"graceful", "stubborn", "plain"})
            QTRY_COMPARE_WITH_TIMEOUT(ev.text(id), QStringLiteral("ready\n"), 15000);

        for (const char *id : {"graceful", "stubborn"})
            QCOMPARE(pm.stopProcess(id).value("status").toString(), QStringLiteral("stopping"));
        QCOMPARE(pm.killProcess("plain").value("status").toString(), QStringLiteral("killed"));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("graceful") && ev.finished("stubborn") && ev.finished("plain"), 15000);
        QCOMPARE(ev.text("graceful"), QStringLiteral("ready\ninterrupted\n"));
        QCOMPARE(ev.exitData("graceful"), QStringLiteral("0"));
        // The forced end reads as TerminateProcess(..., 1) does, whether by deadline or by kill.
        QCOMPARE(ev.exitData("stubborn"), QStringLiteral("1"));
        QCOMPARE(ev.exitData("plain"), QStringLiteral("1"));

        // A killed process's id is free again at once.
        QCOMPARE(testsupport::startNow(pm, spec("plain", {"exit", "4"})).value("status").toString(), QStringLiteral("started"));
        QTRY_COMPARE_WITH_TIMEOUT(ev.of("plain", "finished").size(), 2, 15000);
        QCOMPARE(ev.of("plain", "finished").last().value("data").toString(), QStringLiteral("4"));
        QCOMPARE(pm.listProcesses().value("processes").toArray().size(), 0);
    }

    void stopWithoutDeadlineArmsNothing()
    {
        ManagedProcess p("zero", nullptr, ProcessManager::Timing{}.exitDrainMs);
        QByteArray out;
        connect(&p, &ManagedProcess::stdoutReady, this, [&](const QString &, const QByteArray &b) { out += b; });
        QSignalSpy finished(&p, &ManagedProcess::processFinished);
        p.setSpec(spec("zero", {"ignoreint"}));
        QVERIFY(p.launch());
        QTRY_COMPARE_WITH_TIMEOUT(out, QByteArray("ready\n"), 15000);
        p.stop(0);
        QVERIFY(!p.killPending());
        QVERIFY(p.running());
        QCOMPARE(finished.size(), 0);
        p.kill();
        QVERIFY(finished.wait(15000));
        QCOMPARE(finished[0][1].toInt(), 1);
        QVERIFY(!p.running());
    }

    void nothingOutlivesItsChild_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("exitCode");
        // The grandchild ignores SIGINT, so only the end of the child's supervision reaches it.
        QTest::newRow("stop") << QStringList{"family", "stay", "hold"} << "stop" << "130";
        QTest::newRow("kill") << QStringList{"family", "stay", "hold"} << "kill" << "1";
        QTest::newRow("leader leaves, pipe held") << QStringList{"family", "leave", "hold"} << "stop" << "0";
        QTest::newRow("leader leaves, pipe free") << QStringList{"family", "leave", "free"} << "stop" << "0";
    }

    void nothingOutlivesItsChild()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, how);
        QFETCH(QString, exitCode);
        ProcessManager pm;
        Events ev(pm);
        QCOMPARE(testsupport::startNow(pm, spec("family", args)).value("status").toString(), QStringLiteral("started"));
        QTRY_VERIFY_WITH_TIMEOUT(familyPids(ev, "family").size() == 2, 15000);
        const qint64 grandchild = familyPids(ev, "family")[1];
        if (args[1] == "stay")
            QVERIFY(alive(grandchild)); // a leader that leaves may have been taken with it already
        else // the stop is to come after the leader's own end
            QTRY_VERIFY_WITH_TIMEOUT(!pm.getProcessStatus("family").value("running").toBool(), 15000);
        if (how == "stop")
            pm.stopProcess("family"); // after a leader's own exit: "stopping" or already gone
        else
            QCOMPARE(pm.killProcess("family").value("status").toString(), QStringLiteral("killed"));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("family"), 15000);
        QCOMPARE(ev.exitData("family"), exitCode);
        QTRY_VERIFY_WITH_TIMEOUT(!alive(grandchild), 15000);
    }

    void anExitedRecordIsNoLongerRunning()
    {
        // The leader exits while its grandchild keeps the pipes: a long wait for the rest of the
        // output, during which the record must neither claim a pid nor act on one.
        ProcessManager pm(nullptr, {10000, 5000});
        Events ev(pm);
        testsupport::startNow(pm, spec("drain", {"family", "leave", "hold"}));
        QTRY_VERIFY_WITH_TIMEOUT(familyPids(ev, "drain").size() == 2, 15000);
        const qint64 grandchild = familyPids(ev, "drain")[1];
        QTRY_COMPARE_WITH_TIMEOUT(pm.getProcessStatus("drain").value("state").toInt(), 0, 15000);
        QVERIFY(!ev.finished("drain"));
        const QJsonObject st = pm.getProcessStatus("drain");
        QCOMPARE(st.value("pid").toInteger(), -1);
        QCOMPARE(st.value("running").toBool(), false);
        const QJsonObject listed = pm.listProcesses().value("processes").toArray().first().toObject();
        QCOMPARE(listed.value("pid").toInteger(), -1);
        QCOMPARE(listed.value("running").toBool(), false);
        QVERIFY(!pm.writeToProcess("drain", "x"));
        // A kill would reach the grandchild through the group; none is sent.
        QCOMPARE(pm.killProcess("drain").value("status").toString(), QStringLiteral("killed"));
        QVERIFY(alive(grandchild));
        QVERIFY(!ev.finished("drain"));
        // Once the wait is over the process finishes, and takes its grandchild with it.
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("drain"), 20000);
        QCOMPARE(ev.exitData("drain"), QStringLiteral("0"));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(grandchild), 15000);
    }

    void crashRestartBudget()
    {
        LogCapture log;
        ProcessManager pm;
        Events ev(pm);
        QTemporaryDir dir;
        const QString doomed = dir.filePath("doomed");
        QVERIFY(QFile::copy(Helper, doomed));
        QVERIFY(QFile::setPermissions(doomed, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QString doomedTwice = dir.filePath("doomed-twice");
        QVERIFY(QFile::copy(Helper, doomedTwice));
        QVERIFY(QFile::setPermissions(doomedTwice, QFileDevice::ReadOwner | QFileDevice::ExeOwner));

        QJsonObject clean = restarting("clean", {"exit", "0"}, 3);
        testsupport::startNow(pm, clean);
        QJsonObject defaults = spec("crashy", {"exit", "3"});
        defaults.insert("auto-restart", true);
        defaults.insert("restart-delay-ms", 100); // attempts: the default of 3
        testsupport::startNow(pm, defaults);
        testsupport::startNow(pm, restarting("none", {"exit", "3"}, 0));
        // Each run lasts a while: a relaunch that runs is no reason to forget the earlier crashes.
        testsupport::startNow(pm, restarting("slow", {"crashafter", "700", "5"}, 2));
        // The executable is gone when the relaunch comes.
        testsupport::startNow(pm, restarting("vanish", {"unlinkself", "4"}, 1, 100, doomed));
        testsupport::startNow(pm, restarting("vanish2", {"unlinkself", "4"}, 2, 100, doomedTwice));
        // A delay of 0 would relaunch a crashing child in a tight loop.
        testsupport::startNow(pm, restarting("eager", {"exit", "6"}, 1, 0));

        const QStringList ids{"clean", "crashy", "none", "slow", "vanish", "vanish2", "eager"};
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(ids.begin(), ids.end(), [&](const QString &id) { return ev.finished(id); }),
                                 30000);
        QCOMPARE(ev.starts("clean"), 1);
        QCOMPARE(ev.exitData("clean"), QStringLiteral("0"));
        QCOMPARE(ev.starts("crashy"), 4);
        QCOMPARE(ev.exitData("crashy"), QStringLiteral("3"));
        QCOMPARE(ev.starts("none"), 1);
        QCOMPARE(ev.starts("slow"), 3);
        QCOMPARE(ev.exitData("slow"), QStringLiteral("5"));
        // A relaunch that fails uses an attempt, and the next attempt still comes; with none
        // left the end is reported as -1.
        QCOMPARE(ev.starts("vanish"), 1);
        QCOMPARE(ev.exitData("vanish"), QStringLiteral("-1"));
        QCOMPARE(ev.starts("vanish2"), 1);
        QCOMPARE(ev.exitData("vanish2"), QStringLiteral("-1"));
        QCOMPARE(log.count("Failed to restart process \"vanish2\""), 2);
        QCOMPARE(ev.starts("eager"), 2);
    }

    void stopOrKillDuringTheRestartWait()
    {
        ProcessManager pm;
        Events ev(pm);
        testsupport::startNow(pm, restarting("waiting", {"exit", "3"}, 3, 60000));
        testsupport::startNow(pm, restarting("soon", {"exit", "3"}, 1, 300));
        QTRY_VERIFY_WITH_TIMEOUT(pm.getProcessStatus("waiting").value("state").toInt() == 0
                                     && pm.getProcessStatus("soon").value("state").toInt() == 0,
                                 15000);
        QVERIFY(!pm.writeToProcess("waiting", "x"));
        // The attempt waited for is counted already; a client's table shows it.
        QCOMPARE(pm.getProcessStatus("waiting").value("restarts").toInt(-1), 1);
        // A kill while waiting changes nothing: the relaunch still comes.
        QCOMPARE(pm.killProcess("soon").value("status").toString(), QStringLiteral("killed"));
        QTRY_COMPARE_WITH_TIMEOUT(ev.starts("soon"), 2, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("soon"), 15000);

        // A stop while waiting ends the process with its last exit code, and frees its id.
        QCOMPARE(pm.killProcess("waiting").value("status").toString(), QStringLiteral("killed"));
        QVERIFY(!ev.finished("waiting"));
        QCOMPARE(pm.stopProcess("waiting").value("status").toString(), QStringLiteral("stopping"));
        QVERIFY(ev.finished("waiting"));
        QCOMPARE(ev.exitData("waiting"), QStringLiteral("3"));
        QCOMPARE(ev.starts("waiting"), 1);
        QCOMPARE(testsupport::startNow(pm, spec("waiting", {"exit", "0"})).value("status").toString(), QStringLiteral("started"));
        QTRY_COMPARE_WITH_TIMEOUT(ev.of("waiting", "finished").size(), 2, 15000);
    }

    void stopAllEndsEverything()
    {
        ProcessManager pm;
        Events ev(pm);
        testsupport::startNow(pm, spec("warm", {"exit", "0"})); // thread pools and the like exist from here on
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("warm"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(pm.listProcesses().value("processes").toArray().isEmpty(), 15000);
        const int descriptors = openDescriptors();

        const QStringList graceful{"g1", "g2", "g3"}, stubborn{"s1", "s2"};
        for (const QString &id : graceful)
            testsupport::startNow(pm, spec(id, {"trapint", "0"}));
        for (const QString &id : stubborn)
            testsupport::startNow(pm, spec(id, {"ignoreint"}));
        testsupport::startNow(pm, spec("family", {"family", "stay", "hold"}));
        testsupport::startNow(pm, restarting("waiting", {"exit", "3"}, 3, 60000));
        QTRY_VERIFY_WITH_TIMEOUT(ev.text("g1") == "ready\n" && ev.text("g2") == "ready\n" && ev.text("g3") == "ready\n"
                                     && ev.text("s1") == "ready\n" && ev.text("s2") == "ready\n"
                                     && familyPids(ev, "family").size() == 2
                                     && pm.getProcessStatus("waiting").value("state").toInt() == 0,
                                 15000);
        // One is dead, its exit not yet handled, when the stop comes.
        testsupport::startNow(pm, spec("dead", {"exit", "9"}));
        const qint64 dead = pm.getProcessStatus("dead").value("pid").toInteger();
        for (int i = 0; i < 1000 && alive(dead); ++i)
            ::usleep(10000); // no events may run here: the exit must stay unhandled
        QVERIFY(!alive(dead));

        pm.stopAll(400);
        const QStringList all = graceful + stubborn + QStringList{"family", "waiting", "dead"};
        for (const QString &id : all)
            QVERIFY2(ev.finished(id), qPrintable(id));
        for (const QString &id : graceful)
            QCOMPARE(ev.exitData(id), QStringLiteral("0"));
        for (const QString &id : stubborn)
            QCOMPARE(ev.exitData(id), QStringLiteral("1"));
        QCOMPARE(ev.exitData("waiting"), QStringLiteral("3"));
        QCOMPARE(ev.exitData("dead"), QStringLiteral("9"));
        QCOMPARE(pm.listProcesses().value("processes").toArray().size(), 0);
        // Members of a killed group may still be on their way out: the kill is
        // sent, not awaited, for processes that are not our own children.
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptors, 15000);
        // The daemon is going away: nothing new starts.
        QCOMPARE(testsupport::startNow(pm, spec("late", {"exit", "0"})).value("error").toString(),
                 QStringLiteral("Daemon is shutting down"));
    }

    void stdinOfAProcessThatCannotTakeIt()
    {
        ProcessManager pm;
        Events ev(pm);
        // Its closed end must neither end the daemon (SIGPIPE) nor be taken for a queue.
        testsupport::startNow(pm, spec("closed", {"closestdin"}));
        QTRY_COMPARE_WITH_TIMEOUT(ev.text("closed"), QStringLiteral("ready\n"), 15000);
        QVERIFY(!pm.writeToProcess("closed", "nobody reads this\n"));
        pm.stopAll(5000);
    }

    void childrenGetACleanEnvironmentAndThePath()
    {
        const QByteArray vars[] = {"NOTIFY_SOCKET", "INVOCATION_ID", "RUNTIME_DIRECTORY", "LISTEN_FDS",
                                   "LISTEN_PID", "WATCHDOG_USEC", "JOURNAL_STREAM"};
        for (const QByteArray &v : vars)
            qputenv(v, "from-the-service-manager");
        qputenv("TARND_KEPT", "yes");
        QTemporaryDir bin;
        QVERIFY(QFile::link(Helper, bin.filePath("tarnd-test-child")));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.path().toLocal8Bit() + ":" + path);

        ProcessManager pm;
        Events ev(pm);
        testsupport::startNow(pm, spec("env", {"env"}));
        // A bare name is looked up on the daemon's PATH.
        QCOMPARE(testsupport::startNow(pm, spec("bare", {"exit", "5"}, "tarnd-test-child")).value("status").toString(),
                 QStringLiteral("started"));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("env") && ev.finished("bare"), 15000);
        qputenv("PATH", path);
        for (const QByteArray &v : vars)
            qunsetenv(v);
        qunsetenv("TARND_KEPT");

        const QStringList env = ev.text("env").split('\n');
        QVERIFY(env.contains("TARND_KEPT=yes"));
        QVERIFY(env.contains("PATH=" + bin.path() + ":" + QString::fromLocal8Bit(path)));
        for (const QByteArray &v : vars)
            QVERIFY2(!ev.text("env").contains(QString::fromLatin1(v) + "="), v.constData());
        QCOMPARE(ev.exitData("bare"), QStringLiteral("5"));
    }
};

QTEST_GUILESS_MAIN(TestSupervision)
#include "tst_supervision.moc"
