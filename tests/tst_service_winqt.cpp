// The service as Windows runs it: registered, started through the service manager, a client of
// the session doing real work with real children, and the service's stop. Wine lists no user
// sessions, so the start request hands the service one for this user (a test build's option).

#include "client/tarnclient.h"
#include "ipc/serverpeer.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

struct Run
{
    int exitCode = -1; // -1: did not finish in time (then killed)
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &args, int timeoutMs = 120000)
{
    QProcess p;
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(timeoutMs)) {
        r.err = p.errorString();
        return r;
    }
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(10000);
    } else if (p.exitStatus() == QProcess::NormalExit) {
        r.exitCode = p.exitCode();
    } else {
        r.err = u"crashed with 0x%1\n"_s.arg(uint(p.exitCode()), 0, 16);
    }
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err += QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString bin(const QString &name)
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + '/' + name);
}

const QString Service = u"TarnService"_s;

QString serviceState()
{
    return run(u"sc.exe"_s, {u"query"_s, Service}, 30000).out;
}

Run ctl(const QStringList &args)
{
    return run(bin(u"tarnctl.exe"_s), args);
}

} // namespace

class TestServiceWindows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!TARND_TEST_HOOKS)
            QSKIP("built without TARND_TEST_HOOKS: the service could not be given a session under wine");
        run(bin(u"tarnd.exe"_s), {u"--unregister"_s}); // a leftover of an earlier run
    }

    void cleanup()
    {
        // After each case, passed or failed: a start may still be under way (a reconnecting
        // client asks for one), so the service is stopped once it runs and removed once it has
        // stopped, or the next case, or the next suite of the service manager, finds it.
        const auto stopped = [] {
            const QString state = serviceState();
            if (state.contains("RUNNING"_L1))
                run(u"sc.exe"_s, {u"stop"_s, Service});
            return !state.contains("RUNNING"_L1) && !state.contains("_PENDING"_L1);
        };
        QTRY_VERIFY_WITH_TIMEOUT(stopped(), 60000);
        run(bin(u"tarnd.exe"_s), {u"--unregister"_s});
        QTRY_VERIFY_WITH_TIMEOUT(!serviceState().contains("STATE"_L1), 30000);
    }

    void serviceServesTheSession()
    {
        Run r = run(bin(u"tarnd.exe"_s), {u"--register"_s});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        r = run(u"sc.exe"_s, {u"start"_s, Service, u"--test-session"_s, u"1"_s});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QTRY_VERIFY_WITH_TIMEOUT(serviceState().contains("RUNNING"_L1), 60000);

        // The pipe comes with the first session poll. Wine runs the service as this user, not
        // as LocalSystem: a client refuses it unless told to expect this user.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logPath = QDir::toNativeSeparators(dir.filePath(u"client.log"_s));
        QTRY_VERIFY_WITH_TIMEOUT(ctl({u"hello"_s, u"--log-path"_s, logPath}).err.contains(
                                     "), not by the daemon's user LocalSystem"_L1),
                                 60000);
        QCOMPARE(ctl({u"list"_s}).exitCode, 3);
        QVERIFY(testsupport::expectDaemonAsTester());
        QCOMPARE(ctl({u"hello"_s, u"--log-path"_s, logPath}).exitCode, 0);

        // A child's output and exit code come back to its owner.
        const QString child = bin(u"childhelper.exe"_s);
        r = ctl({u"run"_s, u"greet"_s, u"--"_s, child, u"args"_s, u"hello world"_s});
        QVERIFY2(r.exitCode == 0 && r.out.contains("[hello world]"_L1), qPrintable(r.out + r.err));
        r = ctl({u"run"_s, u"seven"_s, u"--"_s, child, u"exit"_s, u"7"_s});
        QVERIFY2(r.exitCode == 7, qPrintable(u"exit %1: "_s.arg(r.exitCode) + r.out + r.err));

        // A child that runs until stopped: listed, then stopped by its Ctrl+C (which it answers
        // with 42) from a second client of the session.
        QProcess owner;
        owner.start(bin(u"tarnctl.exe"_s), {u"run"_s, u"keep"_s, u"--"_s, child, u"trapint"_s, u"42"_s});
        QVERIFY(owner.waitForStarted(60000));
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += owner.readAllStandardOutput()).contains("ready")
                                     || owner.state() != QProcess::Running,
                                 60000);
        QCOMPARE(owner.state(), QProcess::Running);
        r = ctl({u"list"_s});
        QVERIFY2(r.exitCode == 0 && r.out.contains("keep"_L1), qPrintable(r.out + r.err));
        r = ctl({u"stop"_s, u"keep"_s});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY(owner.waitForFinished(60000));
        QCOMPARE(owner.exitCode(), 42);

        r = run(u"sc.exe"_s, {u"stop"_s, Service});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QTRY_VERIFY_WITH_TIMEOUT(serviceState().contains("STOPPED"_L1), 60000);
        r = run(bin(u"tarnd.exe"_s), {u"--unregister"_s});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        // Deleted is only marked for deletion until the service manager lets go of it, and wine
        // still starts a service so marked.
        QTRY_VERIFY_WITH_TIMEOUT(!serviceState().contains("STATE"_L1), 30000);
    }

    void clientsStartTheServiceOnDemand()
    {
        QVERIFY(testsupport::expectDaemonAsTester());
        Run r = ctl({u"version"_s});
        QVERIFY2(r.exitCode == 3 && r.err.contains("the service is not installed"_L1), qPrintable(r.out + r.err));

        // Registered with the session it is to serve in its command line, as no start request
        // of the client's carries one.
        r = run(u"sc.exe"_s, {u"create"_s, Service, u"binpath="_s, u"\"%1\" --test-session 1"_s.arg(bin(u"tarnd.exe"_s))});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        r = ctl({u"--no-start"_s, u"version"_s});
        QVERIFY2(r.exitCode == 3, qPrintable(r.out + r.err));
        QVERIFY(!serviceState().contains("RUNNING"_L1));
        r = ctl({u"version"_s});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY(serviceState().contains("RUNNING"_L1));

        // An application that asked for it comes back to a service that died under it, starting
        // it again.
        TarnClient client;
        client.setAutoReconnect(true, 60000);
        QSignalSpy ready(&client, &TarnClient::ready);
        QSignalSpy lost(&client, &TarnClient::daemonLost);
        client.open(60000);
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 60000);
        // The service's own process, by its number: other suites' daemons run beside it.
        QLocalSocket pipe;
        pipe.connectToServer(TarnClient::defaultSocketPath());
        QVERIFY(pipe.waitForConnected(10000));
        serverpeer::Server server;
        std::string error;
        QVERIFY2(serverpeer::identify(pipe.socketDescriptor(), &server, &error), error.c_str());
        pipe.abort();
        r = run(u"taskkill.exe"_s, {u"/F"_s, u"/PID"_s, QString::number(server.pid)});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 90000);
        QCOMPARE(lost.count(), 0);
        QVERIFY(serviceState().contains("RUNNING"_L1));
        client.disconnectFromDaemon();
    }
};

QTEST_GUILESS_MAIN(TestServiceWindows)
#include "tst_service_winqt.moc"
