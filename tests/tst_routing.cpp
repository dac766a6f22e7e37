// Process events through the real daemon: only the owner hears them, ownership ends with
// "finished" or the owner's departure, and a slow reader slows the children.

#include "tarnclient.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

QJsonObject start(const QString &id, const QStringList &args)
{
    return TarnClient::startRequest(id, Helper, args);
}

QJsonObject status(const QString &id)
{
    return {{"action", "status"}, {"process-id", id}};
}

bool isFinished(const QJsonObject &e, const QString &id)
{
    return e.value("process-id").toString() == id && e.value("event").toString() == "finished";
}

// Two clients of one daemon, their events queued for the test to read.
bool openBoth(const Daemon &d, TarnClient &a, TarnClient &b)
{
    a.setEventQueue(true);
    b.setEventQueue(true);
    return a.connectToDaemon(d.socketPath()) && b.connectToDaemon(d.socketPath());
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
        QVERIFY(openBoth(d, owner, other));

        // The order of the owner's own frames is pinned by tst_protocoldoc's replay.
        QCOMPARE(owner.call(start("p", {"mixed", "200"})).value("status").toString(), QStringLiteral("started"));
        const QJsonObject fin = owner.waitForEvent([](const QJsonObject &e) { return isFinished(e, "p"); });
        QCOMPARE(fin.value("data").toString(), QStringLiteral("0"));
        QVERIFY(std::any_of(owner.events().begin(), owner.events().end(),
                            [](const QJsonObject &e) { return e.value("event") == "stdout"; }));
        // The other client heard nothing but its own "connected".
        QCOMPARE(other.call({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QCOMPARE(other.events().size(), 1);
        QCOMPARE(other.events()[0].value("event").toString(), QStringLiteral("connected"));

        // After "finished" the id is free: the other client may start it and is its owner now.
        QCOMPARE(owner.call(status("p")).value("error").toString(), QStringLiteral("Process not found: p"));
        owner.events().clear();
        QCOMPARE(other.call(start("p", {"out", "10"})).value("status").toString(), QStringLiteral("started"));
        QVERIFY(!other.waitForEvent([](const QJsonObject &e) { return isFinished(e, "p"); }).isEmpty());
        QCOMPARE(owner.call({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QVERIFY(owner.events().isEmpty());
    }

    void aSlowReaderSlowsTheChildren()
    {
        // Far more than the daemon queues for a client before dropping it; a control byte is six
        // in JSON, so what is held back must be counted as sent, all of a client's children together.
        const qint64 each = 5LL * 1024 * 1024;
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath()));
        c.socket()->setReadBufferSize(256 * 1024);
        const QStringList ids{"binary0", "binary1", "binary2"};
        for (const QString &id : ids)
            QCOMPARE(c.call(start(id, {"binary", QString::number(each)})).value("status").toString(), QStringLiteral("started"));
        // Deliberately not reading for a while: the children must be held back instead.
        c.socket()->blockSignals(true);
        QTest::qWait(3000);
        // One more, started held back, which writes and exits at once: what it left in its pipe
        // is read at its exit (the end of it is logged after), not lost.
        const qint64 lastWords = 32768;
        TarnStartOptions once;
        once.autoRestart = true;
        once.maxRestartAttempts = 0;
        c.send(TarnClient::startRequest("last", Helper, {"lastwords", QString::number(lastWords)}, once));
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("Process \"last\" exceeded max restart attempts"), 30000);
        c.socket()->blockSignals(false);
        c.socket()->setReadBufferSize(0);
        QHash<QString, qint64> received;
        bool intact = true;
        const auto count = [&](const QJsonObject &e) {
            if (e.value("event") != "stdout")
                return;
            const QString data = e.value("data").toString();
            const QString id = e.value("process-id").toString();
            received[id] += data.size();
            intact = intact && (!ids.contains(id) || data.count(QChar(1)) == data.size());
        };
        connect(&c, &TarnClient::eventReceived, this, count);
        for (const QJsonObject &e : c.events())
            count(e);
        for (const QString &id : ids) {
            const QJsonObject fin = c.waitForEvent([&](const QJsonObject &e) { return isFinished(e, id); }, 120000);
            QCOMPARE(fin.value("data").toString(), QStringLiteral("0"));
            QCOMPARE(received.value(id), each);
        }
        QVERIFY(!c.waitForEvent([&](const QJsonObject &e) { return isFinished(e, "last"); }, 120000).isEmpty());
        QCOMPARE(received.value("last"), lastWords);
        QVERIFY(intact);
        QVERIFY(!d.log().contains("dropping it"));
        QVERIFY(c.isConnected());
    }

    void aRefusedStartLeavesTheOwnerAlone()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient owner, other;
        QVERIFY(openBoth(d, owner, other));
        QCOMPARE(owner.call(start("core", {"echo"})).value("status").toString(), QStringLiteral("started"));
        // Another client's start of the same id, and the owner retrying its own.
        for (TarnClient *c : {&other, &owner})
            QCOMPARE(c->call(start("core", {"echo"})).value("error").toString(), QStringLiteral("Process already exists: core"));
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
        TarnClient leaving, staying, silent; // silent stops heartbeating
        silent.setAutoHeartbeat(false);
        QVERIFY(openBoth(d, leaving, staying) && silent.connectToDaemon(d.socketPath()));
        QCOMPARE(silent.call(start("s1", {"noread"})).value("status").toString(), QStringLiteral("started"));
        for (const char *id : {"a1", "a2"})
            QCOMPARE(leaving.call(start(id, {"trapint", "0"})).value("status").toString(), QStringLiteral("started"));
        QCOMPARE(staying.call(start("b1", {"noread"})).value("status").toString(), QStringLiteral("started"));
        const qint64 a1 = staying.call(status("a1")).value("pid").toInteger();
        for (int i = 0; i < 2; ++i)
            QVERIFY(!leaving.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());

        leaving.disconnectFromDaemon();
        const auto gone = [&](const QString &id) {
            return staying.call(status(id)).value("error").toString() == "Process not found: " + id;
        };
        QTRY_VERIFY_WITH_TIMEOUT(gone("a1") && gone("a2"), 15000);
        QVERIFY(::kill(pid_t(a1), 0) != 0);
        QVERIFY(staying.call(status("b1")).value("running").toBool());
        // Their "finished" went to nobody: the other client heard only of its own process.
        for (const QJsonObject &e : staying.events())
            QVERIFY(e.value("event") == "connected" || e.value("process-id") == "b1");

        // The silent one is dropped 10 to 15 s after its last word (more on a slow machine).
        QTRY_VERIFY_WITH_TIMEOUT(gone("s1"), 40000);
        QVERIFY(staying.call(status("b1")).value("running").toBool());
        const QString log = d.log();
        QVERIFY(log.contains(QRegularExpression(R"(Client "[0-9a-f]+" timed out \(no heartbeat for 10000 ms\))")));
        QVERIFY(log.contains(QRegularExpression(R"(INFO: Client timed out: "[0-9a-f]+" session: [01]\n)")));
        // The time-out closes the connection, whose report may come first and take the process.
        QVERIFY(log.contains(QRegularExpression(R"(Stopping process "s1" \(owned by (timed-out|disconnected) client "[0-9a-f]+" \))")));
        QVERIFY(!log.contains("Stopping process \"b1\""));
    }
};

QTEST_GUILESS_MAIN(TestRouting)
#include "tst_routing.moc"
