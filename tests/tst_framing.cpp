// Frames on the wire and the client connection that reads and writes them.

#include "ipc/clientconnection.h"
#include "ipc/framing.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <limits>

using framing::FrameReader;

namespace {

QByteArray rawFrame(const QByteArray &payload)
{
    QByteArray frame = QByteArray(4, '\0') + payload;
    framing::setLength(frame);
    return frame;
}

} // namespace

class TestFraming : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void compactJsonMatchesTheLibrary()
    {
        QCOMPARE(framing::encode(QJsonObject{{"a", 1}}), QByteArray::fromHex("00000007") + QByteArray("{\"a\":1}"));
        // Every code unit class (controls, quotes, backslash, DEL, Latin-1, BMP, surrogate pairs,
        // lone surrogates) in order and in random mixtures, as values and as keys; every kind of
        // value; numbers whole on both sides of 2^53, stored as integers or doubles, parsed or
        // made, and fractions.
        QString all;
        for (char16_t u = 0; u < 0x800; ++u)
            all.append(QChar(u));
        all += QString::fromUtf8("€ 漢字 \xF0\x9F\x98\x80 end") + QChar(0xD800) + "x" + QChar(0xDC00) + QChar(0xFFFF);
        QJsonArray values{all, QString(100000, QChar('\n')), true, false, QJsonValue::Null,
                          QJsonObject{{"k", "x\"y"}}, QJsonArray{1, "two", QJsonArray{}, QJsonObject{}},
                          0.0, -0.0, 0.1, -2.5e-7, 1e15, 1e16, 1e20, 1e300,
                          9007199254740991.0, 9007199254740992.0, -9007199254740993.0,
                          std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min()};
        QRandomGenerator rng(42);
        for (int i = 0; i < 2000; ++i) {
            QString r;
            for (int k = int(rng.bounded(100)); k > 0; --k)
                r.append(QChar(char16_t(rng.bounded(4) == 0 ? rng.bounded(0x10000) : rng.bounded(0x80))));
            const qint64 n = qint64(rng.generate64() >> rng.bounded(1, 64)) * (i % 2 ? -1 : 1);
            values << r << n << double(n) << QJsonDocument::fromJson("[" + QByteArray::number(n) + ".0]").array().at(0);
        }
        for (const QJsonValue &v : std::as_const(values)) {
            const QJsonObject o{{"v", v}, {v.toString().left(8), v.toString().right(3)}};
            QCOMPARE(framing::compactJson(o), QJsonDocument(o).toJson(QJsonDocument::Compact));
        }
        // A member added as the frame is written lands where an insert puts it: first, last,
        // between, or in place of one of the same key.
        for (const QJsonObject &o : {QJsonObject(), {{"request-id", "old"}, {"z", 1}}, {{"a", 1}, {"n", 2.5}}}) {
            for (const char *key : {"request-id", "0", "~", "n", "a"}) {
                QJsonObject copy = o;
                copy.insert(key, 42);
                QCOMPARE(framing::encode(o, {key, 42}), framing::encode(copy));
            }
        }
    }

    // A stream dripped a byte at a time: each object comes once its last byte has, not before;
    // payloads that are no object, between them, are dropped and the reader keeps step.
    void reassemblesAFrameDrippedSlowly()
    {
        const QJsonObject one{{"n", 1}, {"text", "é ünï"}};
        const QByteArray first = framing::encode(one);
        const QList<QByteArray> bad{"{\"a\":", "[{\"a\":1}]", "42", "", "{\"a\":1} x", "{\"a\":1}{\"b\":2}"};
        QByteArray stream = first;
        for (const QByteArray &payload : bad)
            stream += rawFrame(payload);
        stream += rawFrame(" { \"n\" : 2 } ");
        FrameReader reader;
        QList<QJsonObject> got;
        qsizetype dropped = 0;
        for (qsizetype i = 0; i < stream.size(); ++i) {
            reader.append(stream.mid(i, 1));
            QJsonObject o;
            for (FrameReader::Result r; (r = reader.next(&o)) != FrameReader::Result::NeedMore;) {
                QVERIFY(r != FrameReader::Result::Oversized);
                if (r == FrameReader::Result::Message)
                    got << o;
                else
                    ++dropped;
            }
            QCOMPARE(got.size(), int(i + 1 >= first.size()) + int(i + 1 == stream.size()));
        }
        QVERIFY(dropped == bad.size() && reader.buffered() == 0);
        QCOMPARE(got, (QList<QJsonObject>{one, QJsonObject{{"n", 2}}}));
    }

    // A client pipelining requests has a turn's share taken at a time, the rest on later turns
    // (after every other connection's), whole and in order; none is taken once it has gone. A
    // frame that is no request (here one between each two) counts toward the share all the same.
    void pipelinedRequestsTakeTurns()
    {
        for (const auto &[leaves, junk] : {std::pair{false, false}, {true, false}, {false, true}}) {
            testsupport::SocketPair pair;
            QVERIFY(pair.open());
            ClientConnection conn;
            conn.adoptSocket(pair.serverSide);
            QList<int> order;
            int firstTurn = -1, afterDeparture = 0;
            bool departed = false;
            connect(&conn, &ClientConnection::clientDisconnected, this, [&] { departed = true; });
            connect(&conn, &ClientConnection::messageReceived, this, [&](const QString &, const QJsonObject &m) {
                afterDeparture += departed;
                // Queued behind whatever the connection queues for itself at the end of its share.
                if (order.isEmpty())
                    QMetaObject::invokeMethod(this, [&] { firstTurn = int(order.size()); }, Qt::QueuedConnection);
                order << m.value("n").toInt();
            });
            QByteArray all;
            for (int n = 0; n < 100; ++n)
                all += framing::encode(QJsonObject{{"n", n}}) + (junk ? rawFrame("[]") : QByteArray());
            pair.client->write(all);
            pair.client->flush();
            if (leaves) {
                pair.client->disconnectFromServer();
                QTRY_VERIFY_WITH_TIMEOUT(departed, 5000);
                QCOMPARE(afterDeparture, 0);
                continue;
            }
            QTRY_COMPARE_WITH_TIMEOUT(order.size(), 100, 5000);
            QCOMPARE(firstTurn, ClientConnection::RequestsPerTurn / (junk ? 2 : 1));
            for (int n = 0; n < 100; ++n)
                QCOMPARE(order[n], n);
        }
    }

    void oversizedFramesAreRefused()
    {
        // At the limit a frame waits for its bytes; past it, it is refused on its length alone.
        using R = FrameReader::Result;
        for (const char *length : {"01000000", "01000001", "ffffffff"}) {
            FrameReader reader;
            reader.append(QByteArray::fromHex(length) + "{");
            QJsonObject o;
            QCOMPARE(reader.next(&o), qstrcmp(length, "01000000") ? R::Oversized : R::NeedMore);
        }
        // A frame announced past the limit closes the connection, what came before it taken.
        testsupport::SocketPair pair;
        QVERIFY(pair.open());
        ClientConnection conn;
        conn.adoptSocket(pair.serverSide);
        QSignalSpy received(&conn, &ClientConnection::messageReceived);
        QSignalSpy gone(&conn, &ClientConnection::clientDisconnected);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("announced a frame of 16777217 bytes"));
        pair.client->write(framing::encode(QJsonObject{{"n", 1}}) + QByteArray::fromHex("01000001") + QByteArray(1000, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(!gone.isEmpty(), 5000);
        QVERIFY(gone[0][0].toString() == conn.clientId() && received.size() == 1);
        QTRY_COMPARE_WITH_TIMEOUT(pair.client->state(), QLocalSocket::UnconnectedState, 5000);
    }
};

QTEST_GUILESS_MAIN(TestFraming)
#include "tst_framing.moc"
