// The process manager with real children: launching, output and its events, exits, stdin.

#include "process/processmanager.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

QByteArray pattern(int n)
{
    QByteArray s(n, '\0');
    for (int i = 0; i < n; ++i)
        s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}

QJsonObject spec(const QString &id, const QStringList &args, const QString &exe = Helper)
{
    return QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", exe},
                       {"arguments", QJsonArray::fromStringList(args)}};
}

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

struct Events
{
    QList<QJsonObject> all;
    explicit Events(ProcessManager &pm)
    {
        QObject::connect(&pm, &ProcessManager::processEvent, [this](const QJsonObject &e) { all << e; });
    }
    QList<QJsonObject> of(const QString &id, const QString &kind = QString()) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject &e : all)
            if (e.value("process-id").toString() == id && (kind.isEmpty() || e.value("event").toString() == kind))
                out << e;
        return out;
    }
    QString text(const QString &id, const QString &kind) const
    {
        QString t;
        for (const QJsonObject &e : of(id, kind))
            t += e.value("data").toString();
        return t;
    }
    bool finished(const QString &id) const { return !of(id, "finished").isEmpty(); }
    QString exitData(const QString &id) const { return of(id, "finished").value(0).value("data").toString(); }
};

} // namespace

class TestProcessManager : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void exitCodesAndTheTable()
    {
        ProcessManager pm;
        Events ev(pm);
        QCOMPARE(testsupport::startNow(pm, spec("x0", {"exit", "0"})).value("status").toString(), QStringLiteral("started"));
        // "started" is out before the start call returns.
        QCOMPARE(ev.of("x0", "started").size(), 1);
        for (int code : {1, 255})
            testsupport::startNow(pm, spec(QString("x%1").arg(code), {"exit", QString::number(code)}));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("x255") && ev.finished("x0") && ev.finished("x1"), 15000);
        QCOMPARE(ev.exitData("x0"), QStringLiteral("0"));
        QCOMPARE(ev.exitData("x1"), QStringLiteral("1"));
        QCOMPARE(ev.exitData("x255"), QStringLiteral("255"));
        // Finished processes leave the table, and their ids are free again.
        QCOMPARE(pm.getProcessStatus("x0").value("error").toString(), QStringLiteral("Process not found: x0"));
        QCOMPARE(pm.listProcesses().value("processes").toArray().size(), 0);
        QCOMPARE(testsupport::startNow(pm, spec("x0", {"exit", "0"})).value("status").toString(), QStringLiteral("started"));
        QTRY_COMPARE_WITH_TIMEOUT(ev.of("x0", "finished").size(), 2, 15000);
    }

    void largeOutputIsExactAndBounded()
    {
        ProcessManager pm;
        Events ev(pm);
        testsupport::startNow(pm, spec("mixed", {"mixed", "40000"}));
        testsupport::startNow(pm, spec("big", {"out", QString::number(9 * 1024 * 1024 + 17)}));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("mixed") && ev.finished("big"), 60000);
        QString out, err;
        for (int i = 0; i < 40000; ++i) {
            const QString line = QString(i % 2 ? "err " : "out ") + QString::number(i) + " "
                + QString::fromLatin1(pattern(i % 300)) + "\n";
            (i % 2 ? err : out) += line;
        }
        QCOMPARE(ev.text("mixed", "stdout"), out);
        QCOMPARE(ev.text("mixed", "stderr"), err);
        QCOMPARE(ev.text("big", "stdout").toLatin1(), pattern(9 * 1024 * 1024 + 17));
        QCOMPARE(ev.of("mixed").first().value("event").toString(), QStringLiteral("started"));
        for (const QJsonObject &e : ev.of("big", "stdout"))
            QVERIFY(e.value("data").toString().size() <= ProcessManager::MaxEventBytes);
    }

    void outputBeforeExitComesBeforeFinished()
    {
        ProcessManager pm;
        Events ev(pm);
        for (int i = 0; i < 8; ++i)
            testsupport::startNow(pm, spec(QString("last%1").arg(i), {"lastwords", QString::number(200000 + i)}));
        for (int i = 0; i < 8; ++i) {
            const QString id = QString("last%1").arg(i);
            QTRY_VERIFY_WITH_TIMEOUT(ev.finished(id), 15000);
            QCOMPARE(ev.text(id, "stdout").toLatin1(), pattern(200000 + i));
            QCOMPARE(ev.exitData(id), QStringLiteral("7"));
            QCOMPARE(ev.of(id).last().value("event").toString(), QStringLiteral("finished"));
        }
        // A grandchild holding the pipe delays the end only by a bounded drain.
        testsupport::startNow(pm, spec("gc", {"grandchild"}));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("gc"), 10000);
        QCOMPARE(ev.text("gc", "stdout"), QStringLiteral("parent"));
    }

    void characterSplitAcrossFlushes()
    {
        ProcessManager pm;
        Events ev(pm);
        testsupport::startNow(pm, spec("split", {"split"}));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("split"), 15000);
        QVERIFY(ev.of("split", "stdout").size() >= 2); // the pause spans flushes
        QCOMPARE(ev.text("split", "stdout"), QString("A") + QChar(0x20AC) + "B" + QChar(0xFFFD));
    }

    void incompleteTails_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("tail");
        QTest::newRow("ascii") << QByteArray("abc") << 0;
        QTest::newRow("whole euro") << QByteArray("a\xE2\x82\xAC") << 0;
        QTest::newRow("euro lead") << QByteArray("a\xE2") << 1;
        QTest::newRow("euro two") << QByteArray("a\xE2\x82") << 2;
        QTest::newRow("four-byte three") << QByteArray("\xF0\x9F\x98") << 3;
        QTest::newRow("lone continuation") << QByteArray("a\x82") << 0;
        QTest::newRow("invalid lead") << QByteArray("a\xFF") << 0;
        QTest::newRow("overlong lead") << QByteArray("a\xC0") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
    }

    void incompleteTails()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, tail);
        QCOMPARE(ProcessManager::incompleteUtf8Tail(bytes), tail);
    }

    void launchFailureLeavesNothing()
    {
        ProcessManager pm;
        Events ev(pm);
        testsupport::startNow(pm, spec("warm", {"exit", "0"})); // thread pools and the like exist from here on
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("warm"), 15000);
        const int before = openDescriptors();
        for (int i = 0; i < 20; ++i) {
            const QJsonObject r = testsupport::startNow(pm, spec("ghost", {}, "/nonexistent/program"));
            QCOMPARE(r.value("status").toString(), QStringLiteral("error"));
            QCOMPARE(r.value("error").toString(), QStringLiteral("Failed to start process: ghost"));
        }
        QCOMPARE(testsupport::startNow(pm, spec("dup", {"noread"})).value("status").toString(), QStringLiteral("started"));
        QCOMPARE(testsupport::startNow(pm, spec("dup", {"noread"})).value("error").toString(),
                 QStringLiteral("Process already exists: dup"));
        pm.killProcess("dup");
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("dup"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), before, 15000);
        QVERIFY(ev.of("ghost").isEmpty());
    }

    void workingDirectoryAndArguments()
    {
        ProcessManager pm;
        Events ev(pm);
        QTemporaryDir dir;
        QJsonObject s = spec("cwd", {"cwd"});
        s.insert("working-dir", dir.path());
        testsupport::startNow(pm, s);
        const QStringList args{"two words", "\"quoted\"", "", "back\\", "--opt=a b", "ünï"};
        testsupport::startNow(pm, spec("args", QStringList{"args"} + args));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("cwd") && ev.finished("args"), 15000);
        QCOMPARE(ev.text("cwd", "stdout"), QDir(dir.path()).canonicalPath() + "\n");
        QString expected;
        for (const QString &a : args)
            expected += "[" + a + "]\n";
        QCOMPARE(ev.text("args", "stdout"), expected);
    }

    void statusOfARunningChild()
    {
        ProcessManager pm;
        Events ev(pm);
        testsupport::startNow(pm, spec("run", {"noread"}));
        QTRY_COMPARE_WITH_TIMEOUT(ev.text("run", "stdout"), QStringLiteral("ready\n"), 15000);
        const QJsonObject st = pm.getProcessStatus("run");
        QCOMPARE(st.value("status").toString(), QStringLiteral("success"));
        QCOMPARE(st.value("state").toInt(), 2);
        QVERIFY(st.value("pid").toInteger() > 0);
        QVERIFY(st.value("running").toBool());
        QVERIFY(QDateTime::fromString(st.value("start-time").toString(), Qt::ISODate).isValid());
        const QJsonArray list = pm.listProcesses().value("processes").toArray();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0].toObject().value("pid"), st.value("pid"));
        QVERIFY(!list[0].toObject().contains("start-time"));

        // A stop is a SIGINT to the child's group, which ends this child.
        QCOMPARE(pm.stopProcess("run").value("status").toString(), QStringLiteral("stopping"));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("run"), 15000);
        QCOMPARE(ev.exitData("run"), QStringLiteral("130"));
    }

    void stdinNeverBlocks()
    {
        ProcessManager pm;
        Events ev(pm);
        QVERIFY(!pm.writeToProcess("nobody", "x"));
        testsupport::startNow(pm, spec("echo", {"echo"}));
        QVERIFY(pm.writeToProcess("echo", "abc"));
        QVERIFY(pm.writeToProcess("echo", QByteArray("\xE2\x82\xAC\n")));
        QTRY_COMPARE_WITH_TIMEOUT(ev.text("echo", "stdout"), QString("abc") + QChar(0x20AC) + "\n", 15000);

        // A child that never reads: the pipe fills, the rest waits in a bounded queue.
        testsupport::startNow(pm, spec("deaf", {"noread"}));
        QTRY_COMPARE_WITH_TIMEOUT(ev.text("deaf", "stdout"), QStringLiteral("ready\n"), 15000);
        const QByteArray mib(1024 * 1024, 'z');
        int accepted = 0;
        while (pm.writeToProcess("deaf", mib) && accepted < 64)
            ++accepted;
        // The pipe itself takes some; the queue holds 16 MiB more, and not a byte over.
        QVERIFY2(accepted >= 16 && accepted <= 18, qPrintable(QString::number(accepted)));
        QVERIFY(pm.writeToProcess("echo", "still here\n"));
        QTRY_VERIFY_WITH_TIMEOUT(ev.text("echo", "stdout").endsWith("still here\n"), 15000);
        pm.killProcess("deaf");
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("deaf"), 15000);
        QCOMPARE(ev.exitData("deaf"), QStringLiteral("1"));
        pm.stopAll(5000);
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("echo"), 15000);
    }
};

QTEST_GUILESS_MAIN(TestProcessManager)
#include "tst_processmanager.moc"
