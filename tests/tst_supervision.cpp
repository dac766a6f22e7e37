// Stopping and killing real children through the process manager: forced kills, what a child
// leaves behind, stopAll, a record whose child has exited, and a relaunch that fails.

#include "process/processmanager.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);
const bool OnLinux = QStringLiteral(TARND_PLATFORM) == u"linux";
// A grandchild that keeps the child's pipes open after the child's end: Linux only.
const QString Holding = OnLinux ? u"hold"_s : u"free"_s;

QJsonObject spec(const QString &id, const QStringList &args, const QString &exe = Helper)
{
    return QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", exe},
                       {"arguments", QJsonArray::fromStringList(args)}};
}

QJsonObject restarting(const QString &id, const QStringList &args, int maxAttempts, int delayMs,
                       const QString &exe = Helper)
{
    QJsonObject s = spec(id, args, exe);
    s.insert("auto-restart", true);
    s.insert("max-restart-attempts", maxAttempts);
    s.insert("restart-delay-ms", delayMs);
    return s;
}

QString start(ProcessManager &pm, const QJsonObject &s)
{
    const QJsonObject r = testsupport::startNow(pm, s);
    return r.contains("error") ? r.value("error").toString() : r.value("status").toString();
}

using Events = testsupport::ProcessEvents;

// "<leader> <grandchild>" as the family helper prints it.
QList<qint64> family(const Events &ev, const QString &id)
{
    const QStringList words = ev.text(id).section('\n', 0, 0).split(' ');
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

    void nothingOutlivesItsChild_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("exitCode");
        // The grandchild ignores Ctrl+C, so only the end of the child's supervision reaches it.
        QTest::newRow("stop") << QStringList{"family", Holding, "noread"} << "stop" << (OnLinux ? "130" : "0");
        // The daemon's own kill ends with 1 on every platform.
        QTest::newRow("kill") << QStringList{"family", Holding, "noread"} << "kill" << "1";
        if (OnLinux) {
            // Killed by someone else, the child ends as signalled, not with the daemon's 1.
            QTest::newRow("outside kill") << QStringList{"family", "hold", "noread"} << "outside" << "137";
            QTest::newRow("leader leaves, pipe held") << QStringList{"family", "hold", "exit", "0"} << "stop" << "0";
        }
        QTest::newRow("leader leaves, pipe free") << QStringList{"family", "free", "exit", "0"} << "stop" << "0";
    }

    void nothingOutlivesItsChild()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, how);
        QFETCH(QString, exitCode);
        ProcessManager pm;
        Events ev(pm);
        QCOMPARE(start(pm, spec("family", args)), u"started"_s);
        QTRY_VERIFY_WITH_TIMEOUT(family(ev, "family").size() == 2, 15000);
        const qint64 grandchild = family(ev, "family")[1];
        if (args[2] == "noread")
            QVERIFY(testsupport::alive(grandchild)); // a leader that leaves may have been taken with it already
        else // the stop is to come after the leader's own end
            QTRY_VERIFY_WITH_TIMEOUT(!pm.getProcessStatus("family").value("running").toBool(), 15000);
        if (how == "stop")
            pm.stopProcess("family"); // after a leader's own exit: "stopping" or already gone
        else if (how == "kill")
            QCOMPARE(pm.killProcess("family").value("status").toString(), u"killed"_s);
        else
            QCOMPARE(QProcess::execute("kill", {"-KILL", QString::number(family(ev, "family")[0])}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("family"), 15000);
        QCOMPARE(ev.exitData("family"), exitCode);
        QTRY_VERIFY_WITH_TIMEOUT(!testsupport::alive(grandchild), 15000);
    }

    void anExitedRecordIsNoLongerRunning()
    {
        // The leader exits while its grandchild keeps the pipes: during the long wait for the
        // rest of the output the record must neither claim a pid nor act on one.
        if (!OnLinux)
            QSKIP("a Windows child's job ends with it: nothing keeps its pipes");
        ProcessManager pm(nullptr, {10000, 5000});
        Events ev(pm);
        start(pm, spec("drain", {"family", "hold", "exit", "0"}));
        QTRY_VERIFY_WITH_TIMEOUT(family(ev, "drain").size() == 2, 15000);
        const qint64 grandchild = family(ev, "drain")[1];
        QTRY_COMPARE_WITH_TIMEOUT(pm.getProcessStatus("drain").value("state").toInt(), 0, 15000);
        const QJsonObject listed = pm.listProcesses().value("processes")[0].toObject();
        QVERIFY(listed.value("pid").toInteger() == -1 && !listed.value("running").toBool());
        QVERIFY(!pm.writeToProcess("drain", "x"));
        // A kill would reach the grandchild through the group; none is sent.
        QCOMPARE(pm.killProcess("drain").value("status").toString(), u"killed"_s);
        QVERIFY(testsupport::alive(grandchild) && !ev.finished("drain"));
        // Once the wait is over the process finishes, and takes its grandchild with it.
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("drain"), 20000);
        QCOMPARE(ev.exitData("drain"), u"0"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!testsupport::alive(grandchild), 15000);
    }

    void aRelaunchThatFailsUsesAnAttempt()
    {
        // The executable is gone when the relaunch comes: the attempt is used (a missing program
        // is not relaunched for ever) and the next still comes; with none left the end is -1.
        testsupport::LogCapture log;
        ProcessManager pm;
        Events ev(pm);
        QTemporaryDir dir;
        for (const char *name : {"doomed.exe", "doomed-twice.exe"}) {
            QVERIFY(QFile::copy(Helper, dir.filePath(name)));
            QVERIFY(QFile::setPermissions(dir.filePath(name), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        start(pm, restarting("vanish", {"moveself", "4"}, 1, 100, dir.filePath("doomed.exe")));
        start(pm, restarting("vanish2", {"moveself", "4"}, 2, 100, dir.filePath("doomed-twice.exe")));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("vanish") && ev.finished("vanish2"), 30000);
        for (const char *id : {"vanish", "vanish2"}) {
            QCOMPARE(ev.starts(id), 1);
            QCOMPARE(ev.exitData(id), u"-1"_s);
        }
        QCOMPARE(log.count("Failed to restart process \"vanish2\""), 2);
        QVERIFY(log.contains("[ProcessManager] Process \"vanish2\" exceeded max restart attempts, giving up"));
    }

    void stopAllEndsEverything()
    {
        ProcessManager pm;
        Events ev(pm);
        start(pm, spec("trapped", {"trapint", "0"}));
        start(pm, spec("stubborn", {"ignoreint", "0"}));
        start(pm, spec("family", {"family", Holding, "noread"}));
        // Many waiting to restart, each taken out of the table by its stop: the walk must not
        // be over the table itself.
        QStringList waiting;
        for (int i = 0; i < 40; ++i) {
            waiting << u"waiting%1"_s.arg(i);
            start(pm, restarting(waiting.last(), {"exit", "3"}, 3, 60000));
        }
        QTRY_VERIFY_WITH_TIMEOUT(ev.text("trapped") == "ready\n" && ev.text("stubborn") == "ready\n"
                                     && family(ev, "family").size() == 2
                                     && std::all_of(waiting.cbegin(), waiting.cend(),
                                                    [&](const QString &id) {
                                                        return pm.getProcessStatus(id).value("state").toInt() == 0;
                                                    }),
                                 15000);
        // The deadline is each child's own from its Ctrl+C: under wine a trapped one takes about
        // 60 ms to end when the machine is idle, several times that when it is loaded.
        pm.stopAll(2000);
        QCOMPARE(ev.exitData("trapped"), u"0"_s);
        QCOMPARE(ev.exitData("stubborn"), u"1"_s);
        QVERIFY(ev.finished("family"));
        for (const QString &id : std::as_const(waiting))
            QCOMPARE(ev.exitData(id), u"3"_s);
        QCOMPARE(pm.listProcesses().value("processes").toArray().size(), 0);
        QCOMPARE(start(pm, spec("late", {"exit", "0"})), u"Daemon is shutting down"_s);
    }
};

QTEST_GUILESS_MAIN(TestSupervision)
#include "tst_supervision.moc"
