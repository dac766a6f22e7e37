// Process events through the real daemon: only the owner hears them, ownership ends with
// "finished", launch failures leave nothing behind, stdin never stalls the daemon, and a
// slow reader slows the child instead of growing the daemon.

#include "client/tarnclient.h"
#include "testsupport.h"

#include <QDir>
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

int descriptorsOf(qint64 pid)
{
    return int(QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

} // namespace

class TestRouting : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void onlyTheOwnerHearsItsProcess()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient owner, other;
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
        QVERIFY(c.connectToDaemon(d.socketPath()));
        c.call(start("warm", {"exit", "0"}));
        QVERIFY(!c.waitForEvent([](const QJsonObject &e) { return isFinished(e, "warm"); }).isEmpty());
        const int before = descriptorsOf(d.pid());
        c.events().clear();
        for (int i = 0; i < 25; ++i) {
            const QJsonObject r = c.call(start("ghost", {}, "/no/such/program"));
            QCOMPARE(r.value("error").toString(), QStringLiteral("Failed to start process: ghost"));
        }
        QCOMPARE(descriptorsOf(d.pid()), before);
        QCOMPARE(c.call({{"action", "list"}}).value("processes").toArray().size(), 0);
        QVERIFY(c.events().isEmpty());
        QVERIFY(d.log().contains("CreateProcess failed: 2"));
    }

    void deafChildDoesNotStallTheDaemon()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
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

    void slowReaderSlowsTheChild()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        QVERIFY(c.connectToDaemon(d.socketPath()));
        c.socket()->setReadBufferSize(256 * 1024);
        const qint64 total = 120LL * 1024 * 1024;
        QCOMPARE(c.call(start("flood", {"flood", QString::number(total)})).value("status").toString(),
                 QStringLiteral("started"));
        // Not reading for a while, with far more output than the daemon would queue for a client
        // before dropping it: the child must be held back instead.
        c.socket()->blockSignals(true);
        QTest::qWait(3000);
        c.socket()->blockSignals(false);
        c.socket()->setReadBufferSize(0);
        qint64 received = 0;
        connect(&c, &TarnClient::eventReceived, this, [&](const QJsonObject &e) {
            if (e.value("event") == "stdout")
                received += e.value("data").toString().size();
        });
        for (const QJsonObject &e : c.events())
            if (e.value("event") == "stdout")
                received += e.value("data").toString().size();
        const QJsonObject fin = c.waitForEvent([](const QJsonObject &e) { return isFinished(e, "flood"); }, 120000);
        QCOMPARE(fin.value("data").toString(), QStringLiteral("0"));
        QCOMPARE(received, total);
        QVERIFY(!d.log().contains("dropping it"));
    }
};

QTEST_GUILESS_MAIN(TestRouting)
#include "tst_routing.moc"
