// The example exchange of docs/protocol.md, replayed against the real daemon frame by frame:
// client authors copy from it.

#include "ipc/framing.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QtTest>

using testsupport::Daemon;

namespace {

struct Frame
{
    bool fromClient = false;
    QJsonObject message;
};

QList<Frame> exampleExchange(QString *error)
{
    const QString text = QString::fromUtf8(testsupport::readFile(QStringLiteral(TARND_SOURCE_DIR "/docs/protocol.md")));
    const QString section = text.section(QStringLiteral("## An example exchange"), 1).section(QStringLiteral("\n## "), 0, 0);
    QList<Frame> frames;
    static const QRegularExpression block(QStringLiteral("```json (client|daemon)\\n(.*?)\\n```"),
                                          QRegularExpression::DotMatchesEverythingOption);
    for (auto it = block.globalMatch(section); it.hasNext();) {
        const auto m = it.next();
        QJsonParseError e;
        const QJsonDocument doc = QJsonDocument::fromJson(m.captured(2).toUtf8(), &e);
        if (e.error != QJsonParseError::NoError || !doc.isObject()) {
            *error = "not a JSON object: " + m.captured(2);
            return {};
        }
        frames << Frame{m.captured(1) == QLatin1String("client"), doc.object()};
    }
    return frames;
}

// The document's programs are shell scripts; they run as the stand-in that behaves the same on
// every platform (tests/helpers/docchild.cpp). None for a script it does not know.
QStringList standInFor(const QJsonArray &shellArguments)
{
    const QString script = shellArguments.size() == 2 && shellArguments[0] == "-c" ? shellArguments[1].toString() : QString();
    if (script == "echo hello; exit 3")
        return {"print", "hello", "3"};
    if (script == "exec sleep 60")
        return {"wait"};
    return {};
}

} // namespace

class TestProtocolDoc : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void theDocumentedExchangeReplays()
    {
        QString error;
        const QList<Frame> frames = exampleExchange(&error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(frames.size() >= 10);

        Daemon d;
        QVERIFY(d.start());
        QLocalSocket socket;
        socket.connectToServer(d.socketPath());
        QVERIFY(socket.waitForConnected(15000));
        framing::FrameReader reader;
        const auto next = [&] {
            QJsonObject m;
            (void)QTest::qWaitFor([&] {
                if (reader.next(&m) == framing::FrameReader::Result::Message)
                    return true;
                if (socket.bytesAvailable() || socket.waitForReadyRead(50))
                    reader.append(socket.readAll());
                return false;
            }, 20000);
            return m;
        };
        for (int i = 0; i < frames.size(); ++i) {
            QJsonObject message = frames[i].message;
            if (frames[i].fromClient) {
                // What the client chooses is real here.
                if (message.contains("log-path"))
                    message.insert("log-path", d.path("client/tarnd.log"));
                if (message.contains("executable")) {
                    const QStringList standIn = standInFor(message.value("arguments").toArray());
                    QVERIFY2(!standIn.isEmpty(), qPrintable(QString("frame %1: no stand-in for its program").arg(i)));
                    message.insert("executable", QStringLiteral(HELPER_DOCCHILD));
                    message.insert("arguments", QJsonArray::fromStringList(standIn));
                }
                socket.write(framing::encode(message));
                QVERIFY(socket.flush() || socket.bytesToWrite() == 0);
                continue;
            }
            const QJsonObject got = next();
            QVERIFY2(!got.isEmpty(), qPrintable(QString("frame %1: nothing came").arg(i)));
            const QString diff = testsupport::frameDifference(message, got, "frame " + QString::number(i));
            QVERIFY2(diff.isEmpty(), qPrintable(diff + "\n  got " + QJsonDocument(got).toJson(QJsonDocument::Compact)));
        }
        // Nothing the document leaves out came after the last frame.
        socket.write(framing::encode({{"action", "heartbeat"}, {"request-id", "last"}}));
        QCOMPARE(next(), (QJsonObject{{"status", "success"}, {"request-id", "last"}}));
    }

    void theComparisonSeesDrift()
    {
        // The replay is only worth something if a changed key, value or element fails it.
        const QJsonObject doc{{"status", "success"}, {"pid", "<pid>"}, {"processes", QJsonArray{1}}};
        QJsonObject same = doc;
        same.insert("pid", 7);
        QVERIFY(testsupport::frameDifference(doc, same, "f").isEmpty());
        for (const auto &[key, value] : QList<std::pair<QString, QJsonValue>>{
                 {"status", "error"}, {"pid", QJsonValue::Undefined}, {"processes", QJsonArray{}}, {"x", 1}}) {
            QJsonObject drifted = same;
            drifted.insert(key, value);
            QVERIFY2(!testsupport::frameDifference(doc, drifted, "f").isEmpty(), qPrintable(key));
        }
    }
};

QTEST_GUILESS_MAIN(TestProtocolDoc)
#include "tst_protocoldoc.moc"
