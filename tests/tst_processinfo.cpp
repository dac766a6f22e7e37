// Reading a start request: what a record keeps is bounded. What a start is refused for otherwise,
// with its texts, is the refusals transcript's.

#include "process/processinfo.h"

#include <QJsonArray>
#include <QtTest>

class TestProcessInfo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // What a record keeps of its request is bounded, every kept text counted: 64 records of
    // 16 MiB "privileges" each took 2 GiB of the daemon's memory.
    void keptTextsAreBounded()
    {
        const qsizetype room = ProcessInfo::MaxKeptChars - 2; // beside "e" and "w"
        const QString error = QStringLiteral("Invalid start: its texts are longer than 262144 characters together");
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
            QJsonObject request{{"process-id", "core"}, {"executable", "e"}, {"working-dir", "w"}, {field, values.first}};
            QVERIFY2(info.read(request).isEmpty(), field);
            request.insert(field, values.second);
            QCOMPARE(info.read(request), error);
        }
    }
};

QTEST_GUILESS_MAIN(TestProcessInfo)
#include "tst_processinfo.moc"
