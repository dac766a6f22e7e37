// The Linux session layer against a stand-in logind on a private system bus: which sessions get
// a socket, which session a process is in, who gets through which socket, and what happens
// when logind is absent or fails later. The stand-in is set up before anything asks for
// sessions: whether logind is there is decided once per process.

#include "tarnclient.h"
#include "ipc/communicationserver.h"
#include "ipc/sessions.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QUuid>
#include <QtTest>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint Nobody = 65534;
constexpr uint Other = 65532; // a second user without a password entry: identity is the uid
// The distribution's interpreter: the one on PATH may lack the dbusmock module.
const QString Python = QStringLiteral("/usr/bin/python3");

// A private bus with a stand-in logind on it (python-dbusmock's logind template), reached through
// DBUS_SYSTEM_BUS_ADDRESS, and changed through python's dbus module. Each call is false when
// the stand-in did not take it.
class LogindMock
{
public:
    ~LogindMock()
    {
        stopLogind();
        end(m_bus);
    }
    bool start(QString *error)
    {
        // A session bus: only this user's processes (the tests' and their daemons') may use it.
        m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {"--session", "--address=unix:path=" + m_dir.path() + "/bus", "--nofork", "--print-address"});
        QByteArray out;
        (void)QTest::qWaitFor([&] {
            m_bus.waitForReadyRead(200);
            return (out += m_bus.readAllStandardOutput()).contains('\n') || m_bus.state() == QProcess::NotRunning;
        }, 20000);
        m_address = QString::fromUtf8(out.left(out.indexOf('\n'))).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", m_address);
        m_logind.setProcessEnvironment(env);
        m_logind.setStandardOutputFile(QProcess::nullDevice()); // a line per call, which nobody reads
        m_logind.start(Python, {"-m", "dbusmock", "--template", "logind"});
        *error = "the logind stand-in did not come up on \"" + m_address + "\" (python3-dbusmock installed?)";
        return !m_address.isEmpty()
            && py("for _ in range(300):\n"
                  "    if up(): sys.exit(0)\n"
                  "    time.sleep(0.1)\n"
                  "sys.exit(1)")
            // The template's own GetUser adds a number to a string and so always fails.
            && setMethod("GetUser", "u", "o",
                         "ret = dbus.ObjectPath('/org/freedesktop/login1/user/%d' % args[0])");
    }
    QString address() const { return m_address; }

    // A session of class "user", "active" (or "online"); its seat and user made when missing.
    bool addSession(quint32 id, uint uid, const QString &user, bool active = true)
    {
        return py("mock.AddSession(sys.argv[1], 'seat0', int(sys.argv[2]), sys.argv[3], sys.argv[4] == '1')",
                  {QString::number(id), QString::number(uid), user, active ? "1" : "0"});
    }
    bool removeSession(quint32 id)
    {
        return py("mock.RemoveObject(session(int(sys.argv[1])))", {QString::number(id)});
    }
    // A property of org.freedesktop.login1.Session ("State", "Class").
    bool setSession(quint32 id, const QString &property, const QString &value)
    {
        return py("dbus.Interface(obj(session(int(sys.argv[1]))), MOCK).UpdateProperties("
                  "'org.freedesktop.login1.Session', {sys.argv[2]: sys.argv[3]})",
                  {QString::number(id), property, value});
    }
    // The user's "Display" session; 0 for none. The stand-in's UpdateProperties cannot take a
    // structure; the plain Set can.
    bool setDisplay(uint uid, quint32 id)
    {
        return py("uid, id = int(sys.argv[1]), int(sys.argv[2])\n"
                  "path = dbus.ObjectPath(session(id) if id else '/')\n"
                  "display = dbus.Struct((str(id) if id else '', path), signature='so')\n"
                  "obj('/org/freedesktop/login1/user/%d' % uid).Set("
                  "'org.freedesktop.login1.User', 'Display', display, "
                  "dbus_interface='org.freedesktop.DBus.Properties')",
                  {QString::number(uid), QString::number(id)});
    }
    // A manager method whose Python code sets "ret" from "args", or raises a DBusException.
    bool setMethod(const QString &name, const QString &in, const QString &out, const QString &code)
    {
        return py("mock.AddMethod('org.freedesktop.login1.Manager', *sys.argv[1:])", {name, in, out, code});
    }
    // Calls of the manager's method since clearCalls(); -1 when it cannot be told.
    int calls(const QString &method)
    {
        QByteArray out;
        return py("print(len(mock.GetMethodCalls(sys.argv[1])))", {method}, &out) ? out.trimmed().toInt() : -1;
    }
    bool clearCalls() { return py("mock.ClearCalls()"); }
    // Ends the stand-in; the bus stays, so logind is gone as it would be on a real machine.
    void stopLogind() { end(m_logind); }

private:
    static void end(QProcess &p)
    {
        if (p.state() == QProcess::NotRunning)
            return;
        p.terminate();
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    bool py(const QString &code, const QStringList &args = {}, QByteArray *out = nullptr)
    {
        const QString preamble = "import dbus, sys, time\n"
                                 "bus = dbus.bus.BusConnection('" + m_address + "')\n"
                                 "MOCK = 'org.freedesktop.DBus.Mock'\n"
                                 "def obj(path): return bus.get_object('org.freedesktop.login1', path)\n"
                                 "def session(id): return '/org/freedesktop/login1/session/%d' % id\n"
                                 "up = lambda: bus.name_has_owner('org.freedesktop.login1')\n"
                                 "mock = dbus.Interface(obj('/org/freedesktop/login1'), MOCK) if up() else None\n";
        QProcess p;
        p.start(Python, QStringList{"-c", preamble + code} + args);
        const bool ok = p.waitForFinished(40000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (!ok)
            qWarning().noquote() << "logind stand-in:" << code << p.readAllStandardError();
        if (out)
            *out = p.readAllStandardOutput();
        return ok;
    }

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_logind;
    QString m_address;
};

// The helper idling as uid until p goes; or a client, connected to socket until p goes.
bool runAs(QProcess &p, uint uid, const QString &socket = QString())
{
    p.setChildProcessModifier([uid] {
        if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(1);
    });
    if (socket.isEmpty())
        p.start(QStringLiteral(HELPER_CHILDHELPER), {"noread"});
    else
        p.start(Python, {"-c", "import socket, sys, time\n"
                               "s = socket.socket(socket.AF_UNIX)\n"
                               "s.connect(sys.argv[1])\n"
                               "time.sleep(120)",
                         socket});
    return p.waitForStarted(30000) && p.state() == QProcess::Running;
}

// Stand-in code that takes its time: it makes the file held when called, and goes on only once
// the file release is there (20 s at most). logind, stuck for as long as the test says.
QString holdUntil(const QString &held, const QString &release)
{
    return QStringLiteral("import os, time\n"
                          "open('%1', 'w').close()\n"
                          "for _ in range(400):\n"
                          "    if os.path.exists('%2'): break\n"
                          "    time.sleep(0.05)\n")
        .arg(held, release);
}

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

    std::unique_ptr<LogindMock> m_logind;
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
        m_logind = std::make_unique<LogindMock>();
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
        QVERIFY(m_logind->setSession(5, "State", "closing"));
        QVERIFY(m_logind->addSession(6, Other, "other"));
        QVERIFY(m_logind->setSession(6, "Class", "greeter"));

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
        QVERIFY(m_logind->setSession(3, "State", "closing"));
        QVERIFY(m_logind->removeSession(4));
        QTRY_COMPARE_WITH_TIMEOUT(sorted(server.servedSessions()), (QList<quint32>{1, 7}), 10000);
        QVERIFY(!QFileInfo::exists(socket(3)) && !QFileInfo::exists(socket(4)));

        // Back as the later tests expect them: 3 is nobody's first session, 4 other's.
        QVERIFY(m_logind->setSession(3, "State", "active"));
        QVERIFY(m_logind->addSession(4, Other, "other", false));
    }

    void processesMapToTheirOwnSessions()
    {
        QVERIFY(m_logind->addSession(8, Other, "other", false));
        QVERIFY(relist());

        // Outside any session scope: where logind places the process, as long as that is a
        // session of its own user; else the user's display; else its first session.
        QProcess others, nobodys;
        QVERIFY(runAs(others, Other) && runAs(nobodys, Nobody));
        QVERIFY(m_logind->setMethod("GetSessionByPID", "u", "o",
                                    sessionsByPid({{others.processId(), 8}, {nobodys.processId(), 8}})));
        QVERIFY(m_logind->clearCalls());
        QCOMPARE(sessionOf(others.processId()), 8u);
        QCOMPARE(sessionOf(nobodys.processId()), 3u);
        QVERIFY(m_logind->setDisplay(Nobody, 7));
        QVERIFY(relist());
        QCOMPARE(sessionOf(nobodys.processId()), 7u);
        // What the last listing said is used, not listed again.
        QCOMPARE(m_logind->calls("ListSessions"), 1);
        QVERIFY(m_logind->setDisplay(Nobody, 0));
        QVERIFY(relist());

        Cgroups cgroups;
        if (!cgroups.usable())
            QSKIP("no writable unified cgroup hierarchy to place processes in session scopes");
        // A scope counts, without asking logind, only right under the process's own user slice:
        // not under another uid's, nor in cgroups a user makes below its own slice.
        QProcess inScope, foreign, nested;
        QVERIFY(runAs(inScope, Nobody) && runAs(foreign, Nobody) && runAs(nested, Nobody));
        QVERIFY(cgroups.place(inScope.processId(), "user.slice/user-65534.slice/session-7.scope"));
        QVERIFY(cgroups.place(foreign.processId(), "user.slice/user-65532.slice/session-9.scope"));
        QVERIFY(cgroups.place(nested.processId(), "user.slice/user-65534.slice/user@65534.service/session-9.scope"));
        QVERIFY(m_logind->clearCalls());
        QCOMPARE(sessionOf(inScope.processId()), 7u);
        QCOMPARE(m_logind->calls("GetSessionByPID"), 0);
        QCOMPARE(sessionOf(foreign.processId()), 3u);
        QCOMPARE(sessionOf(nested.processId()), 3u);
    }

    // The real daemon on logind's sessions: a peer gets only into its own user's sessions; the
    // self-restart a newer client asks for costs no other session its processes.
    void theDaemonOnLogindsSessions()
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

        // Root's clients, one in session 1 and one through nobody's session 3: the same id twice.
        // Session 1's core says so on stdout for each Ctrl+C it gets, and outlives it.
        TarnClient one, three;
        const auto finished = [](const QJsonObject &e) { return e.value("event") == "finished"; };
        for (auto [client, session, mode] : {std::tuple{&one, "1", "ignoreint"}, std::tuple{&three, "3", "noread"}}) {
            client->setEventQueue(true);
            QVERIFY(client->connectToDaemon(daemon.path(QStringLiteral("run/tarnd-") + session)));
            const QJsonObject core = TarnClient::startRequest("core", QStringLiteral(HELPER_CHILDHELPER), {mode});
            QCOMPARE(client->call(core).value("status").toString(), QStringLiteral("started"));
        }
        // Session 1's core is up before the restart is asked for: a Ctrl+C it got later is the restart's.
        const auto isStdout = [](const QJsonObject &e) { return e.value("event") == "stdout"; };
        QString out = one.waitForEvent(isStdout).value("data").toString();
        QVERIFY2(out.contains("ready"), qPrintable(out));
        const QJsonObject hello{{"action", "client-hello"}, {"log-path", daemon.path("three.log")}, {"version", "99"}};
        QCOMPARE(three.call(hello).value("status").toString(), QStringLiteral("restarting"));
        QVERIFY(!three.waitForEvent(finished).isEmpty());
        QVERIFY(daemon.waitForLog("Daemon restart waits for 1 process(es) of other sessions to end"));
        QVERIFY(one.call({{"action", "status"}, {"process-id", "core"}}).value("running").toBool());
        QVERIFY(daemon.running());
        // The quit follows the end of the last one, which the restart never tried to stop.
        QCOMPARE(one.call({{"action", "kill"}, {"process-id", "core"}}).value("status").toString(), QStringLiteral("killed"));
        QVERIFY(!one.waitForEvent(finished).isEmpty());
        for (const QJsonObject &e : std::as_const(one.events()))
            if (isStdout(e))
                out += e.value("data").toString();
        QVERIFY2(!out.contains("ctrl-c"), qPrintable(out));
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

    // A peer whose session only logind can tell waits for logind's answer; nobody else does.
    void aPeerWaitsForLogindAlone()
    {
        const QString held = m_dir.path() + "/held", release = m_dir.path() + "/release";
        QVERIFY(m_logind->setMethod("GetSessionByPID", "u", "o",
                                    holdUntil(held, release)
                                        + "raise dbus.exceptions.DBusException('no session', "
                                          "name='org.freedesktop.login1.NoSessionForPID')\n"));
        CommunicationServer server(nullptr, nullptr, fast);
        QVERIFY(server.start(m_dir.path() + "/tarnd"));
        QSignalSpy connected(&server, &CommunicationServer::clientConnected);
        // Outside any session scope: its session is logind's to tell.
        QProcess nobodys;
        QVERIFY(runAs(nobodys, Nobody, socket(3)));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(held), 20000);
        // Held in logind, and this thread is the server's: root comes in meanwhile, first.
        QLocalSocket root;
        root.connectToServer(socket(1));
        QTRY_VERIFY_WITH_TIMEOUT(!connected.isEmpty(), 20000);
        sessions::PeerInfo peer;
        QVERIFY(server.peerOfClient(connected[0][0].toString(), &peer));
        QCOMPARE(peer.uid, 0u);
        QVERIFY(connected.size() == 1);
        // Once logind has done, nobody is in its own session (its first; logind placed it nowhere).
        testsupport::writeFile(release, "");
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, 20000);
        QVERIFY(server.peerOfClient(connected[1][0].toString(), &peer));
        QCOMPARE(peer.uid, Nobody);
        QCOMPARE(peer.session, 3u);
        nobodys.kill();
        nobodys.waitForFinished(10000);
        QVERIFY(m_logind->setMethod("GetSessionByPID", "u", "o", sessionsByPid({})));
        QFile::remove(held);
        QFile::remove(release);
    }

    // Last: it breaks the stand-in for good.
    void failingLogindKeepsTheSockets()
    {
        CommunicationServer server(nullptr, nullptr, fast);
        QVERIFY(server.start(m_dir.path() + "/tarnd"));
        QCOMPARE(sorted(server.servedSessions()), (QList<quint32>{1, 3, 4, 7, 8}));
        testsupport::LogCapture log;
        const QString broken = "raise dbus.exceptions.DBusException('broken', name='org.freedesktop.DBus.Error.Failed')\n";
        // A listing logind holds is waited for aside: the server's thread (this one) goes on,
        // and only the answer's time-out, later, says it failed.
        const QString held = m_dir.path() + "/held", release = m_dir.path() + "/release";
        QVERIFY(m_logind->setMethod("ListSessions", "", "a(susso)", holdUntil(held, release) + broken));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(held), 20000);
        QCOMPARE(log.count("ListSessions failed"), 0);
        testsupport::writeFile(release, "");
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
