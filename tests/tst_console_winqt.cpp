// A test build's daemon run from a console (--console), as the portable suites run it on
// Windows: side by side on pipe names of their own, stopped by the end of standard input or by
// Ctrl+C the way a service stop ends it, and failing a bad start with its exit code.

#include "process/childprocess.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QUuid>
#include <QtTest>

using testsupport::Daemon;

namespace {

// The daemon's greeting on a fresh connection, or nothing.
QByteArray greeting(const QString &socketPath)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(10000))
        return {};
    QByteArray got;
    (void)QTest::qWaitFor([&] {
        socket.waitForReadyRead(50);
        got += socket.readAll();
        return got.contains("\"connected\"");
    }, 10000);
    return got;
}

const QStringList StopInOrder{"Service stop requested", "Event loop exited, stopping daemon...", "Daemon stopped",
                              "Daemon cleanup complete"};

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (!TARND_TEST_HOOKS)
            QSKIP("built without TARND_TEST_HOOKS: the daemon has no console mode");
    }

    void daemonsSideBySideEachStopAtTheEndOfInput()
    {
        Daemon a, b;
        QVERIFY2(a.start(), qPrintable(a.log()));
        QVERIFY2(b.start(), qPrintable(b.log()));
        QVERIFY(a.socketPath() != b.socketPath());
        QVERIFY2(greeting(a.socketPath()).contains("daemon-version"), qPrintable(a.log()));
        QVERIFY2(greeting(b.socketPath()).contains("daemon-version"), qPrintable(b.log()));

        a.stop();
        QCOMPARE(a.waitForExit(), 0);
        QVERIFY2(testsupport::inOrder(a.log(), StopInOrder), qPrintable(a.log()));
        // The other one is not touched by it.
        QVERIFY(b.running());
        QVERIFY(greeting(b.socketPath()).contains("daemon-version"));
        QVERIFY(!b.log().contains("Service stop requested"));
    }

    void ctrlCStopsItAsAServiceStopWould()
    {
        // Its standard input stays open (the test holds the pipe): only the Ctrl+C can stop it.
        childprocess::LaunchError error;
        const auto daemon = childprocess::Child::launch(
            {TARND_BINARY,
             {"--console", "--test-session", "1", "--test-socket-base",
              "tarnd-ctrlc-" + QUuid::createUuid().toString(QUuid::Id128).toStdString()},
             {}},
            &error);
        QVERIFY2(daemon, error.step.c_str());
        std::string out, err;
        const auto readUntil = [&](const char *text) {
            const QDeadlineTimer deadline(30000);
            while (err.find(text) == std::string::npos && !deadline.hasExpired())
                if (!daemon->readOutput(out, err, 65536, 100))
                    break;
            return err.find(text) != std::string::npos;
        };
        QVERIFY2(readUntil("Daemon ready for connections"), err.c_str());
        QVERIFY(daemon->interrupt());
        const bool stopped = readUntil("Daemon cleanup complete");
        if (!stopped)
            daemon->terminate();
        int exitCode = -1;
        QVERIFY(daemon->waitForExit(&exitCode));
        QVERIFY2(stopped, err.c_str());
        QCOMPARE(exitCode, 0);
        QVERIFY2(testsupport::inOrder(QString::fromStdString(err), StopInOrder), err.c_str());
    }

    void aRefusedStartEndsWithItsExitCode()
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(TARND_BINARY, {"--console", "--test-session", "0"});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAll().contains("Refusing to start: --test-session needs a session number above 0"));
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console_winqt.moc"
