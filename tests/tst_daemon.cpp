// The real tarnd binary at its stop: a stop during the hello's self-restart, and the last output
// of a child reaching a client that reads late.

#include "tarnclient.h"
#include "ipc/framing.h"
#include "testsupport.h"

#include <QLocalSocket>
#include <QtTest>

#include <algorithm>
#include <functional>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

struct Conn
{
    TarnClient client;
    QList<QJsonObject> responses;
    Conn()
    {
        client.setEventQueue(true);
        QObject::connect(&client, &TarnClient::responseReceived, [this](const QJsonObject &r) { responses << r; });
    }

    bool open(const Daemon &d) { return client.connectToDaemon(d.socketPath()); }

    // Sends exactly this object and returns the next response.
    QJsonObject ask(const QJsonObject &request)
    {
        const int before = responses.size();
        client.socket()->write(framing::encode(request));
        QElapsedTimer clock;
        clock.start();
        while (responses.size() == before && clock.elapsed() < 15000)
            QTest::qWait(10);
        return responses.size() > before ? responses.last() : QJsonObject();
    }
};

// When the daemon logged the first line holding the text, by its own clock: what the test
// sees of it comes later, by as much as the machine is loaded.
QDateTime loggedAt(const QString &log, const QString &text)
{
    const qsizetype at = log.indexOf(text);
    if (at < 0)
        return {};
    return QDateTime::fromString(log.mid(log.lastIndexOf('\n', at) + 2, 23), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

} // namespace

class TestDaemon : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanupTestCase()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void stoppingRefusesNewWorkButAnswersClients()
    {
        Daemon d;
        QVERIFY(d.start());
        Conn c;
        QVERIFY(c.open(d));
        const QJsonObject stubborn = TarnClient::startRequest("stubborn", Helper, {"ignoreint"});
        QCOMPARE(c.ask(stubborn).value("status").toString(), QStringLiteral("started"));
        QVERIFY(!c.client.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());

        // A newer client restarts the daemon, and the service manager's stop comes 1.4 s into that
        // stop. The child ignores the Ctrl+C, so the stop takes the whole budget of 10 s all the same.
        QCOMPARE(c.ask({{"action", "client-hello"}, {"log-path", d.path("c.log")}, {"version", "1.5"}}).value("status").toString(),
                 QStringLiteral("restarting"));
        QVERIFY(d.waitForLog("Event loop exited, stopping daemon..."));
        QElapsedTimer stopping;
        stopping.start();
        QJsonObject another = stubborn;
        another.insert("process-id", "another");
        QCOMPARE(c.ask(another).value("error"), QJsonValue("Daemon is shutting down"));
        QCOMPARE(c.ask({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QVERIFY(c.ask({{"action", "status"}, {"process-id", "stubborn"}}).value("running").toBool());
        QTest::qWait(int(std::max<qint64>(0, 1400 - stopping.elapsed())));
        d.stop();
        // A second stop while the first goes on does nothing.
        QVERIFY(d.waitForLog("Service stop requested"));
        d.stop();
        // Nobody new is let in (on Windows a connection is refused only after 5 s of waiting
        // for a pipe instance, which is why this comes last).
        QTRY_VERIFY_WITH_TIMEOUT([&] {
            QLocalSocket late;
            late.connectToServer(d.socketPath());
            return !late.waitForConnected(1000);
        }(), 5000);

        // Killed at the end of the budget, its end handled and sent before the clients go.
        const QJsonObject finished = c.client.waitForEvent(
            [](const QJsonObject &e) { return e.value("event") == "finished"; }, 30000);
        QCOMPARE(finished.value("data").toString(), QStringLiteral("1"));
        const QDateTime asked = loggedAt(d.log(), "Stopping process: \"stubborn\"");
        const QDateTime killed = loggedAt(d.log(), "Forcefully terminating process \"stubborn\"");
        QVERIFY2(asked.isValid() && killed.isValid() && asked.msecsTo(killed) >= 9500, qPrintable(d.log().right(2000)));
        QCOMPARE(d.waitForExit(), 0);
        QVERIFY(testsupport::inOrder(d.log(), {"Initiating daemon restart due to version mismatch",
                                               "Service stop requested, quitting event loop...",
                                               "[ProcessManager] All processes stopped gracefully", "Daemon stopped"}));
        QCOMPARE(d.log().count("Service stop requested"), 1);
    }

    void theLastOutputReachesAClientAtTheStop()
    {
        Daemon d;
        QVERIFY(d.start());
        // A bare connection, read only when the test says so.
        QLocalSocket s;
        s.connectToServer(d.socketPath());
        QVERIFY(s.waitForConnected(10000));
        framing::FrameReader reader;
        QList<QJsonObject> frames;
        const auto readFor = [&](int ms, const std::function<bool()> &enough) {
            QElapsedTimer clock;
            clock.start();
            while (!enough() && clock.elapsed() < ms && (s.bytesAvailable() > 0 || s.waitForReadyRead(100)
                                                         || s.state() == QLocalSocket::ConnectedState)) {
                reader.append(s.readAll());
                QJsonObject m;
                for (auto r = reader.next(&m); r != framing::FrameReader::Result::NeedMore; r = reader.next(&m))
                    if (r == framing::FrameReader::Result::Message)
                        frames << m;
            }
            return enough();
        };
        const auto has = [&](const char *key, const char *value) {
            return [&frames, key, value] {
                return std::any_of(frames.cbegin(), frames.cend(), [&](const QJsonObject &f) { return f.value(key) == value; });
            };
        };
        const int last = 3 * 1024 * 1024;
        s.write(framing::encode(TarnClient::startRequest("bye", Helper, {"trapint", "0", QString::number(last)})));
        QVERIFY(readFor(15000, has("data", "ready\n")));
        // Not reading while the daemon stops: the child's last words are still queued at the end.
        s.setReadBufferSize(64 * 1024);
        d.stop();
        QVERIFY(d.waitForLog("All processes stopped gracefully"));
        QTest::qWait(500);
        s.setReadBufferSize(0);
        QVERIFY2(readFor(30000, has("event", "finished")), qPrintable(d.log().right(2000)));
        qsizetype out = 0;
        for (const QJsonObject &f : std::as_const(frames)) {
            if (f.value("event") == "stdout")
                out += f.value("data").toString().size();
            if (f.value("event") == "finished")
                QCOMPARE(f.value("data").toString(), QStringLiteral("0"));
        }
        QCOMPARE(out, qsizetype(last) + 12 + 6); // "ready\n" and "interrupted\n" too
        QCOMPARE(d.waitForExit(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
