// Reading a start request: defaults and wrong types. What a start is refused for, with its
// texts, is the refusals transcript's.

#include "process/processinfo.h"

#include <QJsonArray>
#include <QtTest>

class TestProcessInfo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void defaultsAndConversions()
    {
        ProcessInfo info;
        info.read(QJsonObject{{"process-id", "core"},
                               {"executable", "/usr/bin/core"},
                               {"arguments", QJsonArray{"-c", 5, QJsonObject(), "x y"}},
                               {"max-restart-attempts", "7"},
                               {"restart-delay-ms", 1.5},
                               {"auto-restart", "yes"},
                               {"session-id", 4},
                               {"working-dir", 3}});
        QCOMPARE(info.arguments, (QStringList{"-c", "", "", "x y"}));
        QCOMPARE(info.maxRestartAttempts, 3);
        QCOMPARE(info.restartDelayMs, 1000);
        QCOMPARE(info.autoRestart, false);
        QCOMPARE(info.sessionId, 4u);
        QCOMPARE(info.workingDir, QString());

        info.read(QJsonObject{{"process-id", "core"}, {"executable", "e"}, {"auto-restart", true},
                               {"max-restart-attempts", 0}, {"restart-delay-ms", 250}, {"arguments", "not a list"}});
        QCOMPARE(info.autoRestart, true);
        QCOMPARE(info.maxRestartAttempts, 0);
        QCOMPARE(info.restartDelayMs, 250);
        QVERIFY(info.arguments.isEmpty());

        // A crashing child is never relaunched in a tight loop.
        for (int delay : {0, 1, 99}) {
            info.read(QJsonObject{{"process-id", "core"}, {"executable", "e"}, {"restart-delay-ms", delay}});
            QCOMPARE(info.restartDelayMs, ProcessInfo::MinRestartDelayMs);
        }
    }
};

QTEST_GUILESS_MAIN(TestProcessInfo)
#include "tst_processinfo.moc"
