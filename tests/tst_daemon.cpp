// The real tarnd binary: descriptors running out, the hello's self-restart, stops, signals and
// readiness told to systemd.

#include "tarnclient.h"
#include "ipc/framing.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QtTest>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::Daemon;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

struct Conn
{
    TarnClient client;
    QList<QJsonObject> responses;
    Conn()
    {
        client.setEventQueue(true);
        QObject::connect(&client, &TarnClient::responseReceived, [this](const QJsonObject &r) { responses << r; });
    }

    bool open(const Daemon &d) { return client.connectToDaemon(d.socketPath()); }

    // Sends exactly this object and returns the next response.
    QJsonObject ask(const QJsonObject &request)
    {
        const int before = responses.size();
        client.socket()->write(framing::encode(request));
        QElapsedTimer clock;
        clock.start();
        while (responses.size() == before && clock.elapsed() < 15000)
            QTest::qWait(10);
        return responses.size() > before ? responses.last() : QJsonObject();
    }
};

} // namespace

class TestDaemon : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanupTestCase()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void servesAgainOnceDescriptorsAreFree()
    {
        // Out of descriptors the server stops listening and the daemon goes on: a client that
        // leaves then is swept as ever; once descriptors are free, it serves again.
        Daemon d;
        d.setDescriptorLimit(64);
        QVERIFY(d.start());
        const auto greeted = [&d] {
            TarnClient c;
            return c.connectToDaemon(d.socketPath(), 5000);
        };
        // A client served and gone before descriptors are out: UBSan's type checks on that path
        // need a pipe, which cannot be made then, unless the pairing is already in its cache.
        QVERIFY(greeted());
        TarnClient first;
        QVERIFY(first.connectToDaemon(d.socketPath(), 5000));
        std::vector<std::unique_ptr<QLocalSocket>> held;
        const QDeadlineTimer deadline(60000);
        while (held.size() < 200 && d.running() && !deadline.hasExpired() && !d.log().contains("stopped listening")) {
            auto s = std::make_unique<QLocalSocket>();
            s->connectToServer(d.socketPath());
            if (s->waitForConnected(200))
                held.push_back(std::move(s));
            else
                QTest::qWait(50);
        }
        QVERIFY2(d.log().contains("stopped listening"), qPrintable(d.log().right(2000)));
        QVERIFY(held.size() < 200);
        const qsizetype sweeps = d.log().count("Checking for stale processes");
        first.disconnectFromDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(d.log().count("Checking for stale processes") > sweeps || !d.running(), 10000);
        held.clear();
        // A connection may land in the backlog of the given-up socket: only a greeting counts.
        QTRY_VERIFY2_WITH_TIMEOUT(greeted() || !d.running(), qPrintable(d.log().right(1500)), 60000);
        QVERIFY2(d.running(), qPrintable(d.log().right(1500)));
    }

    void stopSignalsAndNotify()
    {
        // A datagram socket standing in for systemd's.
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        QTemporaryDir dir;
        const QByteArray path = (dir.path() + "/notify").toLocal8Bit();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
        QCOMPARE(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        const auto receive = [fd]() -> QByteArray {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 15000) != 1)
                return QByteArray();
            char buf[256];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
        };

        Daemon d;
        QVERIFY(d.start({"NOTIFY_SOCKET=" + QString::fromLocal8Bit(path)}));
        QCOMPARE(receive(), QByteArray("READY=1"));

        // SIGUSR1: every client is told to shut down; the daemon carries on.
        Conn a, b;
        QVERIFY(a.open(d) && b.open(d));
        d.signal(SIGUSR1);
        const auto isShutdown = [](const QJsonObject &e) { return e.value("event").toString() == "shutdown"; };
        const QJsonObject shutdown{{"event", "shutdown"}, {"reason", "installer-request"}};
        QCOMPARE(a.client.waitForEvent(isShutdown), shutdown);
        QCOMPARE(b.client.waitForEvent(isShutdown), shutdown);
        QCOMPARE(a.ask({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));

        // Two stop signals: one stop.
        d.signal(SIGTERM);
        d.signal(SIGINT);
        QCOMPARE(receive(), QByteArray("STOPPING=1"));
        QCOMPARE(d.waitForExit(), 0);
        const QString log = d.log();
        QCOMPARE(log.count("Service stop requested"), 1);
        QVERIFY(!log.contains("DEBUG:"));
        close(fd);
    }

    void stoppingRefusesNewWorkButAnswersClients()
    {
        Daemon d;
        QVERIFY(d.start());
        Conn c;
        QVERIFY(c.open(d));
        const QJsonObject stubborn = TarnClient::startRequest("stubborn", Helper, {"ignoreint"});
        QCOMPARE(c.ask(stubborn).value("status").toString(), QStringLiteral("started"));
        QVERIFY(!c.client.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());

        // A newer client restarts the daemon, and a stop signal comes 1.4 s into that stop. The
        // child ignores the Ctrl+C, so the stop takes the whole budget of 10 s all the same.
        QCOMPARE(c.ask({{"action", "client-hello"}, {"log-path", d.path("c.log")}, {"version", "1.5"}}).value("status").toString(),
                 QStringLiteral("restarting"));
        QVERIFY(d.waitForLog("Event loop exited, stopping daemon..."));
        QElapsedTimer stopping;
        stopping.start();
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(d.socketPath()), 5000);
        QLocalSocket late;
        late.connectToServer(d.socketPath());
        QVERIFY(!late.waitForConnected(1000));
        QJsonObject another = stubborn;
        another.insert("process-id", "another");
        QCOMPARE(c.ask(another).value("error"), QJsonValue("Daemon is shutting down"));
        QCOMPARE(c.ask({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QVERIFY(c.ask({{"action", "status"}, {"process-id", "stubborn"}}).value("running").toBool());
        QTest::qWait(int(std::max<qint64>(0, 1400 - stopping.elapsed())));
        d.signal(SIGTERM);
        // A second stop while the first goes on does nothing.
        QVERIFY(d.waitForLog("Service stop requested"));
        d.signal(SIGINT);

        // Killed at the end of the budget, its end handled and sent before the clients go.
        const QJsonObject finished = c.client.waitForEvent(
            [](const QJsonObject &e) { return e.value("event") == "finished"; }, 30000);
        QVERIFY2(stopping.elapsed() >= 9500, qPrintable(d.log().right(2000)));
        QCOMPARE(finished.value("data").toString(), QStringLiteral("1"));
        QCOMPARE(d.waitForExit(), 0);
        QVERIFY(testsupport::inOrder(d.log(), {"Initiating daemon restart due to version mismatch",
                                               "Service stop requested, quitting event loop...",
                                               "[ProcessManager] All processes stopped gracefully", "Daemon stopped"}));
        QCOMPARE(d.log().count("Service stop requested"), 1);
    }

    void theLastOutputReachesAClientAtTheStop()
    {
        Daemon d;
        QVERIFY(d.start());
        Conn conn;
        TarnClient &c = conn.client;
        QVERIFY(conn.open(d));
        const int last = 3 * 1024 * 1024;
        QCOMPARE(c.call(TarnClient::startRequest("bye", Helper, {"trapint", "0", QString::number(last)})).value("status").toString(),
                 QStringLiteral("started"));
        QVERIFY(!c.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());
        // Not reading while the daemon stops: the child's last words are still queued at the end.
        c.socket()->setReadBufferSize(64 * 1024);
        c.socket()->blockSignals(true);
        d.signal(SIGTERM);
        QVERIFY(d.waitForLog("All processes stopped gracefully"));
        QTest::qWait(500);
        c.socket()->blockSignals(false);
        c.socket()->setReadBufferSize(0);
        QByteArray out;
        const auto take = [&](const QJsonObject &e) {
            if (e.value("event") == "stdout")
                out += e.value("data").toString().toLatin1();
        };
        for (const QJsonObject &e : c.events())
            take(e);
        connect(&c, &TarnClient::eventReceived, this, take);
        const QJsonObject finished = c.waitForEvent([](const QJsonObject &e) { return e.value("event") == "finished"; }, 30000);
        QCOMPARE(finished.value("data").toString(), QStringLiteral("0"));
        QCOMPARE(out.size(), qsizetype(last) + 12); // "interrupted\n" too
        QCOMPARE(d.waitForExit(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
