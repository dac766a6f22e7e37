// The client library against the real daemon, and against a scripted stand-in where the daemon
// would have to misbehave.

#include "ipc/framing.h"
#include "tarnclient.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QLocalServer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

// A daemon that greets and then does only what the test tells it.
class FakeDaemon : public QObject
{
public:
    QLocalServer server;
    QLocalSocket *peer = nullptr;
    framing::FrameReader reader;
    QList<QJsonObject> requests;

    bool listen(const QString &path)
    {
        connect(&server, &QLocalServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            reader.clear();
            requests.clear();
            connect(peer, &QLocalSocket::readyRead, this, [this, p = peer] {
                reader.append(p->readAll());
                for (QJsonObject m; reader.next(&m) == framing::FrameReader::Result::Message;)
                    requests << m;
            });
            send({{"event", "connected"}, {"daemon-version", "7.0"}, {"privilege-level", 1}});
        });
        return server.listen(path);
    }
    void send(const QJsonObject &m) { peer->write(framing::encode(m)); peer->flush(); }
    // The first request of that action, taken; an empty object if none came within 15 s.
    QJsonObject waitForRequest(const QString &action)
    {
        const auto first = [&] {
            return std::find_if(requests.begin(), requests.end(), [&](const QJsonObject &r) { return r["action"] == action; });
        };
        if (!QTest::qWaitFor([&] { return first() != requests.end(); }, 15000))
            return {};
        return requests.takeAt(first() - requests.begin());
    }
};

} // namespace

class TestClient : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // The stand-in daemons below run as the tester: on Windows not LocalSystem, whom a client
        // expects unless told otherwise (a test build's option).
        QVERIFY(testsupport::expectDaemonAsTester());
    }
    void cleanup()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    // Answers among streaming output, a restart for a newer client and coming back after it.
    void withTheDaemon()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        QSignalSpy ready(&c, &TarnClient::ready);
        c.setLogPath(d.path("client-logs/tarnd.log"));
        c.setClientVersion(QStringLiteral("1.4.9"));
        QVERIFY2(c.connectToDaemon(d.socketPath()), qPrintable(c.errorString()));
        QCOMPARE(ready.count(), 1);
        QCOMPARE(c.daemonVersion(), QStringLiteral("1.4.9"));
        QByteArray out, err;
        int finishedCode = -2;
        // The waiter's "ready" is not the talker's.
        const auto into = [](QByteArray *to) {
            return [to](const QString &id, const QString &t) { *to += id == "talker" ? t.toUtf8() : ""; };
        };
        connect(&c, &TarnClient::processOutput, this, into(&out));
        connect(&c, &TarnClient::processErrorOutput, this, into(&err));
        connect(&c, &TarnClient::processFinished, this, [&](const QString &, int code) { finishedCode = code; });
        for (const QStringList &start : {QStringList{"talker", "mixed", "4000"}, QStringList{"waiter", "noread"}})
            QCOMPARE(c.call(TarnClient::startRequest(start[0], Helper, start.mid(1))).value("status").toString(),
                     QStringLiteral("started"));
        // Many calls in flight at once while output streams in; each answer must be its own.
        QList<TarnReply *> replies;
        QStringList asked;
        for (int i = 0; i < 60; ++i) {
            asked << (i % 3 == 0 ? QStringLiteral("waiter") : QStringLiteral("nobody-%1").arg(i));
            replies << c.request({{"action", "status"}, {"process-id", asked.last()}});
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(replies.begin(), replies.end(), [](TarnReply *r) { return r->isFinished(); }),
                                 30000);
        for (int i = 0; i < replies.size(); ++i) {
            std::unique_ptr<TarnReply> r(replies[i]);
            QCOMPARE(r->outcome(), TarnReply::Outcome::Answered);
            QCOMPARE(r->isOk() ? r->response().value("process-id").toString() : r->errorString(),
                     asked[i] == "waiter" ? asked[i] : "Process not found: " + asked[i]);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finishedCode, 0, 30000);
        // Every line of the child came through, on its own stream.
        QCOMPARE(out.count("out "), 2000);
        QCOMPARE(err.count("err "), 2000);
        QCOMPARE(out.count('\n') + err.count('\n'), 4000);

        // The callback form: run once with its answer, and not at all for a context that is gone.
        int listed = 0;
        auto gone = std::make_unique<QObject>();
        c.request({{"action", "list"}}, this, [&](const TarnReply &r) { listed += r.response()["processes"].toArray().size(); });
        c.request({{"action", "list"}}, gone.get(), [&](const TarnReply &) { listed += 100; });
        gone.reset();
        QTRY_COMPARE_WITH_TIMEOUT(listed, 1, 15000);
        QCOMPARE(c.call({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QCOMPARE(listed, 1);

        // A newer application restarts the daemon: no connection, and why.
        QSignalSpy lostFirst(&c, &TarnClient::daemonLost);
        c.setAutoReconnect(true, 60000);
        TarnClient newer;
        newer.setLogPath(d.path("client-logs/tarnd.log"));
        newer.setClientVersion(QStringLiteral("1.5.0"));
        QVERIFY(!newer.connectToDaemon(d.socketPath()));
        QVERIFY2(newer.errorString().startsWith("The daemon is restarting:"), qPrintable(newer.errorString()));
        QCOMPARE(d.waitForExit(), 0);
        // A client that asked for it comes back to the restarted daemon on its own, with its hello.
        QVERIFY(d.start());
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 30000);
        QCOMPARE(d.log().count("Client version: \"1.4.9\""), 2);
        QCOMPARE(lostFirst.count(), 0);
        // Others hear of it once coming back has failed, with why.
        c.setAutoReconnect(true, 1000);
        d.kill();
        QTRY_COMPARE_WITH_TIMEOUT(lostFirst.count(), 1, 15000);
        QVERIFY2(lostFirst.first().first().toString().startsWith("The daemon closed the connection, and no connection"),
                 qPrintable(lostFirst.first().first().toString()));
        QCOMPARE(c.state(), TarnClient::State::Unconnected);
    }

    // Against a stand-in: the client's own time-outs and ids, and each loss reported once.
    void standInDaemon()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("sock");
        TarnClient c;
        QSignalSpy lost(&c, &TarnClient::daemonLost);
        // Nobody there: the path is named.
        QVERIFY(!c.connectToDaemon(path));
        QCOMPARE(lost.count(), 1);
        QVERIFY2(c.errorString().contains(path), qPrintable(c.errorString()));
        // Asked while not connected: finished as lost, but never inside the call.
        std::unique_ptr<TarnReply> early(c.request({{"action", "list"}}));
        QVERIFY(!early->isFinished());
        QTRY_COMPARE_WITH_TIMEOUT(early->outcome(), TarnReply::Outcome::Lost, 15000);

        // Without a log path the greeting alone makes the connection.
        FakeDaemon fake;
        QVERIFY(fake.listen(path));
        QVERIFY(c.connectToDaemon(path));
        std::unique_ptr<TarnReply> r(c.request({{"action", "status"}, {"process-id", "x"}}, 300));
        QSignalSpy finished(r.get(), &TarnReply::finished);
        QVERIFY(finished.wait(15000));
        QCOMPARE(r->outcome(), TarnReply::Outcome::TimedOut);
        QCOMPARE(r->errorString(), QStringLiteral("No answer from the daemon within 300 ms"));
        // The daemon's late answer finishes nothing twice; the application still sees it.
        QSignalSpy responses(&c, &TarnClient::responseReceived);
        fake.send({{"request-id", fake.waitForRequest("status").value("request-id")}, {"status", "success"}});
        QVERIFY(responses.wait(15000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(r->outcome(), TarnReply::Outcome::TimedOut);
        // The ids are the client's own, whatever the request carried.
        c.send({{"action", "heartbeat"}, {"request-id", "mine"}});
        QVERIFY(fake.waitForRequest("heartbeat").value("request-id").isDouble());
        // A blocking call that gets no answer returns empty after its time.
        QVERIFY(c.call({{"action", "list"}}, 300).isEmpty());
        QVERIFY(c.isConnected());
        QVERIFY(std::none_of(fake.requests.begin(), fake.requests.end(),
                             [](const QJsonObject &q) { return q.value("action") == "client-hello"; }));
        // Closing on purpose is not a loss.
        QSignalSpy gone(fake.peer, &QLocalSocket::disconnected);
        c.disconnectFromDaemon();
        QVERIFY(gone.wait(15000));
        QCOMPARE(lost.count(), 1);

        // A hello that gets no answer: the handshake times out.
        c.setLogPath(dir.filePath("log/tarnd.log"));
        QVERIFY(!c.connectToDaemon(path, 500));
        QCOMPARE(lost.count(), 2);
        QVERIFY2(c.errorString().contains("within 500 ms"), qPrintable(c.errorString()));
        // A hello answered; then a shutdown and a closed connection: one loss, with the reason,
        // and what was waiting ends as lost.
        QSignalSpy readySpy(&c, &TarnClient::ready);
        const auto greeted = [&] {
            c.open(15000);
            const QJsonObject hello = fake.waitForRequest("client-hello");
            fake.send({{"request-id", hello.value("request-id")}, {"status", "success"}});
            return readySpy.wait(15000) ? hello : QJsonObject();
        };
        fake.requests.clear(); // the hello of the attempt that timed out
        QCOMPARE(greeted().value("log-path").toString(), dir.filePath("log/tarnd.log"));
        std::unique_ptr<TarnReply> waiting(c.request({{"action", "list"}}));
        QSignalSpy shutdown(&c, &TarnClient::shutdownRequested);
        fake.send({{"event", "shutdown"}, {"reason", "installer-request"}});
        QVERIFY(shutdown.wait(15000));
        lost.clear();
        fake.peer->disconnectFromServer();
        QVERIFY(lost.wait(15000));
        QCOMPARE(lost.first().first().toString(), QStringLiteral("The daemon shut down (installer-request)"));
        QCOMPARE(waiting->outcome(), TarnReply::Outcome::Lost);
        QTest::qWait(200);
        QCOMPARE(lost.count(), 1);
        // Reconnecting is the application's call, and it says hello again.
        QVERIFY(!c.isConnected());
        QVERIFY(!greeted().isEmpty());

        // A frame past the client's cap ends the connection rather than being held.
        lost.clear();
        QByteArray huge(4, '\0');
        qToBigEndian<quint32>(quint32(TarnClient::MaxIncomingFrame + 1), huge.data());
        fake.peer->write(huge);
        QVERIFY(lost.wait(15000));
        QVERIFY2(lost.first().first().toString().contains("more than this client takes"),
                 qPrintable(lost.first().first().toString()));
    }
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
