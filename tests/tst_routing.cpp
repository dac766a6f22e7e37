// Process events through the real daemon: only the owner hears them, ownership ends with
// "finished" or the owner's departure, and a slow reader slows the children instead of growing
// the daemon.

#include "tarnclient.h"
#include "testsupport.h"

#include <QJsonArray>
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

    void aSlowReaderSlowsTheChildren()
    {
        // Far more output than the daemon would queue for a client before dropping it. A control
        // byte is written as six in a JSON text: what is held back must be counted in what it will
        // be sent as, and all of one client's children held together.
        const QString mode = QStringLiteral("binary");
        const int children = 3;
        const qint64 each = 5LL * 1024 * 1024;
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
        // Their "finished" went to nobody: the other client heard only of its own process.
        for (const QJsonObject &e : staying.events())
            QVERIFY(e.value("event") == "connected" || e.value("process-id") == "b1");
    }

};

QTEST_GUILESS_MAIN(TestRouting)
#include "tst_routing.moc"
