// A slow reader slows the children: what a client has not taken holds its processes' output back
// (who hears which event, and departures, are the routing and departure transcripts').

#include "tarnclient.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QtTest>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

QJsonObject start(const QString &id, const QStringList &args, const TarnStartOptions &options = {})
{
    return TarnClient::startRequest(id, Helper, args, options);
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
            QVERIFY(c.call(start(id, {"binary", QString::number(each)})).value("status") == "started");
        // Deliberately not reading for a while: the children must be held back instead.
        c.socket()->blockSignals(true);
        QTest::qWait(3000);
        // One more, started held back, which writes and exits at once: what it left in its pipe
        // is read at its exit, not lost.
        const qint64 lastWords = 32768;
        TarnStartOptions once; // an end that is logged
        once.autoRestart = true;
        once.maxRestartAttempts = 0;
        c.send(TarnClient::startRequest("last", Helper, {"lastwords", QString::number(lastWords)}, once));
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("Process \"last\" exceeded max restart attempts"), 30000);
        c.socket()->blockSignals(false);
        c.socket()->setReadBufferSize(0);
        // What came meanwhile is told once; on Windows a full buffer is read into only once taken.
        emit c.socket()->readyRead();
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
            QVERIFY(fin.value("data") == "0");
            QCOMPARE(received.value(id), each);
        }
        QVERIFY(!c.waitForEvent([&](const QJsonObject &e) { return isFinished(e, "last"); }, 120000).isEmpty());
        QCOMPARE(received.value("last"), lastWords);
        QVERIFY(intact && !d.log().contains("dropping it") && c.isConnected());
    }

    void aChildRestartedForAClientThatTakesNothingPilesUpNothing()
    {
        // Each run writes less than a pipe holds and exits at once, so its output waits in the
        // pipe for the read at its exit; read past the bound on what waits unsent, run after run,
        // it would pile up in the daemon for as long as the client takes nothing.
        const int runs = 60;
        const qint64 each = 60000; // 352 KiB of frames
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath()));
        c.socket()->setReadBufferSize(64 * 1024);
        TarnStartOptions again;
        again.autoRestart = true;
        again.maxRestartAttempts = runs - 1;
        again.restartDelayMs = 0;
        QVERIFY(c.call(start("again", {"binary", QString::number(each), "7"}, again)).value("status") == "started");
        c.socket()->blockSignals(true);
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("Process \"again\" exceeded max restart attempts"), 240000);
        c.socket()->blockSignals(false);
        c.socket()->setReadBufferSize(0);
        emit c.socket()->readyRead();
        qint64 received = 0;
        const auto count = [&](const QJsonObject &e) {
            received += e.value("event") == "stdout" ? e.value("data").toString().size() * 6 : 0;
        };
        connect(&c, &TarnClient::eventReceived, this, count);
        for (const QJsonObject &e : c.events())
            count(e);
        QVERIFY(!c.waitForEvent([&](const QJsonObject &e) { return isFinished(e, "again"); }, 120000).isEmpty());
        // Frame bytes: what the client had not taken when it was held back (8 MiB), what one
        // process may have waiting (4 MiB), and the sockets' buffers; not the 20 MiB of all runs.
        QVERIFY2(received > 0 && received < 16 * 1024 * 1024, qPrintable(QString::number(received)));
        QVERIFY(d.log().contains("What \"again\" left in its pipes at its exit is not read") && c.isConnected());
    }
};

QTEST_GUILESS_MAIN(TestRouting)
#include "tst_routing.moc"
