// The service as Windows runs it: registered, started through the service manager, a client of
// the session doing real work with real children, and the service's stop. Wine lists no user
// sessions, so the start request hands the service one for this user (a test build's option).

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
    }
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString bin(const QString &name)
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + '/' + name);
}

const QString Service = QStringLiteral("TarnService");

QString serviceState()
{
    return run(QStringLiteral("sc.exe"), {QStringLiteral("query"), Service}, 30000).out;
}

Run ctl(const QStringList &args, int timeoutMs = 120000)
{
    return run(bin("tarnctl.exe"), args, timeoutMs);
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
        run(bin("tarnd.exe"), {QStringLiteral("--unregister")}); // a leftover of an earlier run
    }

    void cleanupTestCase()
    {
        if (serviceState().contains(QLatin1String("RUNNING")))
            run(QStringLiteral("sc.exe"), {QStringLiteral("stop"), Service});
        QTRY_VERIFY_WITH_TIMEOUT(!serviceState().contains(QLatin1String("RUNNING")), 60000);
        run(bin("tarnd.exe"), {QStringLiteral("--unregister")});
    }

    void serviceServesTheSession()
    {
        Run r = run(bin("tarnd.exe"), {QStringLiteral("--register")});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        r = run(QStringLiteral("sc.exe"),
                {QStringLiteral("start"), Service, QStringLiteral("--test-session"), QStringLiteral("1")});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QTRY_VERIFY_WITH_TIMEOUT(serviceState().contains(QLatin1String("RUNNING")), 60000);

        // The pipe comes with the first session poll.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logPath = QDir::toNativeSeparators(dir.filePath(QStringLiteral("client.log")));
        QTRY_VERIFY_WITH_TIMEOUT(ctl({QStringLiteral("hello"), QStringLiteral("--log-path"), logPath}).exitCode == 0,
                                 60000);

        // A child's output and exit code come back to its owner.
        r = ctl({QStringLiteral("run"), QStringLiteral("greet"), QStringLiteral("--"), bin("winchild.exe"),
                 QStringLiteral("args"), QStringLiteral("hello world")});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY2(r.out.contains(QLatin1String("[hello world]")), qPrintable(r.out));
        r = ctl({QStringLiteral("run"), QStringLiteral("seven"), QStringLiteral("--"), bin("winchild.exe"),
                 QStringLiteral("exit"), QStringLiteral("7")});
        QCOMPARE(r.exitCode, 7);
        // A program that reads its raw command line gets it as a person would type it.
        r = ctl({QStringLiteral("run"), QStringLiteral("shell"), QStringLiteral("--"), QStringLiteral("cmd.exe"),
                 QStringLiteral("/c"), QStringLiteral("echo"), QStringLiteral("hi")});
        QVERIFY2(r.exitCode == 0 && r.out.trimmed() == QLatin1String("hi"), qPrintable(r.out + r.err));

        // A child that runs until stopped: listed, then stopped by its Ctrl+C (which it answers
        // with 42) from a second client of the session.
        QProcess owner;
        owner.start(bin("tarnctl.exe"), {QStringLiteral("run"), QStringLiteral("keep"), QStringLiteral("--"),
                                         bin("winchild.exe"), QStringLiteral("ctrlc")});
        QVERIFY(owner.waitForStarted(60000));
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += owner.readAllStandardOutput()).contains("ready")
                                     || owner.state() != QProcess::Running,
                                 60000);
        QCOMPARE(owner.state(), QProcess::Running);
        r = ctl({QStringLiteral("list")});
        QVERIFY2(r.exitCode == 0 && r.out.contains(QLatin1String("keep")), qPrintable(r.out + r.err));
        r = ctl({QStringLiteral("stop"), QStringLiteral("keep")});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY(owner.waitForFinished(60000));
        QCOMPARE(owner.exitCode(), 42);

        r = run(QStringLiteral("sc.exe"), {QStringLiteral("stop"), Service});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QTRY_VERIFY_WITH_TIMEOUT(serviceState().contains(QLatin1String("STOPPED")), 60000);
        r = run(bin("tarnd.exe"), {QStringLiteral("--unregister")});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    }
};

QTEST_GUILESS_MAIN(TestServiceWindows)
#include "tst_service_winqt.moc"
