// The Linux session layer against a stand-in logind on a private system bus: which sessions get
// a socket, which session a process is in, who gets through which socket, and what happens
// when logind is absent or fails later. The stand-in is set up before anything asks for
// sessions: whether logind is there is decided once per process.

#include "tarnclient.h"
#include "ipc/communicationserver.h"
#include "ipc/sessions.h"
#include "logindmock.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>
#include <QtTest>

#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint Nobody = 65534;
constexpr uint Other = 65532; // a second user without a password entry: identity is the uid

// A process that runs as uid until destroyed; pid() is -1 unless it got that far.
class Idle
{
public:
    explicit Idle(uint uid)
    {
        int hold[2];
        if (pipe(hold) != 0)
            return;
        m_hold = hold[1];
        m_child = fork();
        if (m_child == 0) {
            close(hold[1]);
            char c;
            if (setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0)
                while (read(hold[0], &c, 1) > 0) {
                }
            _exit(0);
        }
        close(hold[0]);
        const QString status = QString("/proc/%1/status").arg(m_child);
        const QByteArray uidLine = "\nUid:\t" + QByteArray::number(uid) + "\t";
        if (m_child > 0 && QTest::qWaitFor([&] { return testsupport::readFile(status).contains(uidLine); }, 30000))
            m_pid = m_child;
    }
    ~Idle()
    {
        close(m_hold);
        if (m_child > 0)
            waitpid(m_child, nullptr, 0);
    }
    qint64 pid() const { return m_pid; }

private:
    pid_t m_child = -1;
    pid_t m_pid = -1;
    int m_hold = -1;
};

// Cgroups made under the unified hierarchy, removed (once empty) at the end.
class Cgroups
{
public:
    Cgroups()
    {
        for (const QString root : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"})
            if (QFileInfo::exists(root + "/cgroup.controllers")
                && QDir().mkpath(m_base = root + "/tarnd-test-" + QUuid::createUuid().toString(QUuid::Id128)))
                return;
        m_base.clear();
    }
    ~Cgroups()
    {
        // Deepest first.
        std::sort(m_made.begin(), m_made.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
        for (const QString &dir : m_made + QStringList{m_base})
            (void)QTest::qWaitFor(
                [&] { return !QFileInfo::exists(dir) || rmdir(QFile::encodeName(dir).constData()) == 0; }, 10000);
    }
    bool usable() const { return !m_base.isEmpty(); }
    // Moves pid into the cgroup at relative path (".../session-3.scope").
    bool place(qint64 pid, const QString &relative)
    {
        QString dir = m_base;
        for (const QString &name : relative.split('/', Qt::SkipEmptyParts))
            if (!m_made.contains(dir += "/" + name) && QDir().mkdir(dir))
                m_made << dir;
        QFile procs(dir + "/cgroup.procs");
        return procs.open(QIODevice::WriteOnly) && procs.write(QByteArray::number(pid)) > 0 && procs.flush();
    }

private:
    QString m_base;
    QStringList m_made;
};

QList<quint32> sorted(QList<quint32> ids)
{
    std::sort(ids.begin(), ids.end());
    return ids;
}

// GetSessionByPID that knows only the given processes.
QString sessionsByPid(const QMap<qint64, quint32> &known)
{
    QStringList pairs;
    for (auto it = known.cbegin(); it != known.cend(); ++it)
        pairs << QStringLiteral("%1: %2").arg(it.key()).arg(it.value());
    return QStringLiteral("known = {%1}\n"
                          "if args[0] not in known:\n"
                          "    raise dbus.exceptions.DBusException('no session', "
                          "name='org.freedesktop.login1.NoSessionForPID')\n"
                          "ret = dbus.ObjectPath('/org/freedesktop/login1/session/%d' % known[args[0]])\n")
        .arg(pairs.join(", "));
}

quint32 sessionOf(qint64 pid)
{
    std::uint32_t session = 0;
    return sessions::sessionOfProcess(pid, &session) ? session : 0;
}

bool relist()
{
    std::vector<sessions::SessionInfo> listed;
    return sessions::listActive(listed, nullptr);
}

} // namespace

class TestLogind : public QObject
{
    Q_OBJECT

    std::unique_ptr<testsupport::LogindMock> m_logind;
    QTemporaryDir m_dir;
    // Sessions polled often; no client times out however slow the machine.
    const CommunicationServer::Timing fast{600000, 600000, 100};

    QString socket(quint32 session) const { return m_dir.path() + "/tarnd-" + QString::number(session); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("acting as other users needs root");
        QVERIFY(m_dir.isValid());
        QCOMPARE(chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        m_logind = std::make_unique<testsupport::LogindMock>();
        QString error;
        QVERIFY2(m_logind->start(&error), qPrintable(error));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_logind->address().toLocal8Bit());
        QVERIFY(m_logind->addSession(1, 0, "root"));
        QVERIFY(m_logind->addSession(3, Nobody, "nobody"));
        QVERIFY(m_logind->addSession(4, Other, "other", false));
        QVERIFY(m_logind->setMethod("GetSessionByPID", "u", "o", sessionsByPid({})));
        QCOMPARE(QString::fromStdString(sessions::sourceName()), QStringLiteral("logind"));
    }

    void cleanupTestCase()
    {
        m_logind.reset();
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void socketsFollowSessions()
    {
        QVERIFY(m_logind->addSession(5, Nobody, "nobody"));
        QVERIFY(m_logind->setSession(5, {{"State", "closing"}}));
        QVERIFY(m_logind->addSession(6, Other, "other"));
        QVERIFY(m_logind->setSession(6, {{"Class", "greeter"}}));

        std::vector<sessions::SessionInfo> listed;
        QVERIFY(sessions::listActive(listed, nullptr));
        QStringList seen;
        for (const auto &s : listed)
            seen << QStringLiteral("%1 %2 %3")
                        .arg(s.id)
                        .arg(QString::fromStdString(s.user), QString::fromStdString(s.principal));
        QCOMPARE(seen, (QStringList{"1 root 0", "3 nobody 65534", "4 other 65532"}));

        CommunicationServer server(nullptr, nullptr, fast);
        QVERIFY(server.start(m_dir.path() + "/tarnd"));
        QCOMPARE(sorted(server.servedSessions()), (QList<quint32>{1, 3, 4}));
        QVERIFY(QFileInfo::exists(socket(3)) && !QFileInfo::exists(socket(5)) && !QFileInfo::exists(socket(6)));

        QVERIFY(m_logind->addSession(7, Nobody, "nobody"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket(7)), 10000);
        QVERIFY(m_logind->setSession(3, {{"State", "closing"}}));
        QVERIFY(m_logind->removeSession(4));
        QTRY_COMPARE_WITH_TIMEOUT(sorted(server.servedSessions()), (QList<quint32>{1, 7}), 10000);
        QVERIFY(!QFileInfo::exists(socket(3)) && !QFileInfo::exists(socket(4)));

        // Back as the later tests expect them: 3 is nobody's first session, 4 other's.
        QVERIFY(m_logind->setSession(3, {{"State", "active"}}));
        QVERIFY(m_logind->addSession(4, Other, "other", false));
    }

    void processesMapToTheirOwnSessions()
    {
        QVERIFY(m_logind->addSession(8, Other, "other", false));
        QVERIFY(relist());

        // Outside any session scope: where logind places the process, as long as that is a
        // session of its own user; else the user's display; else its first session.
        Idle others(Other), nobodys(Nobody);
        QVERIFY(others.pid() > 0 && nobodys.pid() > 0);
        QVERIFY(m_logind->setMethod("GetSessionByPID", "u", "o", sessionsByPid({{others.pid(), 8}, {nobodys.pid(), 8}})));
        QVERIFY(m_logind->clearCalls());
        QCOMPARE(sessionOf(others.pid()), 8u);
        QCOMPARE(sessionOf(nobodys.pid()), 3u);
        QVERIFY(m_logind->setDisplay(Nobody, 7));
        QVERIFY(relist());
        QCOMPARE(sessionOf(nobodys.pid()), 7u);
        // What the last listing said is used, not listed again.
        QCOMPARE(m_logind->calls("ListSessions"), 1);
        QVERIFY(m_logind->setDisplay(Nobody, 0));
        QVERIFY(relist());

        Cgroups cgroups;
        if (!cgroups.usable())
            QSKIP("no writable unified cgroup hierarchy to place processes in session scopes");
        // A scope counts, without asking logind, only right under the process's own user slice:
        // not under another uid's, nor in cgroups a user makes below its own slice.
        Idle inScope(Nobody), foreign(Nobody), nested(Nobody);
        QVERIFY(inScope.pid() > 0 && foreign.pid() > 0 && nested.pid() > 0);
        QVERIFY(cgroups.place(inScope.pid(), "user.slice/user-65534.slice/session-7.scope"));
        QVERIFY(cgroups.place(foreign.pid(), "user.slice/user-65532.slice/session-9.scope"));
        QVERIFY(cgroups.place(nested.pid(), "user.slice/user-65534.slice/user@65534.service/session-9.scope"));
        QVERIFY(m_logind->clearCalls());
        QCOMPARE(sessionOf(inScope.pid()), 7u);
        QCOMPARE(m_logind->calls("GetSessionByPID"), 0);
        QCOMPARE(sessionOf(foreign.pid()), 3u);
        QCOMPARE(sessionOf(nested.pid()), 3u);
    }

    void peersGetOnlyIntoTheirOwnSessions()
    {
        QVERIFY(m_logind->setDisplay(Nobody, 3));
        testsupport::Daemon daemon;
        QVERIFY(daemon.start({"DBUS_SYSTEM_BUS_ADDRESS=" + m_logind->address()}));
        QVERIFY(daemon.log().contains("User sessions from logind"));
        QCOMPARE(chmod(QFile::encodeName(daemon.path("")).constData(), 0755), 0);
        const QString nobodys = daemon.path("run/tarnd-3"), others = daemon.path("run/tarnd-4");
        QVERIFY(QFileInfo::exists(nobodys) && QFileInfo::exists(others));
        QVERIFY(testsupport::runAsUser(Other, nobodys).refused);
        QVERIFY(testsupport::runAsUser(Nobody, others).refused);
        QVERIFY(!testsupport::runAsUser(Nobody, nobodys).refused);
    }

    // The self-restart a newer client asks for costs no other session its processes.
    void aNewerClientRestartsTheDaemonOnlyOnceOtherSessionsAreDone()
    {
        testsupport::Daemon daemon;
        QVERIFY(daemon.start({"DBUS_SYSTEM_BUS_ADDRESS=" + m_logind->address()}));
        // Root's clients, one in session 1 and one through nobody's session 3: the same id twice.
        TarnClient one, three;
        const auto finished = [](const QJsonObject &e) { return e.value("event") == "finished"; };
        const QJsonObject core = TarnClient::startRequest("core", QStringLiteral(HELPER_CHILDHELPER), {"noread"});
        for (auto [client, session] : {std::pair{&one, "1"}, std::pair{&three, "3"}}) {
            client->setEventQueue(true);
            QVERIFY(client->connectToDaemon(daemon.path(QStringLiteral("run/tarnd-") + session)));
            QCOMPARE(client->call(core).value("status").toString(), QStringLiteral("started"));
        }
        const QJsonObject hello{{"action", "client-hello"}, {"log-path", daemon.path("three.log")}, {"version", "99"}};
        QCOMPARE(three.call(hello).value("status").toString(), QStringLiteral("restarting"));
        QVERIFY(!three.waitForEvent(finished).isEmpty());
        QVERIFY(daemon.waitForLog("Daemon restart waits for 1 process(es) of other sessions to end"));
        QVERIFY(one.call({{"action", "status"}, {"process-id", "core"}}).value("running").toBool());
        QVERIFY(daemon.running());
        // The quit follows the end of the last one.
        QCOMPARE(one.call({{"action", "stop"}, {"process-id", "core"}}).value("status").toString(), QStringLiteral("stopping"));
        QVERIFY(!one.waitForEvent(finished).isEmpty());
        QCOMPARE(daemon.waitForExit(), 0);
        QVERIFY(testsupport::inOrder(daemon.log(), {"Client version \"99\" is higher than daemon version \"1.4.9\" - restarting daemon",
                                                    "Initiating daemon restart due to version mismatch",
                                                    "Event loop exited, stopping daemon..."}));
    }

    void withoutLogindOneSession()
    {
        testsupport::Daemon daemon;
        QVERIFY(daemon.start({"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + m_dir.path() + "/no-bus-here"}));
        QVERIFY(daemon.log().contains("logind cannot be reached; serving a single session (1) for every process"));
        QVERIFY(!QFileInfo::exists(daemon.path("run/tarnd-3")));
    }

    // Last: it breaks the stand-in for good.
    void failingLogindKeepsTheSockets()
    {
        CommunicationServer server(nullptr, nullptr, fast);
        QVERIFY(server.start(m_dir.path() + "/tarnd"));
        QCOMPARE(sorted(server.servedSessions()), (QList<quint32>{1, 3, 4, 7, 8}));
        testsupport::LogCapture log;
        QVERIFY(m_logind->setMethod("ListSessions", "", "a(susso)",
                                    "raise dbus.exceptions.DBusException('broken', name='org.freedesktop.DBus.Error.Failed')"));
        // Broken, then gone; each time polled twice over without a socket taken away.
        for (bool stop : {false, true}) {
            if (stop)
                m_logind->stopLogind();
            std::vector<sessions::SessionInfo> listed;
            std::string error;
            QVERIFY(!sessions::listActive(listed, &error));
            QVERIFY(listed.empty());
            const int failed = log.count("ListSessions failed");
            QTRY_VERIFY_WITH_TIMEOUT(log.count("ListSessions failed") >= failed + 2, 10000);
            QCOMPARE(sorted(server.servedSessions()), (QList<quint32>{1, 3, 4, 7, 8}));
        }
        QVERIFY(QFileInfo::exists(socket(3)));
    }
};

QTEST_GUILESS_MAIN(TestLogind)
#include "tst_logind.moc"
