// Process events through the real daemon: only the owner hears them, ownership ends with
// "finished", launch failures leave nothing behind, stdin never stalls the daemon, and a
// slow reader slows the child instead of growing the daemon.

#include "tarnclient.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

QJsonObject start(const QString &id, const QStringList &args, const QString &exe = Helper)
{
    return QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", exe},
                       {"arguments", QJsonArray::fromStringList(args)}};
}

bool isFinished(const QJsonObject &e, const QString &id)
{
    return e.value("process-id").toString() == id && e.value("event").toString() == "finished";
}

int descriptorsOf(qint64 pid)
{
    return int(QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

} // namespace

class TestRouting : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void onlyTheOwnerHearsItsProcess()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient owner, other;
        owner.setEventQueue(true);
        other.setEventQueue(true);
        QVERIFY(owner.connectToDaemon(d.socketPath()) && other.connectToDaemon(d.socketPath()));

        // "started" reaches the owner before the response to its start.
        QList<QString> order;
        connect(&owner, &TarnClient::eventReceived, this, [&](const QJsonObject &e) { order << e.value("event").toString(); });
        connect(&owner, &TarnClient::responseReceived, this, [&](const QJsonObject &r) { order << "response:" + r.value("status").toString(); });
        const QJsonObject r = owner.call(start("p", {"mixed", "200"}));
        QCOMPARE(r.value("status").toString(), QStringLiteral("started"));
        QCOMPARE(r.value("message").toString(), QStringLiteral("Process started successfully"));
        QVERIFY(order.indexOf("started") >= 0 && order.indexOf("started") < order.indexOf("response:started"));

        const QJsonObject fin = owner.waitForEvent([](const QJsonObject &e) { return isFinished(e, "p"); });
        QCOMPARE(fin.value("data").toString(), QStringLiteral("0"));
        QString out, err;
        for (const QJsonObject &e : owner.events()) {
            if (e.value("event") == "stdout")
                out += e.value("data").toString();
            if (e.value("event") == "stderr")
                err += e.value("data").toString();
        }
        QCOMPARE(out.count('\n'), 100);
        QCOMPARE(err.count('\n'), 100);
        // The other client heard nothing but its own "connected".
        QCOMPARE(other.call({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QCOMPARE(other.events().size(), 1);
        QCOMPARE(other.events()[0].value("event").toString(), QStringLiteral("connected"));

        // After "finished" the id is free: the other client may start it and is its owner now.
        QCOMPARE(owner.call({{"action", "status"}, {"process-id", "p"}}).value("error").toString(),
                 QStringLiteral("Process not found: p"));
        owner.events().clear();
        QCOMPARE(other.call(start("p", {"out", "10"})).value("status").toString(), QStringLiteral("started"));
        QVERIFY(!other.waitForEvent([](const QJsonObject &e) { return isFinished(e, "p"); }).isEmpty());
        QCOMPARE(owner.call({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QVERIFY(owner.events().isEmpty());
    }

    void failedLaunchesLeaveNoDescriptors()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath()));
        c.call(start("warm", {"exit", "0"}));
        QVERIFY(!c.waitForEvent([](const QJsonObject &e) { return isFinished(e, "warm"); }).isEmpty());
        const int before = descriptorsOf(d.pid());
        c.events().clear();
        for (int i = 0; i < 25; ++i) {
            const QJsonObject r = c.call(start("ghost", {}, "/no/such/program"));
            QCOMPARE(r.value("error").toString(), QStringLiteral("Failed to start process: ghost"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(descriptorsOf(d.pid()), before, 15000);
        QCOMPARE(c.call({{"action", "list"}}).value("processes").toArray().size(), 0);
        QVERIFY(c.events().isEmpty());
        QVERIFY(d.log().contains("CreateProcess failed: 2"));
    }

    void deafChildDoesNotStallTheDaemon()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath()));
        c.call(start("deaf", {"noread"}));
        const QString mib(1024 * 1024, QChar('q'));
        int accepted = 0;
        QString lastError;
        for (int i = 0; i < 40; ++i) {
            const QJsonObject r = c.call({{"action", "stdin"}, {"process-id", "deaf"}, {"data", mib}});
            if (r.value("status") != "success") {
                lastError = r.value("error").toString();
                break;
            }
            ++accepted;
            // Every answer comes back although the child reads nothing.
            QCOMPARE(c.call({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        }
        QVERIFY2(accepted >= 16 && accepted <= 18, qPrintable(QString::number(accepted)));
        QCOMPARE(lastError, QStringLiteral("Failed to write to process stdin"));

        // The daemon's stop ends the child (SIGINT to its group) and the daemon exits cleanly.
        const qint64 child = c.call({{"action", "status"}, {"process-id", "deaf"}}).value("pid").toInteger();
        QVERIFY(child > 0);
        d.signal(SIGTERM);
        QCOMPARE(d.waitForExit(), 0);
        QVERIFY(d.log().contains("[ProcessManager] All processes stopped gracefully"));
        QVERIFY(::kill(pid_t(child), 0) != 0);
    }

    void aSlowReaderSlowsTheChildren_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("children");
        QTest::addColumn<qint64>("each");
        // Far more output than the daemon would queue for a client before dropping it.
        QTest::newRow("text") << "flood" << 1 << 120LL * 1024 * 1024;
        // A control byte is written as six in a JSON text: what is held back must be counted in
        // what it will be sent as, and all of one client's children held together.
        QTest::newRow("binary, three children") << "binary" << 3 << 5LL * 1024 * 1024;
    }

    void aSlowReaderSlowsTheChildren()
    {
        QFETCH(QString, mode);
        QFETCH(int, children);
        QFETCH(qint64, each);
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath()));
        c.socket()->setReadBufferSize(256 * 1024);
        QStringList ids;
        for (int i = 0; i < children; ++i) {
            ids << mode + QString::number(i);
            QCOMPARE(c.call(start(ids.last(), {mode, QString::number(each)})).value("status").toString(),
                     QStringLiteral("started"));
        }
        // Not reading for a while: the children must be held back instead.
        c.socket()->blockSignals(true);
        QTest::qWait(3000);
        c.socket()->blockSignals(false);
        c.socket()->setReadBufferSize(0);
        QHash<QString, qint64> received;
        bool intact = true;
        const auto count = [&](const QJsonObject &e) {
            if (e.value("event") != "stdout")
                return;
            const QString data = e.value("data").toString();
            received[e.value("process-id").toString()] += data.size();
            if (mode == "binary")
                intact = intact && data.count(QChar(1)) == data.size();
        };
        connect(&c, &TarnClient::eventReceived, this, count);
        for (const QJsonObject &e : c.events())
            count(e);
        for (const QString &id : ids) {
            const QJsonObject fin = c.waitForEvent([&](const QJsonObject &e) { return isFinished(e, id); }, 120000);
            QCOMPARE(fin.value("data").toString(), QStringLiteral("0"));
            QCOMPARE(received.value(id), each);
        }
        QVERIFY(intact);
        QVERIFY(!d.log().contains("dropping it"));
        QVERIFY(c.isConnected());
    }

    void aRefusedStartLeavesTheOwnerAlone()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient owner, other;
        owner.setEventQueue(true);
        other.setEventQueue(true);
        QVERIFY(owner.connectToDaemon(d.socketPath()) && other.connectToDaemon(d.socketPath()));
        QCOMPARE(owner.call(start("core", {"echo"})).value("status").toString(), QStringLiteral("started"));
        // Another client's start of the same id, and the owner retrying its own.
        QCOMPARE(other.call(start("core", {"echo"})).value("error").toString(), QStringLiteral("Process already exists: core"));
        QCOMPARE(owner.call(start("core", {"echo"})).value("error").toString(), QStringLiteral("Process already exists: core"));
        QCOMPARE(owner.call({{"action", "stdin"}, {"process-id", "core"}, {"data", "still mine\n"}}).value("status").toString(),
                 QStringLiteral("success"));
        const QJsonObject out = owner.waitForEvent([](const QJsonObject &e) { return e.value("event") == "stdout"; });
        QCOMPARE(out.value("data").toString(), QStringLiteral("still mine\n"));
        QCOMPARE(owner.call({{"action", "stop"}, {"process-id", "core"}}).value("status").toString(), QStringLiteral("stopping"));
        QVERIFY(!owner.waitForEvent([](const QJsonObject &e) { return isFinished(e, "core"); }).isEmpty());
        for (const QJsonObject &e : other.events())
            QCOMPARE(e.value("event").toString(), QStringLiteral("connected"));
    }

    void aClientThatLeavesHasItsProcessesStopped()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient leaving, staying;
        leaving.setEventQueue(true);
        staying.setEventQueue(true);
        QVERIFY(leaving.connectToDaemon(d.socketPath()) && staying.connectToDaemon(d.socketPath()));
        for (const char *id : {"a1", "a2"})
            QCOMPARE(leaving.call(start(id, {"trapint", "0"})).value("status").toString(), QStringLiteral("started"));
        QCOMPARE(staying.call(start("b1", {"noread"})).value("status").toString(), QStringLiteral("started"));
        const qint64 a1 = staying.call({{"action", "status"}, {"process-id", "a1"}}).value("pid").toInteger();
        QVERIFY(!leaving.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());
        QVERIFY(!leaving.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());

        leaving.disconnectFromDaemon();
        const auto gone = [&](const char *id) {
            return staying.call({{"action", "status"}, {"process-id", id}}).value("error").toString()
                == QStringLiteral("Process not found: ") + id;
        };
        QTRY_VERIFY_WITH_TIMEOUT(gone("a1") && gone("a2"), 15000);
        QVERIFY(::kill(pid_t(a1), 0) != 0);
        QVERIFY(staying.call({{"action", "status"}, {"process-id", "b1"}}).value("running").toBool());
        const QString log = d.log();
        QVERIFY(log.contains(QRegularExpression(R"(Client disconnected: "[0-9a-f]+" session: 1)")));
        QVERIFY(log.contains(QRegularExpression(R"(Stopping process "a1" \(owned by disconnected client "[0-9a-f]+" \))")));
        QVERIFY(log.contains(QRegularExpression(R"(Stopping process "a2" \(owned by disconnected client)")));
        QVERIFY(!log.contains("Stopping process \"b1\""));
        QVERIFY(log.contains("Checking for stale processes in session 1"));
        // Their "finished" went to nobody: the other client heard only of its own process.
        for (const QJsonObject &e : staying.events())
            QVERIFY(e.value("event") == "connected" || e.value("process-id") == "b1");
    }

    void aSilentClientIsTimedOutAndItsProcessesStopped()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient silent, alive; // alive heartbeats on its own, as a real client does
        silent.setEventQueue(true);
        alive.setEventQueue(true);
        silent.setAutoHeartbeat(false);
        QVERIFY(silent.connectToDaemon(d.socketPath()) && alive.connectToDaemon(d.socketPath()));
        QCOMPARE(silent.call(start("quiet", {"noread"})).value("status").toString(), QStringLiteral("started"));
        QCOMPARE(alive.call(start("busy", {"noread"})).value("status").toString(), QStringLiteral("started"));
        // Dropped 10 to 15 s after its last word; the machine may be slow, so allow more.
        QVERIFY(d.waitForLog("Client timed out:", 40000));
        QTRY_COMPARE_WITH_TIMEOUT(alive.call({{"action", "status"}, {"process-id", "quiet"}}).value("error").toString(),
                                  QStringLiteral("Process not found: quiet"), 15000);
        // The forced disconnect of the time-out may be reported first, and take the processes.
        QVERIFY2(d.log().contains(QRegularExpression(
                     R"(Stopping process "quiet" \(owned by (timed-out|disconnected) client "[0-9a-f]+" \))")),
                 qPrintable(d.log()));
        QVERIFY(alive.isConnected());
        QVERIFY(alive.call({{"action", "status"}, {"process-id", "busy"}}).value("running").toBool());
        QVERIFY(!d.log().contains("Stopping process \"busy\""));
    }
};

QTEST_GUILESS_MAIN(TestRouting)
#include "tst_routing.moc"
