// The real tarnd binary: the request protocol, the hello and its self-restart, the run body's
// stop paths and signals, and readiness told to systemd.

#include "tarnclient.h"
#include "ipc/framing.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QJsonArray>
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

QJsonObject withoutTimestamp(QJsonObject o)
{
    o.remove("timestamp");
    return o;
}

} // namespace

class TestDaemon : public QObject
{
    Q_OBJECT
    std::unique_ptr<Daemon> m_shared; // one daemon for the many rows of the action table

private Q_SLOTS:
    void cleanupTestCase()
    {
        m_shared.reset();
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void servesAgainOnceDescriptorsAreFree()
    {
        // Out of descriptors, an accept fails and the server stops listening; once clients go
        // and descriptors are free again, the next poll serves the session's socket again.
        Daemon d;
        d.setDescriptorLimit(64);
        QVERIFY(d.start());
        const auto greeted = [&d] {
            TarnClient c;
            return c.connectToDaemon(d.socketPath(), 5000);
        };
        // One client served and gone first. Besides being the usual history of a daemon, it
        // matters under UBSan: its type check probes memory through a pipe, which cannot be
        // made once descriptors are out, and then it takes a sound object for a wrong one.
        // A pairing it has seen before is answered from its cache.
        QVERIFY(greeted());
        std::vector<std::unique_ptr<QLocalSocket>> held;
        while (held.size() < 200 && !d.log().contains("stopped listening")) {
            auto s = std::make_unique<QLocalSocket>();
            s->connectToServer(d.socketPath());
            if (s->waitForConnected(2000))
                held.push_back(std::move(s));
            else
                QTest::qWait(50);
        }
        QVERIFY2(d.log().contains("stopped listening"), qPrintable(d.log().right(2000)));
        QVERIFY(held.size() < 200);
        held.clear();
        // A connection may still land in the backlog of the socket that is given up when the
        // server listens again; only a greeting tells that the session is served.
        QTRY_VERIFY2_WITH_TIMEOUT(greeted(), qPrintable(d.log().right(1500)), 60000);
    }

    void actionTable_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QJsonObject>("expected");
        const auto err = [](const QString &e) { return QJsonObject{{"status", "error"}, {"error", e}}; };
        QTest::newRow("heartbeat") << QJsonObject{{"action", "heartbeat"}} << QJsonObject{{"status", "success"}};
        QTest::newRow("list") << QJsonObject{{"action", "list"}}
                              << QJsonObject{{"status", "success"}, {"processes", QJsonArray()}};
        QTest::newRow("status") << QJsonObject{{"action", "status"}, {"process-id", "p"}} << err("Process not found: p");
        QTest::newRow("stop") << QJsonObject{{"action", "stop"}, {"process-id", "p"}} << err("Process not found: p");
        QTest::newRow("kill") << QJsonObject{{"action", "kill"}, {"process-id", "p"}} << err("Process not found: p");
        QTest::newRow("restart") << QJsonObject{{"action", "restart"}} << err("Process not found: ");
        QTest::newRow("stdin") << QJsonObject{{"action", "stdin"}, {"process-id", "p"}, {"data", "abc"}}
                               << err("Failed to write to process stdin");
        QTest::newRow("start-no-id") << QJsonObject{{"action", "start"}, {"executable", "/bin/true"}}
                                     << err("Missing or empty process-id");
        QTest::newRow("start-numeric-id") << QJsonObject{{"action", "start"}, {"process-id", 5}, {"executable", "x"}}
                                          << err("Missing or empty process-id");
        QTest::newRow("start-no-exe") << QJsonObject{{"action", "start"}, {"process-id", "p"}}
                                      << err("Missing or empty executable");
        QTest::newRow("clear-logs") << QJsonObject{{"action", "clear-logs"}} << QJsonObject{{"status", "success"}};
        QTest::newRow("hello-empty-path") << QJsonObject{{"action", "client-hello"}, {"version", "9.9.9"}}
                                          << err("Log path cannot be empty");
        QTest::newRow("start-nul") << QJsonObject{{"action", "start"}, {"process-id", "p"},
                                                  {"executable", QString(QString("/bin/true") + QChar(0) + "x")}}
                                   << err("Invalid executable: contains a NUL character");
        QTest::newRow("start-negative-attempts") << QJsonObject{{"action", "start"}, {"process-id", "p"}, {"executable", "x"},
                                                                {"max-restart-attempts", -3}}
                                                 << err("Invalid max-restart-attempts: must not be negative");
        QTest::newRow("capitalised") << QJsonObject{{"action", "Start"}} << err("Unknown action: Start");
        QTest::newRow("unknown") << QJsonObject{{"action", "reboot"}} << err("Unknown action: reboot");
        QTest::newRow("missing") << QJsonObject{{"process-id", "p"}} << err("Unknown action: ");
        QTest::newRow("non-string") << QJsonObject{{"action", 3}} << err("Unknown action: ");
    }

    void actionTable()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QJsonObject, expected);
        if (!m_shared) {
            m_shared = std::make_unique<Daemon>();
            QVERIFY(m_shared->start());
        }
        Daemon *d = m_shared.get();
        Conn c;
        QVERIFY(c.open(*d));
        const QList<QJsonValue> ids{QJsonValue(QJsonValue::Undefined), 7, "r-1", QJsonValue(QJsonValue::Null),
                                    QJsonObject{{"k", QJsonArray{1, 2}}}, QJsonArray{"a"}, true, 2.5};
        for (const QJsonValue &id : ids) {
            QJsonObject r = request;
            QJsonObject want = expected;
            if (!id.isUndefined()) {
                r.insert("request-id", id);
                want.insert("request-id", id);
            }
            QCOMPARE(withoutTimestamp(c.ask(r)), want);
        }
        QVERIFY(d->running()); // no request ends the daemon or the connection
        QVERIFY(c.client.isConnected());
    }

    void helloSetsLogPathAndKeepsRunning()
    {
        Daemon d;
        QVERIFY(d.start());
        Conn c;
        QVERIFY(c.open(d));
        const QString first = d.path("client-a/deeper/tarnd.log");
        for (const QString &v : {QString("1.4.9"), QString("1.4.8"), QString(), QString("latest")}) {
            QCOMPARE(withoutTimestamp(c.ask({{"action", "client-hello"}, {"log-path", first}, {"version", v}})),
                     (QJsonObject{{"status", "success"}}));
        }
        QVERIFY(QFileInfo(d.path("client-a/deeper")).isDir());
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::readFile(first).contains("Client connected:"), 5000);

        // The log follows the latest hello, from any client.
        Conn other;
        QVERIFY(other.open(d));
        const QString second = d.path("client-b.log");
        QCOMPARE(other.ask({{"action", "client-hello"}, {"log-path", second}}).value("status").toString(),
                 QStringLiteral("success"));
        c.ask({{"action", "client-hello"}, {"log-path", second}, {"version", "1.0"}});
        QVERIFY(testsupport::readFile(second).contains("Client version: \"1.0\""));
        QVERIFY(!testsupport::readFile(first).contains("Client version: \"1.0\""));

        // clear-logs removes the chosen file and its old generation; the next line recreates it.
        testsupport::writeFile(second + ".old", "old");
        QCOMPARE(c.ask({{"action", "clear-logs"}}).value("status").toString(), QStringLiteral("success"));
        QVERIFY(!QFileInfo::exists(second + ".old"));
        QVERIFY(!testsupport::readFile(second).contains("Client version"));
        QVERIFY(d.running());
    }

    void newerClientRestartsDaemon_data()
    {
        QTest::addColumn<QString>("version");
        // Compared by number, not by text; a suffix does not hide a newer number.
        QTest::newRow("1.4.10") << "1.4.10";
        QTest::newRow("suffix") << "1.5.0-beta";
    }

    void newerClientRestartsDaemon()
    {
        QFETCH(QString, version);
        Daemon d;
        QVERIFY(d.start());
        Conn c;
        QVERIFY(c.open(d));
        const QJsonObject r = c.ask({{"action", "client-hello"}, {"log-path", d.path("h.log")}, {"version", version},
                                     {"request-id", "x"}});
        QCOMPARE(r, (QJsonObject{{"status", "restarting"},
                                 {"reason", "Client version is higher than daemon version"},
                                 {"request-id", "x"}}));
        QCOMPARE(d.waitForExit(), 0);
        QCOMPARE(c.responses.size(), 1);
        QVERIFY(!QFileInfo::exists(d.socketPath()));
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
        const QJsonObject stubborn{{"action", "start"}, {"process-id", "stubborn"}, {"executable", Helper},
                                   {"arguments", QJsonArray{"ignoreint"}}};
        QCOMPARE(c.ask(stubborn).value("status").toString(), QStringLiteral("started"));
        QVERIFY(!c.client.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());

        // It ignores the Ctrl+C, so the stop takes the whole budget of 10 s.
        d.signal(SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(d.socketPath()), 5000);
        QLocalSocket late;
        late.connectToServer(d.socketPath());
        QVERIFY(!late.waitForConnected(1000));
        QJsonObject another = stubborn;
        another.insert("process-id", "another");
        QCOMPARE(withoutTimestamp(c.ask(another)), (QJsonObject{{"status", "error"}, {"error", "Daemon is shutting down"}}));
        QCOMPARE(c.ask({{"action", "heartbeat"}}).value("status").toString(), QStringLiteral("success"));
        QVERIFY(c.ask({{"action", "status"}, {"process-id", "stubborn"}}).value("running").toBool());

        const QJsonObject finished = c.client.waitForEvent(
            [](const QJsonObject &e) { return e.value("event") == "finished"; }, 30000);
        QCOMPARE(finished.value("data").toString(), QStringLiteral("1"));
        QCOMPARE(d.waitForExit(), 0);
    }

    void theLastOutputReachesAClientAtTheStop()
    {
        Daemon d;
        QVERIFY(d.start());
        TarnClient c;
        c.setEventQueue(true);
        QVERIFY(c.connectToDaemon(d.socketPath()));
        const int last = 3 * 1024 * 1024;
        QCOMPARE(c.call({{"action", "start"}, {"process-id", "bye"}, {"executable", Helper},
                         {"arguments", QJsonArray{"trapint", "0", QString::number(last)}}})
                     .value("status").toString(),
                 QStringLiteral("started"));
        QVERIFY(!c.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());
        // The client takes nothing while the daemon stops, so the child's last words are still
        // queued for it when the stop is done with the children.
        c.socket()->setReadBufferSize(64 * 1024);
        c.socket()->blockSignals(true);
        d.signal(SIGTERM);
        QVERIFY(d.waitForLog("All processes stopped gracefully"));
        QTest::qWait(500);
        c.socket()->blockSignals(false);
        c.socket()->setReadBufferSize(0);
        QByteArray out;
        for (const QJsonObject &e : c.events())
            if (e.value("event") == "stdout")
                out += e.value("data").toString().toLatin1();
        connect(&c, &TarnClient::eventReceived, this, [&](const QJsonObject &e) {
            if (e.value("event") == "stdout")
                out += e.value("data").toString().toLatin1();
        });
        const QJsonObject finished = c.waitForEvent([](const QJsonObject &e) { return e.value("event") == "finished"; }, 30000);
        QCOMPARE(finished.value("data").toString(), QStringLiteral("0"));
        QCOMPARE(out.size(), qsizetype(last) + 12); // "interrupted\n" too
        QCOMPARE(d.waitForExit(), 0);
    }

};

QTEST_GUILESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
