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

    // What a record keeps of its request is bounded, every kept text counted: 64 records of
    // 16 MiB "privileges" each took 2 GiB of the daemon's memory.
    void keptTextsAreBounded()
    {
        const qsizetype room = ProcessInfo::MaxKeptChars - 2; // beside "e" and "w"
        const QString error = QStringLiteral("Invalid start: its texts are longer than 262144 characters together");
        const auto spec = [](const QString &field, const QJsonValue &value) {
            return QJsonObject{{"process-id", "core"}, {"executable", "e"}, {"working-dir", "w"}, {field, value}};
        };
        const QString fits(room, QChar('x')), over(room + 1, QChar('x'));
        // {"a":"..."} is 8 characters beside its value.
        const std::initializer_list<std::pair<const char *, std::pair<QJsonValue, QJsonValue>>> cases{
            {"privileges", {fits, over}},
            {"arguments", {QJsonArray{fits.left(10), fits.mid(10)}, QJsonArray{over.left(10), over.mid(10)}}},
            {"environment", {QJsonObject{{"a", fits.mid(8)}}, QJsonObject{{"a", over.mid(8)}}}},
            {"tun-dns-override", {QJsonObject{{"address", fits.left(5)}, {"iface", fits.mid(5)}},
                                  QJsonObject{{"address", over.left(5)}, {"iface", over.mid(5)}}}},
        };
        for (const auto &[field, values] : cases) {
            ProcessInfo info;
            QVERIFY2(info.read(spec(field, values.first)).isEmpty(), field);
            QCOMPARE(info.read(spec(field, values.second)), error);
        }
    }
};

QTEST_GUILESS_MAIN(TestProcessInfo)
#include "tst_processinfo.moc"
