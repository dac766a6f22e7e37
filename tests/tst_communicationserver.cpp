// The communication server over real sockets: sockets following sessions, who may connect,
// heartbeats, bounds on what a client holds.

#include "ipc/communicationserver.h"
#include "ipc/framing.h"
#include "ipc/sessionbackend.h"
#include "ipc/socketpath.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSemaphore>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

namespace {

using Sessions = QList<SessionBackend::Session>;

// Sessions as the test says; peers identified for real (SO_PEERCRED), all in session 1.
struct FakeBackend : SessionBackend
{
    explicit FakeBackend(const QString &dir) : m_dir(dir) {}
    static Session self(quint32 id) { return {id, QString::fromLocal8Bit(getpwuid(geteuid())->pw_name), QString::number(geteuid())}; }
    // Asked on the server's lookup thread.
    void setSessions(const std::optional<Sessions> &sessions)
    {
        QMutexLocker lock(&m_mutex);
        m_sessions = sessions;
    }
    std::optional<Sessions> activeSessions() override
    {
        QMutexLocker lock(&m_mutex);
        return m_sessions;
    }
    bool peerOf(QLocalSocket *socket, sessions::PeerInfo *peer) override
    {
        if (!sessions::peerOf(socket->socketDescriptor(), peer))
            return false;
        peer->hasSession = !askSession;
        peer->session = 1;
        peer->privileged = peer->privileged && !askSession;
        return true;
    }
    // Unprivileged peers whose session must be asked, as where the connection cannot tell it:
    // each answer waits for a release of the test's, and then says the session in answer.
    bool sessionOfProcess(qint64, quint32 *session) override
    {
        if (!answers.tryAcquire(1, 20000))
            return false;
        *session = answer;
        return true;
    }
    QString socketName(const QString &base, quint32 session) override
    {
        return pathOverride.value(session, m_dir + "/" + base + "-" + QString::number(session));
    }
    bool askSession = false;
    QSemaphore answers;
    std::atomic<quint32> answer{1};
    QHash<quint32, QString> pathOverride;
    QString m_dir;
    QMutex m_mutex;
    std::optional<Sessions> m_sessions = Sessions{self(1)};
};

struct Client
{
    QLocalSocket socket;
    framing::FrameReader reader;
    QList<QJsonObject> received;
    bool connectTo(const QString &path)
    {
        socket.connectToServer(path);
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] {
            reader.append(socket.readAll());
            QJsonObject o;
            while (reader.next(&o) == framing::FrameReader::Result::Message)
                received.append(o);
        });
        return socket.waitForConnected(5000);
    }
    // Connected and seen by the server, so that the spy's order is the clients' order.
    bool join(const QString &path, QSignalSpy &connected)
    {
        const qsizetype before = connected.size();
        return connectTo(path) && QTest::qWaitFor([&] { return connected.size() > before; }, 5000);
    }
};

} // namespace

class TestCommunicationServer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    FakeBackend *m_backend = nullptr; // the last server's
    // Sessions polled often; no client times out while a test runs, however slow the machine.
    const CommunicationServer::Timing fast{600000, 600000, 100};

    std::unique_ptr<CommunicationServer> make(CommunicationServer::Timing timing = {600000, 600000, 100},
                                              CommunicationServer::Limits limits = {})
    {
        m_backend = new FakeBackend(m_dir.path());
        return std::make_unique<CommunicationServer>(nullptr, m_backend, timing, limits);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Other users must reach the sockets inside.
        QVERIFY(QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7711)));
    }

    // A socket is not served in a folder others may change, nor where another live server is;
    // once that one is gone, its path is taken over.
    void socketsOnlyWhereNobodyElseIs()
    {
        auto server = make();
        const QString open = m_dir.path() + "/open", real = m_dir.path() + "/real";
        QVERIFY(QDir().mkpath(open) && QDir().mkpath(real));
        QVERIFY(QFile::setPermissions(open, QFileDevice::Permissions(0x7777)));
        QVERIFY(QFile::link(real, m_dir.path() + "/linked"));
        m_backend->pathOverride.insert(1, open + "/s-1");
        m_backend->pathOverride.insert(2, m_dir.path() + "/linked/s-2");
        m_backend->setSessions(Sessions{FakeBackend::self(1), FakeBackend::self(2)});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Refusing to serve session 1 - the socket folder .*/open is writable by other users"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Refusing to serve session 2 - the socket folder .*/linked is not a folder"));
        QVERIFY(server->start("busy"));
        QVERIFY(server->servedSessions().isEmpty());
        QVERIFY(!QFileInfo::exists(open + "/s-1") && !QFileInfo::exists(real + "/s-2"));

        server = make();
        const QString path = m_backend->socketName("busy", 1);
        // Another daemon serving the path holds its claim.
        std::string error;
        auto otherClaim = socketpath::claim(path.toStdString(), &error);
        QVERIFY(otherClaim);
        auto other = std::make_unique<QLocalServer>();
        QVERIFY(other->listen(path));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Failed to start named pipe for session 1.*served by another process"));
        QVERIFY(server->start("busy"));
        QVERIFY(server->servedSessions().isEmpty());
        Client probe;
        QVERIFY(probe.connectTo(path));
        QVERIFY(other->waitForNewConnection(5000)); // still the other server's socket

        // Once it is gone, a stale file is left; the next polls take the path over.
        other.reset();
        otherClaim.reset();
        testsupport::writeFile(path, "stale");
        QTRY_COMPARE_WITH_TIMEOUT(server->servedSessions(), QList<quint32>{1}, 5000);
        Client c;
        QSignalSpy connected(server.get(), &CommunicationServer::clientConnected);
        QVERIFY(c.join(path, connected));
    }

    // A peer gets only into its own user's session, and not into another session of that
    // user's; root is taken anywhere.
    void foreignUsersAreRefused()
    {
        if (!testsupport::isRoot())
            QSKIP("acting as another user needs root");
        auto server = make();
        // Session 1 belongs to root, session 2 to nobody (whose processes are all in session 1).
        m_backend->setSessions(Sessions{{1, "root", "0"}, {2, "nobody", "65534"}});
        QVERIFY(server->start("peer"));
        QSignalSpy connected(server.get(), &CommunicationServer::clientConnected);
        // Asked on connection: the forked client ends as soon as it has its greeting.
        QList<sessions::PeerInfo> peers;
        connect(server.get(), &CommunicationServer::clientConnected, server.get(), [&](const QString &id) {
            sessions::PeerInfo peer;
            if (server->peerOfClient(id, &peer))
                peers << peer;
            server->sendToClient(id, QJsonObject{{"hi", 1}});
        });
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Refused a client on the socket of session 2 .*session \"1\": not in the session$"));
        QVERIFY(testsupport::runAsUser(65534, server->socketName(2)).refused);
        // The same user again within the minute: refused without another line.
        testsupport::LogCapture log;
        QVERIFY(testsupport::runAsUser(65534, server->socketName(1)).refused);
        QVERIFY(testsupport::runAsUser(65534, server->socketName(1)).refused);
        QCOMPARE(log.count("Refused a client"), 0);
        QCOMPARE(connected.size(), 0);

        m_backend->setSessions(Sessions{{1, "nobody", "65534"}});
        QTRY_VERIFY_WITH_TIMEOUT(server->servedSessions() == QList<quint32>{1}, 5000);
        QCOMPARE(testsupport::runAsUser(65534, server->socketName(1)).greeting, (QJsonObject{{"hi", 1}}));
        QCOMPARE(peers.size(), 1);
        QVERIFY(peers[0].uid == 65534u && peers[0].user == "nobody");
        Client rootClient;
        QVERIFY(rootClient.connectTo(server->socketName(1)));
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, 5000);
    }

    // A burst of clients is taken a share of each session's socket a turn: not one a turn, which
    // left a burst's first requests waiting a second on a busy daemon, and not one socket's burst
    // before another socket's client. A client keeps its connection when its session's socket
    // goes (sockets following sessions are tst_logind's); the server's stop closes every client
    // without reporting one as departed (that would sweep its session while the daemon stops).
    void aBurstIsTakenInSharesOfEachSocketAndTheStopDepartsNobody()
    {
        auto server = make();
        m_backend->setSessions(Sessions{FakeBackend::self(1), FakeBackend::self(2)});
        QVERIFY(server->start("burst"));
        QSignalSpy connected(server.get(), &CommunicationServer::clientConnected);
        QSignalSpy disconnected(server.get(), &CommunicationServer::clientDisconnected);
        int firstTurn = -1;
        connect(server.get(), &CommunicationServer::clientConnected, this, [&] {
            if (connected.size() == 1) // the spy's slot ran first
                QMetaObject::invokeMethod(this, [&] { firstTurn = int(connected.size()); }, Qt::QueuedConnection);
        });
        std::vector<std::unique_ptr<Client>> burst;
        const int onFirst = 2 * CommunicationServer::ConnectionsPerTurn;
        for (int i = 0; i <= onFirst; ++i) {
            burst.push_back(std::make_unique<Client>());
            QVERIFY(burst.back()->connectTo(server->socketName(i < onFirst ? 1 : 2)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), int(burst.size()), 10000);
        // A share of the first socket's and the other's one.
        QCOMPARE(firstTurn, CommunicationServer::ConnectionsPerTurn + 1);

        const QString s1 = server->socketName(1);
        m_backend->setSessions(Sessions{FakeBackend::self(2)});
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(s1), 5000);
        server->broadcast(QJsonObject{{"still", "here"}});
        QTRY_COMPARE_WITH_TIMEOUT(burst.front()->received.size(), 1, 5000);
        server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(burst.front()->socket.state(), QLocalSocket::UnconnectedState, 5000);
        QTest::qWait(800);
        QVERIFY(disconnected.isEmpty() && !QFileInfo::exists(server->socketName(2)));
    }

    // A peer whose session is being asked waits aside, and counts toward its user's limit;
    // what it sent meanwhile, or its going, is taken once it is admitted. Placed by the answer
    // in another session, it is closed, uncounted.
    void aPeerWaitsAsideForItsSession()
    {
        auto server = make(fast, {2, 512LL * 1024 * 1024});
        m_backend->askSession = true;
        QVERIFY(server->start("asked"));
        QSignalSpy connected(server.get(), &CommunicationServer::clientConnected);
        QSignalSpy received(server.get(), &CommunicationServer::messageReceived);
        QSignalSpy left(server.get(), &CommunicationServer::clientDisconnected);
        Client sends, goes, third, elsewhere;
        QVERIFY(sends.connectTo(server->socketName(1)) && goes.connectTo(server->socketName(1)));
        sends.socket.write(framing::encode({{"action", "heartbeat"}}));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Refused a client .*: it has 2 connections, the limit$"));
        QVERIFY(third.connectTo(server->socketName(1)));
        QTRY_COMPARE_WITH_TIMEOUT(third.socket.state(), QLocalSocket::UnconnectedState, 10000);
        goes.socket.disconnectFromServer();
        QCOMPARE(connected.size(), 0);

        m_backend->answers.release(2);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(left.size(), 1, 10000);
        QCOMPARE(connected.size(), 2);
        QVERIFY(server->client(received[0][0].toString()) && !server->client(left[0][0].toString()));
        QCOMPARE(received[0][1].toJsonObject().value("action"), QStringLiteral("heartbeat"));

        m_backend->answer = 2;
        m_backend->answers.release();
        QVERIFY(elsewhere.connectTo(server->socketName(1)));
        QTRY_COMPARE_WITH_TIMEOUT(elsewhere.socket.state(), QLocalSocket::UnconnectedState, 10000);
        QCOMPARE(connected.size(), 2);
    }

    // Past the bound on what all connections hold, the largest holder of the user over its share
    // goes.
    void heldBytesAreBounded()
    {
        CommunicationServer::Limits limits;
        limits.heldBytes = 3 * 1024 * 1024;
        auto server = make(fast, limits);
        m_backend->setSessions(Sessions{{1, "nobody", "65534"}});
        QVERIFY(server->start("held"));
        QSignalSpy joined(server.get(), &CommunicationServer::clientConnected);
        QSignalSpy left(server.get(), &CommunicationServer::clientDisconnected);
        Client big, small;
        QVERIFY(big.join(server->socketName(1), joined) && small.join(server->socketName(1), joined));
        const auto partial = [](qint64 payload) -> QByteArray {
            QByteArray b(4, '\0');
            b[1] = char(0x80); // announces 8 MiB, within the limit of one frame
            return b + QByteArray(payload, ' ');
        };
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("more than the limit of 3145728 - dropping client"));
        big.socket.write(partial(2 * 1024 * 1024));
        QTRY_VERIFY_WITH_TIMEOUT(big.socket.bytesToWrite() == 0, 10000);
        small.socket.write(partial(1536 * 1024));
        QTRY_COMPARE_WITH_TIMEOUT(left.size(), 1, 10000);
        QCOMPARE(left[0][0].toString(), joined[0][0].toString());
        QCOMPARE(small.socket.state(), QLocalSocket::ConnectedState);

        // Root's 1.5 MiB is within its half; nobody's connections, each smaller, are what goes.
        if (!testsupport::isRoot())
            QSKIP("acting as another user needs root");
        for (int i = 0; i < 2; ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("dropping client .* more than its share of 1572864"));
        const QByteArray third = partial(1100 * 1024);
        QCOMPARE(testsupport::holdAsUser(65534, server->socketName(1), {third, third, third}, 2), 2);
        QCOMPARE(small.socket.state(), QLocalSocket::ConnectedState);
    }

    // Heartbeats in time keep a client (silence drops it: timeout.txt), but not one that drips a
    // frame a byte at a time (20 s to finish): the time-out counts from the frame's first byte.
    void heartbeatsDoNotKeepADrippingFrame()
    {
        // A time-out far above the renewal interval, which a busy machine cannot make one miss.
        auto server = make({3000, 200, 100});
        QVERIFY(server->start("beat"));
        QSignalSpy connected(server.get(), &CommunicationServer::clientConnected);
        QSignalSpy disconnected(server.get(), &CommunicationServer::clientDisconnected);
        QSignalSpy timedOut(server.get(), &CommunicationServer::clientTimedOut);
        Client kept, dripping;
        QVERIFY(kept.join(server->socketName(1), connected) && dripping.join(server->socketName(1), connected));
        const QString keptId = connected[0][0].toString(), drippingId = connected[1][0].toString();
        QTimer renew;
        connect(&renew, &QTimer::timeout, server.get(), [&] {
            server->updateHeartbeat(keptId);
            server->updateHeartbeat(drippingId);
        });
        renew.start(100);
        const QByteArray frame = framing::encode(QJsonObject{{"action", "heartbeat"}, {"pad", QString(1000, 'x')}});
        qsizetype dripped = 0;
        QTimer drip;
        connect(&drip, &QTimer::timeout, [&] {
            if (dripping.socket.state() == QLocalSocket::ConnectedState && dripped < frame.size() - 1)
                dripping.socket.write(frame.mid(dripped++, 1));
        });
        drip.start(20);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("has left a frame incomplete for more than 3000 ms"));
        QTRY_COMPARE_WITH_TIMEOUT(dripping.socket.state(), QLocalSocket::UnconnectedState, 10000);
        QVERIFY2(dripped < frame.size() - 1, "dropped only once the frame stood still");
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, 5000);
        QCOMPARE(disconnected[0][0].toString(), drippingId);
        // The renewed client outlives another time-out.
        QTest::qWait(3500);
        QVERIFY(timedOut.isEmpty());
        server->sendToClient(keptId, QJsonObject{{"alive", true}});
        QTRY_COMPARE_WITH_TIMEOUT(kept.received.size(), 1, 5000);
    }

    // A client that never reads is dropped once the server holds too much unread for it; the
    // others keep getting everything.
    void stalledReaderIsDropped()
    {
        auto server = make({600000, 100000, 100000});
        QVERIFY(server->start("stall"));
        QSignalSpy connected(server.get(), &CommunicationServer::clientConnected);
        QSignalSpy disconnected(server.get(), &CommunicationServer::clientDisconnected);
        Client reader;
        QLocalSocket stalled; // never reads, and Qt must not read ahead for it either
        stalled.setReadBufferSize(64 * 1024);
        stalled.connectToServer(server->socketName(1));
        QVERIFY(stalled.waitForConnected(5000) && connected.wait(5000));
        QVERIFY(reader.join(server->socketName(1), connected));
        const QString stalledId = connected[0][0].toString(), readerId = connected[1][0].toString();
        const QJsonObject chunk{{"data", QString(1024 * 1024, QChar('d'))}};
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("bytes unread, more than the limit"));
        int sent = 0;
        while (disconnected.isEmpty() && sent < 200) {
            server->broadcast(chunk);
            ++sent;
            QTRY_COMPARE_WITH_TIMEOUT(reader.received.size(), sent, 10000);
        }
        QCOMPARE(disconnected.size(), 1);
        QCOMPARE(disconnected[0][0].toString(), stalledId);
        QVERIFY2(sent > 60, qPrintable(QString::number(sent)));
        server->sendToClient(readerId, QJsonObject{{"after", true}});
        QTRY_COMPARE_WITH_TIMEOUT(reader.received.size(), sent + 1, 10000);
    }
};

QTEST_GUILESS_MAIN(TestCommunicationServer)
#include "tst_communicationserver.moc"
