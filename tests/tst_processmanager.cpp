// The process manager with real children: output and its events, failed launches, stdin.

#include "process/outputframes.h"
#include "process/processmanager.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QOperatingSystemVersion>
#include <QtTest>

using namespace Qt::StringLiterals;

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

QString start(ProcessManager &pm, const QJsonObject &s)
{
    const QJsonObject r = testsupport::startNow(pm, s);
    return r.contains("error") ? r.value("error").toString() : r.value("status").toString();
}

// Linux; Windows handles are counted by the Windows layer's own tests.
int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

const bool Windows = QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows;

using Events = testsupport::ProcessEvents;

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

    void outputIsExactBoundedAndComplete()
    {
        // Large, interleaved, split mid-character, and more than a pipe holds written just
        // before the exit: all of it exactly, in bounded frames, before "finished".
        ProcessManager pm;
        Events ev(pm);
        start(pm, spec("mixed", {"mixed", "40000"}));
        start(pm, spec("big", {"out", QString::number(9 * 1024 * 1024 + 17)}));
        for (int i = 0; i < 8; ++i)
            start(pm, spec(QString("last%1").arg(i), {"lastwords", QString::number(200000 + i)}));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("mixed") && ev.finished("big"), 60000);
        QString out, err;
        for (int i = 0; i < 40000; ++i)
            (i % 2 ? err : out) += QString(i % 2 ? "err " : "out ") + QString::number(i) + " "
                + QString::fromLatin1(pattern(i % 300)) + "\n";
        QCOMPARE(ev.text("mixed"), out);
        QCOMPARE(ev.text("mixed", "stderr"), err);
        QCOMPARE(ev.text("big").toLatin1(), pattern(9 * 1024 * 1024 + 17));
        QVERIFY(ev.of("big", "stdout").size() >= 9); // frames are bounded, and the bound is near
        QVERIFY(ev.largestFrame <= OutputFrames::MaxFrameBytes);
        QVERIFY(ev.of("big", "undecodable").isEmpty());
        for (int i = 0; i < 8; ++i) {
            const QString id = QString("last%1").arg(i);
            QTRY_VERIFY_WITH_TIMEOUT(ev.finished(id), 15000);
            QCOMPARE(ev.text(id).toLatin1(), pattern(200000 + i));
            QCOMPARE(ev.exitData(id), u"7"_s);
            QCOMPARE(ev.of(id).last().value("event").toString(), u"finished"_s);
        }
        // The first half of a character waits for the rest, which comes only once the "A" before it
        // was sent: a fixed pause was not always long enough for a reader on a loaded machine.
        start(pm, spec("split", {"split"}));
        QTRY_COMPARE_WITH_TIMEOUT(ev.text("split"), u"A"_s, 15000);
        QVERIFY(pm.writeToProcess("split", "go"));
        QTRY_VERIFY_WITH_TIMEOUT(ev.finished("split"), 15000);
        QCOMPARE(ev.text("split"), QString("A") + QChar(0x20AC) + "B" + QChar(0xFFFD));
    }

    void failuresAndQuietLeaveNothingAndStdinNeverBlocks()
    {
        ProcessManager pm;
        Events ev(pm);
        start(pm, spec("echo", {"echo"})); // thread pools and the like exist from here on
        const int before = openDescriptors();
        for (int i = 0; i < 20; ++i)
            QCOMPARE(start(pm, spec("ghost", {}, "/nonexistent/program")), u"Failed to start process: ghost"_s);
        if (!Windows)
            QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), before, 15000);
        QVERIFY(ev.of("ghost").isEmpty());
        start(pm, spec("deaf", {"noread"}));
        QTRY_COMPARE_WITH_TIMEOUT(ev.text("deaf"), u"ready\n"_s, 15000);
        // Its output gone out and the children quiet, the process manager wakes for nothing.
        const auto ticking = [&pm] {
            const QList<QTimer *> timers = pm.findChildren<QTimer *>();
            return std::any_of(timers.begin(), timers.end(), [](const QTimer *t) { return t->isActive(); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(!ticking(), 5000);
        // A child that never reads: the pipe fills, the rest waits in a bounded queue.
        const QByteArray mib(1024 * 1024, 'z');
        int accepted = 0;
        while (pm.writeToProcess("deaf", mib) && accepted < 64)
            ++accepted;
        // The pipe itself takes some; the queue holds 16 MiB more, and not a byte over.
        QVERIFY2(accepted >= 16 && accepted <= 18, qPrintable(QString::number(accepted)));
        // What a stopped child was still to be given goes at once, not with its exit.
        QVERIFY(pm.queuedInput("deaf") > 15 * 1024 * 1024);
        pm.stopProcess("deaf");
        QCOMPARE(pm.queuedInput("deaf"), 0);
        QVERIFY(pm.writeToProcess("echo", "still here\n"));
        QTRY_COMPARE_WITH_TIMEOUT(ev.text("echo"), u"still here\n"_s, 15000);
        pm.stopAll(5000);
        QVERIFY(ev.finished("deaf") && ev.finished("echo"));
    }
};

QTEST_GUILESS_MAIN(TestProcessManager)
#include "tst_processmanager.moc"
