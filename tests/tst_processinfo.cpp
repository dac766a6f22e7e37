// Reading a start request: defaults, wrong types and validation.

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
        info.restartAttempts = 2;
        info.parse(QJsonObject{{"process-id", "core"},
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
        QCOMPARE(info.restartAttempts, 2); // a reparse at restart keeps the count

        info.parse(QJsonObject{{"process-id", "core"}, {"executable", "e"}, {"auto-restart", true},
                               {"max-restart-attempts", 0}, {"restart-delay-ms", 250}, {"arguments", "not a list"}});
        QCOMPARE(info.autoRestart, true);
        QCOMPARE(info.maxRestartAttempts, 0);
        QCOMPARE(info.restartDelayMs, 250);
        QVERIFY(info.arguments.isEmpty());

        // A crashing child is never relaunched in a tight loop.
        for (int delay : {0, 1, 99}) {
            info.parse(QJsonObject{{"process-id", "core"}, {"executable", "e"}, {"restart-delay-ms", delay}});
            QCOMPARE(info.restartDelayMs, ProcessInfo::MinRestartDelayMs);
        }
    }

    void validation()
    {
        const QString nul = QString("x") + QChar(0) + "y";
        const auto with = [](const QString &key, const QJsonValue &value) {
            return QJsonObject{{"process-id", "a"}, {"executable", "b"}, {key, value}};
        };
        const QList<std::pair<QJsonObject, QString>> cases{
            {QJsonObject{{"process-id", "a"}, {"executable", "b"}}, ""},
            {QJsonObject{{"executable", "b"}}, "Missing or empty process-id"},
            {with("process-id", 1), "Missing or empty process-id"},
            {{{"process-id", ""}}, "Missing or empty process-id"}, // the id before the executable
            {QJsonObject{{"process-id", "a"}}, "Missing or empty executable"},
            {with("executable", QJsonArray{"b"}), "Missing or empty executable"},
            {with("executable", nul), "Invalid executable: contains a NUL character"},
            {with("max-restart-attempts", -1), "Invalid max-restart-attempts: must not be negative"},
            {with("arguments", QJsonArray{"ok", nul}), "Invalid arguments: an argument contains a NUL character"},
            {with("working-dir", nul), "Invalid working-dir: contains a NUL character"},
            {with("restart-delay-ms", -100), "Invalid restart-delay-ms: must not be negative"},
            {QJsonObject{{"process-id", "a"}, {"executable", "b"}, {"max-restart-attempts", 0}, {"restart-delay-ms", 0}}, ""}};
        for (const auto &[spec, problem] : cases)
            QCOMPARE(ProcessInfo::validate(spec), problem);
    }
};

QTEST_GUILESS_MAIN(TestProcessInfo)
#include "tst_processinfo.moc"
