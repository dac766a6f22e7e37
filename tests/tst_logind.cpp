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

void end(QProcess &p)
{
    p.terminate();
    if (p.state() != QProcess::NotRunning && !p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

// A private bus (a session bus: only this user's processes may use it) with a stand-in logind on
// it (python-dbusmock's logind template), reached through DBUS_SYSTEM_BUS_ADDRESS and changed
// through python's dbus module. Each call is false when the stand-in did not take it.
struct LogindMock
{
    ~LogindMock()
    {
        end(logind);
        end(bus);
    }
    bool start()
    {
        bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        bus.start(QStringLiteral("dbus-daemon"), {"--session", "--address=" + address, "--nofork"});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", address);
        logind.setProcessEnvironment(env);
        logind.setStandardOutputFile(QProcess::nullDevice()); // a line per call, which nobody reads
        logind.start(Python, {"-m", "dbusmock", "--template", "logind"});
        return QTest::qWaitFor([&] { return QFileInfo::exists(dir.path() + "/bus"); }, 20000)
            && py("for _ in range(300):\n"
                  "    if up(): sys.exit(0)\n"
                  "    time.sleep(0.1)\n"
                  "sys.exit(1)")
            // The template's own GetUser adds a number to a string and so always fails.
            && setMethod("GetUser", "u", "o", "ret = dbus.ObjectPath('/org/freedesktop/login1/user/%d' % args[0])");
    }
    // A session of class "user", "active" (or "online"); its seat and user made when missing.
    bool addSession(quint32 id, uint uid, const QString &user, bool active = true)
    {
        return py("mock.AddSession(sys.argv[1], 'seat0', int(sys.argv[2]), sys.argv[3], sys.argv[4] == '1')",
                  {QString::number(id), QString::number(uid), user, active ? "1" : "0"});
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
                  "display = dbus.Struct((str(id) if id else '', dbus.ObjectPath(session(id) if id else '/')), "
                  "signature='so')\n"
                  "obj('/org/freedesktop/login1/user/%d' % uid).Set('org.freedesktop.login1.User', 'Display', "
                  "display, dbus_interface='org.freedesktop.DBus.Properties')",
                  {QString::number(uid), QString::number(id)});
    }
    // A manager method whose Python code sets "ret" from "args", or raises a DBusException.
    bool setMethod(const QString &name, const QString &in, const QString &out, const QString &code)
    {
        return py("mock.AddMethod('org.freedesktop.login1.Manager', *sys.argv[1:])", {name, in, out, code});
    }
    bool py(const QString &code, const QStringList &args = {})
    {
        const QString preamble = "import dbus, sys, time\n"
                                 "bus = dbus.bus.BusConnection('" + address + "')\n"
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
        return ok;
    }
    QTemporaryDir dir;
    const QString address = "unix:path=" + dir.path() + "/bus";
    QProcess bus, logind;
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

// Stand-in code that makes the file held when called, and goes on only once the file release is
// there (20 s at most): logind, stuck for as long as the test says; then it fails.
QString heldThenFails(const QString &held, const QString &release, const QString &error)
{
    return QStringLiteral("import os, time\n"
                          "open('%1', 'w').close()\n"
                          "for _ in range(400):\n"
                          "    if os.path.exists('%2'): break\n"
                          "    time.sleep(0.05)\n"
                          "raise dbus.exceptions.DBusException('failed', name='%3')\n")
        .arg(held, release, error);
}

// Cgroups made under the unified hierarchy, removed (once empty, deepest first) at the end.
struct Cgroups
{
    Cgroups()
    {
        for (const QString root : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"})
            if (QFileInfo::exists(root + "/cgroup.controllers")
                && QDir().mkpath(base = root + "/tarnd-test-" + QUuid::createUuid().toString(QUuid::Id128)))
                return;
        base.clear();
    }
    ~Cgroups()
    {
        std::sort(made.begin(), made.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
        for (const QString &dir : made + QStringList{base})
            (void)QTest::qWaitFor(
                [&] { return !QFileInfo::exists(dir) || rmdir(QFile::encodeName(dir).constData()) == 0; }, 10000);
    }
    // Moves pid into the cgroup at relative path (".../session-3.scope").
    bool place(qint64 pid, const QString &relative)
    {
        QString dir = base;
        for (const QString &name : relative.split('/', Qt::SkipEmptyParts))
            if (!made.contains(dir += "/" + name) && QDir().mkdir(dir))
                made << dir;
        QFile procs(dir + "/cgroup.procs");
        return procs.open(QIODevice::WriteOnly) && procs.write(QByteArray::number(pid)) > 0 && procs.flush();
    }
    QString base;
    QStringList made;
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

// The sessions listed, "ID USER PRINCIPAL" each; "failed" when the listing failed.
QStringList listed()
{
    std::vector<sessions::SessionInfo> all;
    std::string error;
    QStringList seen;
    if (!sessions::listActive(all, &error))
        return {"failed"};
    for (const auto &s : all)
        seen << QStringLiteral("%1 %2 %3").arg(s.id).arg(QString::fromStdString(s.user), QString::fromStdString(s.principal));
    return seen;
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
        QCOMPARE(chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        m_logind = std::make_unique<LogindMock>();
        QVERIFY2(m_logind->start(), "the logind stand-in did not come up (python3-dbusmock installed?)");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_logind->address.toLocal8Bit());
        QVERIFY(m_logind->addSession(1, 0, "root") && m_logind->addSession(3, Nobody, "nobody"));
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

    // Only active or online sessions of class "user" get a socket, and only while they are.
    void socketsFollowSessions()
    {
        QVERIFY(m_logind->addSession(5, Nobody, "nobody") && m_logind->setSession(5, "State", "closing"));
        QVERIFY(m_logind->addSession(6, Other, "other") && m_logind->setSession(6, "Class", "greeter"));
        QCOMPARE(listed(), (QStringList{"1 root 0", "3 nobody 65534", "4 other 65532"}));
        CommunicationServer server(nullptr, nullptr, fast);
        QVERIFY(server.start(m_dir.path() + "/tarnd"));
        QCOMPARE(sorted(server.servedSessions()), (QList<quint32>{1, 3, 4}));
        QVERIFY(QFileInfo::exists(socket(3)) && !QFileInfo::exists(socket(5)) && !QFileInfo::exists(socket(6)));

        QVERIFY(m_logind->addSession(7, Nobody, "nobody"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket(7)), 10000);
        QVERIFY(m_logind->setSession(3, "State", "closing") && m_logind->py("mock.RemoveObject(session(4))"));
        QTRY_COMPARE_WITH_TIMEOUT(sorted(server.servedSessions()), (QList<quint32>{1, 7}), 10000);
        QVERIFY(!QFileInfo::exists(socket(3)) && !QFileInfo::exists(socket(4)));
        // Back as the later tests expect them: 3 is nobody's first session, 4 other's.
        QVERIFY(m_logind->setSession(3, "State", "active") && m_logind->addSession(4, Other, "other", false));
    }

    // Outside any session scope, a process is where logind places it, as long as that is a session
    // of its own user; else in the user's display; else in its first session. A scope counts,
    // without asking logind, only right under the process's own user slice: not under another
    // uid's, nor in cgroups a user makes below its own slice.
    void processesMapToTheirOwnSessions()
    {
        QVERIFY(m_logind->addSession(8, Other, "other", false));
        QProcess others, nobodys;
        QVERIFY(runAs(others, Other) && runAs(nobodys, Nobody));
        QVERIFY(m_logind->setMethod("GetSessionByPID", "u", "o",
                                    sessionsByPid({{others.processId(), 8}, {nobodys.processId(), 8}})));
        QVERIFY(listed().size() == 5);
        QCOMPARE(sessionOf(others.processId()), 8u);
        QCOMPARE(sessionOf(nobodys.processId()), 3u);
        QVERIFY(m_logind->setDisplay(Nobody, 7));
        QVERIFY(listed().size() == 5);
        QCOMPARE(sessionOf(nobodys.processId()), 7u);
        QVERIFY(m_logind->setDisplay(Nobody, 0));
        QVERIFY(listed().size() == 5);

        Cgroups cgroups;
        if (cgroups.base.isEmpty())
            QSKIP("no writable unified cgroup hierarchy to place processes in session scopes");
        QProcess inScope, foreign, nested;
        QVERIFY(runAs(inScope, Nobody) && runAs(foreign, Nobody) && runAs(nested, Nobody));
        QVERIFY(cgroups.place(inScope.processId(), "user.slice/user-65534.slice/session-7.scope"));
        QVERIFY(cgroups.place(foreign.processId(), "user.slice/user-65532.slice/session-9.scope"));
        QVERIFY(cgroups.place(nested.processId(), "user.slice/user-65534.slice/user@65534.service/session-9.scope"));
        QCOMPARE(sessionOf(inScope.processId()), 7u);
        QCOMPARE(sessionOf(foreign.processId()), 3u);
        QCOMPARE(sessionOf(nested.processId()), 3u);
    }

    // The real daemon on logind's sessions: a peer gets only into its own user's sessions; the
    // self-restart a newer client asks for costs no other session its processes.
    void theDaemonOnLogindsSessions()
    {
        QVERIFY(m_logind->setDisplay(Nobody, 3));
        testsupport::Daemon daemon;
        QVERIFY(daemon.start({"DBUS_SYSTEM_BUS_ADDRESS=" + m_logind->address, "QT_LOGGING_RULES=tarnd.debug=true"}));
        QVERIFY(daemon.log().contains("User sessions from logind"));
        QCOMPARE(chmod(QFile::encodeName(daemon.path("")).constData(), 0755), 0);
        const QString nobodys = daemon.path("run/tarnd-3"), others = daemon.path("run/tarnd-4");
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
        // Only session 3's core was asked to stop.
        QCOMPARE(daemon.log().count("stopProcess called for"), 1);
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
                                    heldThenFails(held, release, "org.freedesktop.login1.NoSessionForPID")));
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
        QVERIFY(server.peerOfClient(connected[0][0].toString(), &peer) && peer.uid == 0 && connected.size() == 1);
        // Once logind has done, nobody is in its own session (its first; logind placed it nowhere).
        testsupport::writeFile(release, "");
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, 20000);
        QVERIFY(server.peerOfClient(connected[1][0].toString(), &peer));
        QVERIFY(peer.uid == Nobody && peer.session == 3u);
        end(nobodys);
        QVERIFY(m_logind->setMethod("GetSessionByPID", "u", "o", sessionsByPid({})));
        QVERIFY(QFile::remove(held) && QFile::remove(release));
    }

    // Last: it breaks the stand-in for good. A listing logind holds is waited for aside: the
    // server's thread (this one) goes on, and only the answer's time-out, later, says it failed.
    // Broken, then gone, logind is polled on without a socket taken away.
    void failingLogindKeepsTheSockets()
    {
        CommunicationServer server(nullptr, nullptr, fast);
        QVERIFY(server.start(m_dir.path() + "/tarnd"));
        QCOMPARE(sorted(server.servedSessions()), (QList<quint32>{1, 3, 4, 7, 8}));
        testsupport::LogCapture log;
        const QString held = m_dir.path() + "/held", release = m_dir.path() + "/release";
        QVERIFY(m_logind->setMethod("ListSessions", "", "a(susso)",
                                    heldThenFails(held, release, "org.freedesktop.DBus.Error.Failed")));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(held), 20000);
        QCOMPARE(log.count("ListSessions failed"), 0);
        testsupport::writeFile(release, "");
        for (bool stop : {false, true}) {
            if (stop)
                end(m_logind->logind);
            QCOMPARE(listed(), QStringList{"failed"});
            const int failed = log.count("ListSessions failed");
            QTRY_VERIFY_WITH_TIMEOUT(log.count("ListSessions failed") >= failed + 2, 10000);
            QCOMPARE(sorted(server.servedSessions()), (QList<quint32>{1, 3, 4, 7, 8}));
        }
        QVERIFY(QFileInfo::exists(socket(3)));
    }
};

QTEST_GUILESS_MAIN(TestLogind)
#include "tst_logind.moc"
