// tarnctl against the real daemon: run passes output, input, Ctrl+C and the exit code through;
// every command has a --json twin; the exit status tells refusal, misuse and no daemon apart.

#include "sumafter.h"
#include "tarnclient.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);
const QString Tarnctl = QStringLiteral(TARNCTL_BINARY);
const bool OnLinux = QStringLiteral(TARND_PLATFORM) == u"linux";
// What a child that takes no care of its Ctrl+C ends with: SIGINT's 128 + 2 (wine: 0).
const int EndedByCtrlC = OnLinux ? 130 : 0;

struct Result
{
    int exitCode = -100;
    QByteArray out, err;
};

// tarnctl run to its end, its input closed; one that does not end within 60 s is killed, and
// what went wrong is in err, for the failure message.
Result ctl(const QStringList &args)
{
    QProcess p;
    p.start(Tarnctl, args);
    p.closeWriteChannel();
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
    p.kill();
    p.waitForFinished();
    return {-100, {}, "did not end: " + p.errorString().toUtf8()};
}

// Empty unless the text is one JSON object.
QJsonObject parsed(const QByteArray &text) { return QJsonDocument::fromJson(text).object(); }

} // namespace

class TestTarnctl : public QObject
{
    Q_OBJECT
    Daemon *m_daemon = nullptr;
    QStringList socket() const { return {"--socket", m_daemon->socketPath()}; }
    // A run of the child helper in mode, once it says it is ready for signals.
    bool runUntilReady(QProcess &p, const QString &id, const QString &mode, QByteArray *seen)
    {
        testsupport::startOnOwnConsole(p, Tarnctl, socket() + QStringList{"run", id, "--", Helper, mode, "9"});
        seen->clear();
        return QTest::qWaitFor([&] { return (*seen += p.readAllStandardOutput()).contains("ready\n"); }, 15000);
    }

private Q_SLOTS:
    void init()
    {
        m_daemon = new Daemon;
        QVERIFY(m_daemon->start());
    }
    void cleanup()
    {
        delete m_daemon;
        m_daemon = nullptr;
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void runPassesOutputAndExitCodeThrough()
    {
        Result r = ctl(socket() + QStringList{"run", "text", "--", Helper, "say", "one\ntwo\tthree", "warn\n", "5"});
        QCOMPARE(r.exitCode, 5);
        QCOMPARE(r.out, QByteArray("one\ntwo\tthree"));
        QCOMPARE(r.err, QByteArray("warn\n"));

        // A large stream arrives exactly as the child writes it.
        QProcess direct;
        direct.start(Helper, {"out", "3000000"});
        QVERIFY(direct.waitForFinished(30000));
        r = ctl(socket() + QStringList{"run", "big", "--", Helper, "out", "3000000"});
        QVERIFY2(r.exitCode == 0 && r.out == direct.readAllStandardOutput(), qPrintable(QString::number(r.out.size())));

        // Deaths by signal keep their 128 + N.
        if (OnLinux) {
            r = ctl(socket() + QStringList{"run", "term", "--", "/bin/sh", "-c", "kill -TERM $$"});
            QCOMPARE(r.exitCode, 128 + 15);
        }

        // A crash restart is told on stderr; the last exit code is the one that counts.
        r = ctl(socket() + QStringList{"run", "crash", "--auto-restart", "--max-restart-attempts", "1",
                                        "--restart-delay-ms", "100", "--", Helper, "exit", "6"});
        QCOMPARE(r.exitCode, 6);
        QCOMPARE(r.err.count("was restarted after a crash"), 1);
    }

    void inputAndCtrlC()
    {
        // Input reaches the child; the end of tarnctl's input does not end the child's.
        QProcess echo;
        testsupport::startOnOwnConsole(echo, Tarnctl, socket() + QStringList{"run", "echo", "--", Helper, "echo"});
        QVERIFY(echo.waitForStarted(15000));
        echo.write("first line\nsecond ");
        QByteArray echoed;
        QTRY_VERIFY_WITH_TIMEOUT((echoed += echo.readAllStandardOutput()).contains("first line\n"), 15000);
        echo.write("line\n");
        echo.closeWriteChannel();
        QTRY_COMPARE_WITH_TIMEOUT(echoed += echo.readAllStandardOutput(), QByteArray("first line\nsecond line\n"), 15000);
        TarnClient watcher;
        QVERIFY(watcher.connectToDaemon(m_daemon->socketPath()));
        QVERIFY(watcher.call({{"action", "status"}, {"process-id", "echo"}}).value("running").toBool());
        // SIGTERM is taken as Ctrl+C (wine delivers no Ctrl+Break, Windows' counterpart): a stop,
        // which this child does not handle.
        if (OnLinux)
            echo.terminate();
        else
            QVERIFY(testsupport::interrupt(echo));
        QVERIFY(echo.waitForFinished(30000));
        QCOMPARE(echo.exitCode(), EndedByCtrlC);

        // A child that handles its Ctrl+C ends in its own way.
        QProcess graceful;
        QByteArray seen;
        QVERIFY(runUntilReady(graceful, "graceful", "trapint", &seen));
        QVERIFY(testsupport::interrupt(graceful));
        QVERIFY(graceful.waitForFinished(30000));
        QCOMPARE(graceful.exitCode(), 9);
        QVERIFY(seen.append(graceful.readAllStandardOutput()).endsWith("interrupted\n"));

        // One that ignores it is killed at the second.
        QProcess stubborn;
        QVERIFY(runUntilReady(stubborn, "stubborn", "ignoreint", &seen));
        QVERIFY(testsupport::interrupt(stubborn));
        QByteArray told;
        QTRY_VERIFY_WITH_TIMEOUT((told += stubborn.readAllStandardError()).contains("stopping stubborn"), 15000);
        // The stop is under way and the child still there: the second Ctrl+C is what kills it.
        QVERIFY(watcher.call({{"action", "status"}, {"process-id", "stubborn"}}).value("running").toBool());
        QVERIFY(testsupport::interrupt(stubborn));
        QVERIFY(stubborn.waitForFinished(30000));
        QCOMPARE(stubborn.exitCode(), 1);
        QVERIFY(told.append(stubborn.readAllStandardError()).contains("killing stubborn"));
        QVERIFY(m_daemon->waitForLog("Forcefully terminating process \"stubborn\""));
    }

    // The daemon queues at most 16 MiB of a child's stdin: the rest must wait in tarnctl, not be
    // dropped, and reach the child whole and in order once it reads.
    void inputLargerThanTheDaemonQueues()
    {
        QByteArray input;
        for (int i = 0; input.size() < 24 * 1024 * 1024; ++i)
            input += QByteArray::number(i) + " the quick brown fox jumps over the lazy dog\n";
        const QString flag = m_daemon->path("may-read");
        QProcess run;
        run.start(Tarnctl, socket() + QStringList{"run", "slow", "--", Helper, "sumafter", flag, QString::number(input.size())});
        QVERIFY(run.waitForStarted(15000));
        // Fed a mebibyte at a time: a Windows pipe writer counts a write as pending until all of
        // it has gone, so only a small piece shows how far tarnctl has read.
        qsizetype fed = 0;
        const auto taken = [&] {
            if (run.bytesToWrite() == 0 && fed < input.size()) {
                run.write(input.mid(fed, 1024 * 1024));
                fed += 1024 * 1024;
            }
            return std::min(fed, input.size()) - run.bytesToWrite();
        };
        // Once tarnctl has taken more than the daemon may queue, the child starts reading.
        QTRY_VERIFY_WITH_TIMEOUT(taken() > 16.5 * 1024 * 1024, 60000);
        testsupport::writeFile(flag, {});
        QTRY_VERIFY_WITH_TIMEOUT(taken() == input.size(), 60000);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += run.readAllStandardOutput()).endsWith('\n'), 60000);
        QCOMPARE(out, QByteArray::fromStdString(sumafterLine(input.constData(), std::size_t(input.size()))));
        // The helper ends on its count, as the end of tarnctl's input closes nothing on the child's side.
        QVERIFY(run.state() == QProcess::NotRunning || run.waitForFinished(30000));
        QCOMPARE(run.exitCode(), 0);
        const QByteArray told = run.readAllStandardError();
        QVERIFY2(!told.contains("input"), told.constData());
    }

    void everyCommandHasItsJsonTwin()
    {
        TarnClient owner;
        QVERIFY(owner.connectToDaemon(m_daemon->socketPath()));
        QCOMPARE(owner.call(TarnClient::startRequest("keep", Helper, {"noread"})).value("status"), QJsonValue("started"));
        const QList<QStringList> commands{
            {"list"}, {"status", "keep"}, {"send", "keep", "abc", "--newline"}, {"version"},
            {"hello", "--log-path", m_daemon->path("mine/tarnd.log")}, {"clear-logs"},
        };
        for (const QStringList &cmd : commands) {
            const Result human = ctl(socket() + cmd);
            const Result machine = ctl(socket() + cmd + QStringList{"--json"});
            QVERIFY2(human.exitCode == 0 && machine.exitCode == 0,
                     qPrintable(cmd.join(' ') + ": " + human.err + machine.err + machine.out));
            QVERIFY2(!human.out.isEmpty() && parsed(human.out).isEmpty(), qPrintable(cmd.join(' ')));
            const QJsonObject o = parsed(machine.out);
            QVERIFY2(!o.isEmpty() && o.value("status") != "error", qPrintable(cmd.join(' ') + ": " + machine.out));
            if (cmd.first() == "status") {
                QVERIFY(human.out.startsWith("keep: running, pid "));
                QCOMPARE(o.value("pid"), owner.call({{"action", "status"}, {"process-id", "keep"}}).value("pid"));
            } else if (cmd.first() == "version") {
                QCOMPARE(o.value("daemon-version").toString(), QStringLiteral("1.4.9"));
                QCOMPARE(o.value("tarnctl").toString(), QStringLiteral("1.4.9"));
            }
        }
        // Those that end a process, each on one of its own.
        for (const QString cmd : {"stop", "restart", "kill"}) {
            for (const QString &id : QStringList{cmd + "-h", cmd + "-j"})
                QCOMPARE(owner.call(TarnClient::startRequest(id, Helper, {"noread"})).value("status"), QJsonValue("started"));
            const Result human = ctl(socket() + QStringList{cmd, cmd + "-h"});
            const Result machine = ctl(socket() + QStringList{cmd, cmd + "-j", "--json"});
            QVERIFY(human.exitCode == 0 && machine.exitCode == 0);
            const QJsonObject o = parsed(machine.out);
            QVERIFY2(QStringList({"stopping", "restarting", "killed"}).contains(o.value("status").toString()),
                     machine.out.constData());
            QCOMPARE(QString::fromUtf8(human.out), o.value("message").toString() + "\n");
        }

        // The run's twin: one object per line, answer and events.
        const Result run = ctl(socket() + QStringList{"run", "--json", "j", "--", Helper, "say", "hi\n", "", "3"});
        QCOMPARE(run.exitCode, 3);
        QStringList events;
        for (const QByteArray &line : run.out.trimmed().split('\n')) {
            const QJsonObject o = parsed(line);
            events << (o.contains("event") ? o.value("event").toString() : "answer:" + o.value("status").toString());
        }
        QVERIFY2(events.removeAll("answer:started") == 1, qPrintable(events.join(',')));
        QCOMPARE(events, (QStringList{"started", "stdout", "finished"}));
    }

    void errorsAndUsage()
    {
        // An error answer: 1, with the daemon's text, and its JSON.
        Result r = ctl(socket() + QStringList{"status", "nobody"});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err, QByteArray("tarnctl: Process not found: nobody\n"));
        r = ctl(socket() + QStringList{"stop", "nobody", "--json"});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(parsed(r.out).value("error").toString(), QStringLiteral("Process not found: nobody"));

        // Usage errors: 2, and nothing reaches the daemon.
        const QList<QStringList> wrong{
            {}, {"frobnicate"}, {"status"}, {"status", "a", "b"}, {"run", "only-an-id"},
            {"run", "x", "--max-restart-attempts", "many", "--", "/bin/true"}, {"list", "--no-such-option"},
            {"hello"}, {"completion", "zsh"},
        };
        for (const QStringList &args : wrong) {
            r = ctl(socket() + args);
            QVERIFY2(r.exitCode == 2 && !r.err.isEmpty(), qPrintable(args.join(' ') + ": " + QString::number(r.exitCode)));
        }
        QVERIFY(!m_daemon->log().contains("action: \"start\""));

        // No daemon: 3, naming the socket and what to check.
        const QString missing = m_daemon->path("run/tarnd-77");
        for (const QStringList &args : QList<QStringList>{{"list"}, {"run", "x", "--", "/bin/true"}, {"version"}}) {
            r = ctl(QStringList{"--socket", missing} + args);
            QCOMPARE(r.exitCode, 3);
            QVERIFY2(r.err.contains(missing.toUtf8()) && r.err.contains("Is tarnd running"), r.err.constData());
        }
        // The variable chooses the socket as the option does.
        qputenv("TARND_SOCKET", m_daemon->socketPath().toUtf8());
        r = ctl({"version"});
        qunsetenv("TARND_SOCKET");
        QCOMPARE(r.exitCode, 0);
    }
};

QTEST_GUILESS_MAIN(TestTarnctl)
#include "tst_tarnctl.moc"
