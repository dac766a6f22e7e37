// The real tarnd binary at its stop: a stop during the hello's self-restart, a second stop
// request meanwhile, and a child that ignores its Ctrl+C killed at the end of the budget.

#include "tarnclient.h"
#include "testsupport.h"

#include <QLocalSocket>
#include <QtTest>

#include <algorithm>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

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
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath()));
        QVERIFY(c.call(TarnClient::startRequest("stubborn", Helper, {"ignoreint"})).value("status") == "started");
        QVERIFY(!c.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());

        // A newer client restarts the daemon, and the service manager's stop comes 1.4 s into that
        // stop. The child ignores the Ctrl+C, so the stop takes the whole budget of 10 s all the same.
        const QJsonObject hello{{"action", "client-hello"}, {"log-path", d.path("c.log")}, {"version", "1.5"}};
        QVERIFY(c.call(hello).value("status") == "restarting");
        QVERIFY(d.waitForLog("Event loop exited, stopping daemon..."));
        QElapsedTimer stopping;
        stopping.start();
        QVERIFY(c.call(TarnClient::startRequest("another", Helper, {})).value("error") == "Daemon is shutting down");
        QVERIFY(c.call({{"action", "heartbeat"}}).value("status") == "success");
        QVERIFY(c.call({{"action", "status"}, {"process-id", "stubborn"}}).value("running").toBool());
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
        const auto finished = [](const QJsonObject &e) { return e.value("event") == "finished"; };
        QVERIFY(c.waitForEvent(finished, 30000).value("data") == "1");
        const QDateTime asked = loggedAt(d.log(), "Stopping process: \"stubborn\"");
        const QDateTime killed = loggedAt(d.log(), "Forcefully terminating process \"stubborn\"");
        QVERIFY2(asked.isValid() && killed.isValid() && asked.msecsTo(killed) >= 9500, qPrintable(d.log().right(2000)));
        QCOMPARE(d.waitForExit(), 0);
        QVERIFY(testsupport::inOrder(d.log(), {"Initiating daemon restart due to version mismatch",
                                               "Service stop requested, quitting event loop...",
                                               "[ProcessManager] All processes stopped gracefully", "Daemon stopped"}));
        QCOMPARE(d.log().count("Service stop requested"), 1);
    }
};

QTEST_GUILESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
