// Frames on the wire and the client connection that reads and writes them.

#include "ipc/clientconnection.h"
#include "ipc/framing.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

#include <limits>

using framing::FrameReader;

namespace {

QByteArray rawFrame(const QByteArray &payload)
{
    const quint32 n = quint32(payload.size());
    const char length[] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return QByteArray(length, 4) + payload;
}

QList<QJsonObject> drain(FrameReader &reader, int *dropped = nullptr)
{
    QList<QJsonObject> out;
    for (QJsonObject o;;) {
        const auto r = reader.next(&o);
        if (r == FrameReader::Result::Message)
            out << o;
        else if (r != FrameReader::Result::Dropped)
            return out;
        else if (dropped)
            ++*dropped;
    }
}

// A connection over a fresh socket pair.
struct Connected
{
    testsupport::SocketPair pair;
    ClientConnection conn;
    bool open()
    {
        if (!pair.open())
            return false;
        conn.adoptSocket(pair.serverSide);
        return pair.serverSide->parent() == &conn;
    }
};

} // namespace

class TestFraming : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void compactJsonMatchesTheLibrary()
    {
        QCOMPARE(framing::encode(QJsonObject{{"a", 1}}), QByteArray::fromHex("00000007") + QByteArray("{\"a\":1}"));
        // Every code unit class: controls, quotes, backslash, DEL, Latin-1, BMP, surrogate
        // pairs, lone surrogates, and random mixtures of them.
        QString all;
        for (char16_t u = 0; u < 0x800; ++u)
            all.append(QChar(u));
        all += QString::fromUtf8("€ 漢字 \xF0\x9F\x98\x80 end") + QChar(0xD800) + "x" + QChar(0xDC00) + QChar(0xFFFF);
        QList<QString> samples{all, QString(), "plain", QString(100000, QChar('\n'))};
        QRandomGenerator rng(42);
        for (int i = 0; i < 200; ++i) {
            QString r;
            for (int k = int(rng.bounded(200)); k > 0; --k)
                r.append(QChar(char16_t(rng.bounded(4) == 0 ? rng.bounded(0x10000) : rng.bounded(0x80))));
            samples << r;
        }
        for (const QString &text : samples) {
            const QJsonObject o{{"data", text}, {text.left(8), text.right(3)}, {"event", "stdout"}};
            QCOMPARE(framing::compactJson(o), QJsonDocument(o).toJson(QJsonDocument::Compact));
        }
        const QJsonObject mixed{{"n", 1}, {"d", 2.5}, {"big", 1e300}, {"neg", -7}, {"t", true}, {"f", false},
                                {"z", QJsonValue::Null}, {"a", QJsonArray{1, "two", QJsonArray{}, QJsonObject{}}},
                                {"o", QJsonObject{{"k", QJsonObject{{"deep", "x\"y"}}}}}};
        QCOMPARE(framing::compactJson(mixed), QJsonDocument(mixed).toJson(QJsonDocument::Compact));
        QCOMPARE(framing::compactJson(QJsonObject()), QByteArray("{}"));
        // Numbers: whole ones on both sides of 2^53, stored as integers or doubles, parsed or
        // made, and fractions.
        QJsonArray numbers{0.0, -0.0, 1e15, 1e16, 9007199254740991.0, 9007199254740992.0, -9007199254740993.0, 1e20,
                           0.1, -2.5e-7, std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min()};
        for (int i = 0; i < 2000; ++i) {
            const qint64 n = qint64(rng.generate64() >> rng.bounded(1, 64)) * (i % 2 ? -1 : 1);
            numbers << n << double(n) << QJsonDocument::fromJson("[" + QByteArray::number(n) + ".0]").array().at(0);
        }
        for (const QJsonValue &n : std::as_const(numbers)) {
            const QJsonObject o{{"n", n}};
            QCOMPARE(framing::compactJson(o), QJsonDocument(o).toJson(QJsonDocument::Compact));
        }
        // A member added as the frame is written lands where an insert puts it: first, last,
        // between, or in place of one of the same key.
        for (const QJsonObject &o : {mixed, QJsonObject(), QJsonObject{{"request-id", "old"}, {"z", 1}},
                                     QJsonObject{{"status", "success"}}, QJsonObject{{"a", 1}}}) {
            for (const char *key : {"request-id", "0", "~", "n", "a"}) {
                QJsonObject copy = o;
                copy.insert(key, 42);
                QCOMPARE(framing::encode(o, {key, 42}), framing::encode(copy));
            }
        }
    }

    void reassemblesAtEverySplit()
    {
        // Three frames, the middle one a dropped array, cut into two reads at every byte: each
        // object comes once its last byte has, not before.
        const QByteArray first = framing::encode(QJsonObject{{"n", 1}, {"text", "é ünï"}});
        const QByteArray stream = first + rawFrame("[1,2]") + framing::encode(QJsonObject{{"n", 2}});
        for (int cut = 0; cut <= stream.size(); ++cut) {
            FrameReader reader;
            reader.append(stream.left(cut));
            QList<QJsonObject> got = drain(reader);
            QCOMPARE(got.size(), int(cut >= first.size()) + int(cut == stream.size()));
            reader.append(stream.mid(cut));
            got += drain(reader);
            QCOMPARE(got.size(), 2);
            QCOMPARE(got[0].value("n").toInt(), 1);
            QCOMPARE(got[0].value("text").toString(), QStringLiteral("é ünï"));
            QCOMPARE(got[1].value("n").toInt(), 2);
            QCOMPARE(reader.buffered(), 0);
        }
    }

    void badPayloadsKeepStep()
    {
        for (const QByteArray payload : {"{\"a\":", "[{\"a\":1}]", "42", "", "{\"a\":1} x", "{\"a\":1}{\"b\":2}"}) {
            FrameReader reader;
            reader.append(rawFrame(payload) + rawFrame(" { \"after\" : true } "));
            int dropped = 0;
            const QList<QJsonObject> got = drain(reader, &dropped);
            QVERIFY2(dropped == 1 && got.size() == 1 && got[0].value("after").toBool(), payload.constData());
            QCOMPARE(reader.buffered(), 0);
        }
    }

    void limitIsSixteenMebibytes()
    {
        QJsonObject o;
        FrameReader atLimit;
        atLimit.append(QByteArray::fromHex("01000000") + "{");
        QCOMPARE(atLimit.next(&o), FrameReader::Result::NeedMore);
        FrameReader over;
        over.append(QByteArray::fromHex("01000001"));
        QCOMPARE(over.next(&o), FrameReader::Result::Oversized);
        QCOMPARE(over.announcedLength(), 16u * 1024 * 1024 + 1);
        FrameReader huge;
        huge.append(QByteArray::fromHex("ffffffff"));
        QCOMPARE(huge.next(&o), FrameReader::Result::Oversized);
    }

    void connectionDeliversAndSends()
    {
        Connected c;
        QVERIFY(c.open());
        QSignalSpy received(&c.conn, &ClientConnection::messageReceived);
        // Two frames and the first half of a third in one write.
        const QByteArray third = framing::encode(QJsonObject{{"n", 3}});
        c.pair.client->write(framing::encode(QJsonObject{{"n", 1}}) + rawFrame("nope")
                             + framing::encode(QJsonObject{{"n", 2}}) + third.left(2));
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2, 5000);
        QCOMPARE(received[0][0].toString(), c.conn.clientId());
        QCOMPARE(received[1][1].toJsonObject().value("n").toInt(), 2);
        c.pair.client->write(third.mid(2));
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 3, 5000);

        c.conn.sendMessage(QJsonObject{{"a", 1}});
        QTRY_COMPARE_WITH_TIMEOUT(c.pair.client->bytesAvailable(), qint64(11), 5000);
        QCOMPARE(c.pair.client->readAll(), framing::encode(QJsonObject{{"a", 1}}));
    }

    // A client pipelining requests has a turn's share taken at a time, the rest on later turns
    // (after every other connection's), whole and in order; none is taken once it has gone. A
    // frame that is no request (here one between each two) counts toward the share all the same.
    void pipelinedRequestsTakeTurns()
    {
        for (const auto &[leaves, junk] : {std::pair{false, false}, {true, false}, {false, true}}) {
            Connected c;
            QVERIFY(c.open());
            QList<int> order;
            int firstTurn = -1, afterDeparture = 0;
            bool departed = false;
            connect(&c.conn, &ClientConnection::clientDisconnected, this, [&] { departed = true; });
            connect(&c.conn, &ClientConnection::messageReceived, this, [&](const QString &, const QJsonObject &m) {
                afterDeparture += departed;
                // Queued behind whatever the connection queues for itself at the end of its share.
                if (order.isEmpty())
                    QMetaObject::invokeMethod(this, [&] { firstTurn = int(order.size()); }, Qt::QueuedConnection);
                order << m.value("n").toInt();
            });
            QByteArray all;
            for (int n = 0; n < 100; ++n)
                all += framing::encode(QJsonObject{{"n", n}}) + (junk ? QByteArray::fromHex("000000025b5d") : QByteArray());
            c.pair.client->write(all);
            c.pair.client->flush();
            if (leaves) {
                c.pair.client->disconnectFromServer();
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

    void oversizedFrameClosesConnection()
    {
        Connected c;
        QVERIFY(c.open());
        QSignalSpy received(&c.conn, &ClientConnection::messageReceived);
        QSignalSpy gone(&c.conn, &ClientConnection::clientDisconnected);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("announced a frame of 16777217 bytes"));
        c.pair.client->write(framing::encode(QJsonObject{{"n", 1}}) + QByteArray::fromHex("01000001") + QByteArray(1000, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(!gone.isEmpty(), 5000);
        QCOMPARE(gone[0][0].toString(), c.conn.clientId());
        QCOMPARE(received.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(c.pair.client->state(), QLocalSocket::UnconnectedState, 5000);
    }

    void closedAndDeletedConnections()
    {
        Connected c;
        QVERIFY(c.open());
        QLocalSocket *s = c.pair.serverSide;
        QSignalSpy gone(&c.conn, &ClientConnection::clientDisconnected);
        s->disconnectFromServer();
        c.conn.sendMessage(QJsonObject{{"late", true}});
        QCOMPARE(s->bytesToWrite(), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(c.pair.client->state(), QLocalSocket::UnconnectedState, 5000);
        QCOMPARE(c.pair.client->readAll(), QByteArray());
        QVERIFY(!gone.isEmpty());
        QCOMPARE(c.conn.socket(), s); // kept until the connection itself goes
        ClientConnection().sendMessage(QJsonObject{{"x", 1}}); // no socket: a no-op, not a crash

        testsupport::SocketPair pair;
        QVERIFY(pair.open());
        auto *conn = new ClientConnection;
        conn->adoptSocket(pair.serverSide);
        delete conn;
        QTRY_COMPARE_WITH_TIMEOUT(pair.client->state(), QLocalSocket::UnconnectedState, 5000);
    }

    void identifiersAreDistinctHex()
    {
        static const QRegularExpression hex("^[1-9a-f][0-9a-f]{0,15}$");
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString id = ClientConnection::newClientId();
            QVERIFY2(hex.match(id).hasMatch(), qPrintable(id));
            seen.insert(id);
        }
        QCOMPARE(seen.size(), 2000);
        QVERIFY(ClientConnection().clientId() != ClientConnection().clientId());
    }
};

QTEST_GUILESS_MAIN(TestFraming)
#include "tst_framing.moc"
