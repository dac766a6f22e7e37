// A daemon shared by several users: sessions apart, per-user slots, the start policy, logs that
// client text cannot swell and no other session reads; a client's chosen log file is written,
// rotated and deleted with that client's own rights; and the sweep of stale proxy processes
// after a client leaves, which ends only the departed user's, in its session, under exactly the
// swept names (in any letter case).

#include "tarnclient.h"
#include "daemon/execpolicy.h"
#include "daemon/tarnddaemon.h"
#include "ipc/sessionbackend.h"
#include "service/logfile.h"
#include "process/processmanager.h"
#include "service/logging.h"
#include "service/logsink.h"
#include "testsupport.h"
#include "tunnel/tuntools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr unsigned UserA = 65534; // nobody, session 1
constexpr unsigned UserB = 65533; // session 2

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

// Session 1 is A's, session 2 B's; a process is in the session of its uid (root's in 1) unless
// the test places it. Asked on the daemon's other threads.
struct TwoUsers : PlatformSessionBackend
{
    explicit TwoUsers(const QString &dir) : m_dir(dir) {}
    std::optional<QList<Session>> activeSessions() override
    {
        QMutexLocker lock(&m_mutex);
        QList<Session> all{{1, "a", QString::number(UserA)}, {2, "b", QString::number(UserB)}};
        all.removeIf([this](const Session &s) { return m_ended.contains(s.id); });
        return all;
    }
    QString socketName(const QString &base, quint32 session) override
    {
        return m_dir + "/" + base + "-" + QString::number(session);
    }
    bool sessionOfProcess(qint64 pid, quint32 *session) override
    {
        QMutexLocker lock(&m_mutex);
        struct stat st;
        if (m_placed.contains(pid))
            *session = m_placed.value(pid);
        else if (::stat(QByteArray("/proc/" + QByteArray::number(pid)).constData(), &st) == 0)
            *session = st.st_uid == UserB ? 2 : 1;
        else
            return false;
        return true;
    }
    void end(quint32 session)
    {
        QMutexLocker lock(&m_mutex);
        m_ended.insert(session);
    }
    void place(qint64 pid, quint32 session)
    {
        QMutexLocker lock(&m_mutex);
        m_placed.insert(pid, session);
    }
    QString m_dir;
    QMutex m_mutex;
    QSet<quint32> m_ended;
    QHash<qint64, quint32> m_placed;
};

QJsonObject request(const QString &action, const QString &id = QString())
{
    return id.isEmpty() ? QJsonObject{{"action", action}} : QJsonObject{{"action", action}, {"process-id", id}};
}

QJsonObject startOf(const QString &id, const QString &exe = Helper, const QStringList &args = {"echo"})
{
    return TarnClient::startRequest(id, exe, args);
}

QJsonObject stdinOf(const QString &id, const QString &data)
{
    return QJsonObject{{"action", "stdin"}, {"process-id", id}, {"data", data}};
}

QString statusOf(TarnClient &c, const QJsonObject &request)
{
    return c.call(request).value("status").toString();
}

QJsonObject hello(const QString &path, const QString &version = QString())
{
    return QJsonObject{{"action", "client-hello"}, {"log-path", path}, {"version", version}};
}

const QJsonObject Heartbeat{{"action", "heartbeat"}};
const QJsonObject ClearLogs{{"action", "clear-logs"}};
const QString Success = QStringLiteral("success"), Started = QStringLiteral("started");

bool finished(TarnClient &c)
{
    return !c.waitForEvent([](const QJsonObject &e) { return e.value("event") == "finished"; }).isEmpty();
}

uid_t ownerOf(const QString &path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_uid : uid_t(-1);
}

// A child of this process running the helper's "noread" under the given file, as uid.
pid_t spawnAs(unsigned uid, const QString &exe)
{
    const QByteArray path = exe.toLocal8Bit();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(10);
        dup2(::open("/dev/null", O_WRONLY), 1);
        execl(path.constData(), path.constData(), "noread", static_cast<char *>(nullptr));
        _exit(11);
    }
    return pid;
}

// The signal that ended a child of this process; 0 while it runs.
int endingSignal(pid_t pid)
{
    int status = 0;
    if (!QTest::qWaitFor([&] { return waitpid(pid, &status, WNOHANG) != 0; }, 15000))
        return 0;
    return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
}

// The ids listed, each with "@SESSION" where the entry names its session.
QStringList idsIn(const QJsonObject &list)
{
    QStringList ids;
    for (const QJsonValue &p : list.value("processes").toArray()) {
        const QJsonObject o = p.toObject();
        ids << o.value("process-id").toString() + (o.contains("session") ? "@" + QString::number(o.value("session").toInt()) : QString());
    }
    return ids;
}

// A file system that answers nothing, mounted at a folder or on a file, for 30 s at most.
struct HungMount : QProcess
{
    explicit HungMount(const QString &at) : m_at(at)
    {
        start("python3", {QStringLiteral(TARND_SOURCE_DIR "/tests/helpers/hangfs.py"), at, "30"});
    }
    ~HungMount() override
    {
        QProcess::kill();
        waitForFinished(5000);
        ::umount2(QFile::encodeName(m_at).constData(), MNT_DETACH);
    }
    bool mounted() { return waitForReadyRead(10000) && readAll().contains("mounted"); }
    const QString m_at;
};

} // namespace

class TestTrust : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<TarnDaemon> m_daemon;
    TwoUsers *m_backend = nullptr; // the daemon's

    QString socket(quint32 session) const { return m_dir.path() + "/tarnd-" + QString::number(session); }
    QString path(const QString &rel) const { return m_dir.path() + "/" + rel; }

    void startDaemon(TarnDaemon::Limits limits = TarnDaemon::Limits{})
    {
        m_backend = new TwoUsers(m_dir.path());
        m_daemon = std::make_unique<TarnDaemon>(nullptr, m_backend, limits);
        QVERIFY(m_daemon->start());
    }

    // The daemon's start policy allows the folder of the helper's copy "allowed/core" only.
    void allowOnlyCore()
    {
        testsupport::writeFile(path("tarnd.conf"), "allow-folder = " + path("allowed").toUtf8() + "\n");
        m_daemon->setExecutablePolicy(ExecPolicy::load(path("tarnd.conf")));
    }

    // A's answers, after whatever the requests had written has reached its file.
    QList<QJsonObject> asA(const QList<QJsonObject> &requests)
    {
        const QList<QJsonObject> r = testsupport::runAsUser(UserA, socket(1), requests).responses;
        return LogSink::instance().flush() ? r : QList<QJsonObject>{};
    }

    // A client of this process (root) on the session's socket, its events queued.
    bool open(TarnClient &c, quint32 session)
    {
        c.setEventQueue(true);
        return c.connectToDaemon(socket(session));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("acting as other users needs root");
        // The forked users must reach the sockets.
        QCOMPARE(chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        for (const char *d : {"root-only", "nobodys", "allowed"})
            QVERIFY(QDir(m_dir.path()).mkpath(d));
        QCOMPARE(chown(QFile::encodeName(path("nobodys")).constData(), UserA, UserA), 0);
        // Copies of the helper under the swept names and others, which every user may run, made
        // before any daemon thread runs: a child forked meanwhile would hold a copy open for
        // writing until its exec, and the kernel refuses to run the copy while it is.
        for (const char *name : {"xray", "XRAY", "SkirtNet", "xray2", "axray", "xray.exe", "skirt"}) {
            QVERIFY(QFile::copy(Helper, m_dir.filePath(name)));
            QCOMPARE(chmod(QFile::encodeName(m_dir.filePath(name)).constData(), 0555), 0);
        }
        QVERIFY(QFile::copy(Helper, path("allowed/core")));
        QVERIFY(QFile::setPermissions(path("allowed/core"), QFileDevice::Permissions(0x7755)));
    }

    void cleanup()
    {
        if (m_daemon)
            m_daemon->stop();
        m_daemon.reset();
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    // Sessions apart: no client reaches another session's process, and a session's process slots
    // are its own, free again once a process has finished; one user's 65th connection is closed,
    // the 64 before it keep working. Client text is capped in the log.
    void sessionsAreApart()
    {
        startDaemon(TarnDaemon::Limits{2, {}});
        testsupport::LogCapture log;
        // Root starts a process from session 1: it belongs to session 1.
        TarnClient root, rootElsewhere;
        QVERIFY(open(root, 1) && open(rootElsewhere, 2));
        QCOMPARE(statusOf(root, startOf("a-core")), Started);

        // B, in session 2, neither sees nor reaches it: every answer is that of no such process.
        // The same id in B's session is B's own process, which B alone lists and stops.
        const QList<QJsonObject> b = testsupport::runAsUser(
            UserB, socket(2),
            {request("list"), request("stop", "a-core"), request("kill", "a-core"), request("restart", "a-core"),
             request("status", "a-core"), stdinOf("a-core", "x\n"), startOf("a-core"), request("list"),
             request("stop", "a-core")}).responses;
        QCOMPARE(b.size(), 9);
        QCOMPARE(idsIn(b[0]), QStringList());
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(b[i].value("error").toString(), QStringLiteral("Process not found: a-core"));
        QCOMPARE(b[5].value("error").toString(), QStringLiteral("Failed to write to process stdin"));
        QCOMPARE(b[6].value("status").toString(), Started);
        QCOMPARE(idsIn(b[7]), QStringList{"a-core"});
        QCOMPARE(b[8].value("status").toString(), QStringLiteral("stopping"));

        // Any client of session 1 reaches it, as a restarted desktop client must; its output
        // still goes to its owner.
        const QList<QJsonObject> a = testsupport::runAsUser(
            UserA, socket(1), {request("list"), request("status", "a-core"), stdinOf("a-core", "from a\n")}).responses;
        QCOMPARE(a.size(), 3);
        QCOMPARE(idsIn(a[0]), QStringList{"a-core"});
        QVERIFY(a[1].value("running").toBool());
        QCOMPARE(a[2].value("status").toString(), Success);
        const QJsonObject out = root.waitForEvent([](const QJsonObject &e) { return e.value("event") == "stdout"; });
        QCOMPARE(out.value("data").toString(), QStringLiteral("from a\n"));

        // Root through session 2's socket is in session 2: it lists every session's processes
        // with their session, and names only session 2's.
        QTRY_COMPARE_WITH_TIMEOUT(idsIn(rootElsewhere.call(request("list"))), QStringList{"a-core@1"}, 15000);
        QCOMPARE(rootElsewhere.call(request("stop", "a-core")).value("error").toString(),
                 QStringLiteral("Process not found: a-core"));

        QCOMPARE(statusOf(root, startOf("two")), Started);
        QCOMPARE(root.call(startOf("three")).value("error").toString(),
                 QStringLiteral("Too many processes in this session (limit 2)"));
        QCOMPARE(statusOf(rootElsewhere, startOf("elsewhere")), Started);
        QCOMPARE(statusOf(root, request("kill", "a-core")), QStringLiteral("killed"));
        QVERIFY(finished(root));
        QCOMPARE(statusOf(root, startOf("three")), Started);
        const testsupport::ForeignConnections c = testsupport::connectAsUser(UserA, socket(1), 65);
        QCOMPARE(c.admitted.size(), 65);
        QCOMPARE(c.admitted.count(true), 64);
        QVERIFY(!c.admitted.last());
        QCOMPARE(c.answered.mid(0, 64).count(true), 64);

        const QString huge(200000, QChar('x'));
        QCOMPARE(root.call(request("stop", huge)).value("error").toString(), "Process not found: " + huge);
        QCOMPARE(root.call(hello("rel/" + huge)).value("error").toString(),
                 QStringLiteral("Log path refused: not an absolute path"));
        QCOMPARE(statusOf(root, hello(path("capped.log"), huge)), Success);
        QVERIFY(log.contains("(200004 characters)") && log.contains("Client version: \"" + huge.left(MaxLoggedClientChars)));
        for (const QString &line : log.text().split('\n'))
            QVERIFY2(line.size() < 2 * MaxLoggedClientChars + 400, qPrintable(line.left(400)));
    }

    // Whoever made the daemon's socket name first would get the hello, the requests and the
    // processes' input: the library and tarnctl (3, naming why) refuse before anything goes.
    void theClientRefusesAServerOfAnotherUser()
    {
        const QString open = path("open"), at = open + "/tarnd-7";
        QVERIFY(QDir().mkpath(open));
        QVERIFY(QFile::setPermissions(open, QFileDevice::Permissions(0x7777)));
        QLocalServer squatter;
        QCOMPARE(::setresuid(-1, UserA, -1), 0); // the kernel records the listener's euid
        const bool listening = squatter.listen(at);
        QCOMPARE(::setresuid(-1, 0, -1), 0);
        QVERIFY(listening);
        TarnClient c;
        c.setLogPath(path("squatted.log"));
        QVERIFY(!c.connectToDaemon(at));
        const QString why = "it is served by user 65534 (pid " + QString::number(getpid()) + "), not by the daemon's user root";
        QVERIFY2(c.errorString().endsWith(why), qPrintable(c.errorString()));
        QProcess ctl;
        ctl.start(QStringLiteral(TARNCTL_BINARY), {"--socket", at, "list"});
        QVERIFY(ctl.waitForFinished(60000));
        QCOMPARE(ctl.exitCode(), 3);
        QVERIFY(ctl.readAllStandardError().contains(why.toUtf8()));
        QList<QLocalSocket *> came;
        const auto bothCame = [&] {
            while (QLocalSocket *s = squatter.nextPendingConnection())
                came << s;
            return came.size() == 2;
        };
        QTRY_VERIFY_WITH_TIMEOUT(bothCame(), 15000);
        for (QLocalSocket *s : std::as_const(came))
            QVERIFY(!s->waitForReadyRead(200) && s->bytesAvailable() == 0);
    }

    // A newer client's restart goes once nothing of another session runs (tst_logind), and looks
    // again as it goes: a process another session started in that moment is waited for, not ended.
    void aRestartWaitsForAProcessStartedAsItGoes()
    {
        startDaemon();
        testsupport::LogCapture log;
        TarnClient two;
        QVERIFY(open(two, 2));
        QCOMPARE(statusOf(two, hello(path("two.log"), "99")), QStringLiteral("restarting"));
        if (log.contains("Initiating daemon restart"))
            QSKIP("the restart went before this test could start anything: too slow a machine to tell");
        QCOMPARE(testsupport::startNow(*m_daemon->processes(), startOf("late"), 1).value("status").toString(), Started);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Daemon restart waits for 1 process(es) of other sessions to end"), 10000);
        QVERIFY(!log.contains("Initiating daemon restart"));
        // Deleted without a stop, its server still flushes the clients, serving events: the
        // restart's look at who still runs, queued once a process ends, must not reach it then.
        m_daemon->processes()->stopAll(5000);
        m_daemon.reset();
    }

    // Root fills the stdin of a child that never reads: refused at the bound on what clients
    // hold, long before the queue's own 16 MiB; another user within its share still has its way,
    // the one over its share is dropped. Every user's starts are the policy's to allow.
    void stdinCountsForItsOwnerAndThePolicyForEveryone()
    {
        TarnDaemon::Limits limits;
        limits.clients.heldBytes = 4 * 1024 * 1024;
        startDaemon(limits);
        allowOnlyCore();
        const QString core = path("allowed/core");
        TarnClient root;
        QVERIFY(open(root, 1));
        QCOMPARE(statusOf(root, startOf("deaf", core, {"noread"})), Started);
        QJsonObject last;
        int accepted = 0;
        while (accepted < 40 && (last = root.call(stdinOf("deaf", QString(512 * 1024, 'x')))).value("status") == Success)
            ++accepted;
        QVERIFY2(accepted >= 7 && accepted <= 8, qPrintable(QString::number(accepted)));
        QCOMPARE(last.value("error").toString(), QStringLiteral("Failed to write to process stdin"));

        QSignalSpy lost(&root, &TarnClient::daemonLost);
        const QList<QJsonObject> a = testsupport::runAsUser(
            UserA, socket(1),
            {startOf("outside"), startOf("a-core", core, {"noread"}), stdinOf("a-core", QString(1024 * 1024, 'x'))})
                                         .responses;
        QCOMPARE(a.size(), 3);
        QVERIFY2(a[0].value("error").toString().contains(path("tarnd.conf")), qPrintable(a[0].value("error").toString()));
        QCOMPARE(a[2].value("status").toString(), Success);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
    }

    // The TUN device one session's process has set the DNS of, or its TUN core's adapter, is no
    // other session's to set; and in its session, only the process that holds the device sets it.
    void dnsOverrideStaysInItsSession()
    {
        const QString bin = path("bin");
        QVERIFY(QDir().mkpath(bin));
        testsupport::writeFile(bin + "/ip", "#!/bin/sh\necho \"9: $6: <POINTOPOINT,UP> mtu 1500 \\\\    tun type tun\"\n");
        testsupport::writeFile(bin + "/resolvectl", "#!/bin/sh\necho \"$2\" >> \"${0%/*}/dns.log\"\n");
        for (const char *tool : {"/ip", "/resolvectl"})
            QCOMPARE(chmod(QFile::encodeName(bin + tool).constData(), 0755), 0);
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin) + ":" + oldPath);
        const auto dnsSet = [&] { return testsupport::readFile(bin + "/dns.log").count('\n'); };
        const auto withDns = [](const QString &id, const QString &iface, const QStringList &args = {"echo"}) {
            QJsonObject s = startOf(id, Helper, args);
            s.insert("tun-dns-override", QJsonObject{{"address", "1.1.1.1"}, {"iface", iface}});
            return s;
        };
        startDaemon();
        testsupport::LogCapture log;
        TarnClient one, two;
        QVERIFY(open(one, 1) && open(two, 2));
        QCOMPARE(statusOf(one, withDns("a", "tun7", {"tun", "tun7"})), Started);
        QTRY_COMPARE_WITH_TIMEOUT(dnsSet(), 1, 20000);
        QCOMPARE(statusOf(two, withDns("b", "tun7")), Started);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("interface \"tun7\" is in use by another session"), 20000);
        QCOMPARE(statusOf(one, withDns("c", "tun7")), Started);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("interface \"tun7\" is not held by the process"), 20000);
        QCOMPARE(statusOf(one, startOf(TunProcessId)), Started);
        QCOMPARE(statusOf(two, withDns("d", TunInterfaceName)), Started);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("interface \"tarn-tun\" is in use by another session"), 20000);
        QCOMPARE(dnsSet(), 1);
        m_daemon->stop(); // the TUN core's device removal still with the fake ip
        m_daemon.reset();
        qputenv("PATH", oldPath);
    }

    // Of one session's clients the latest hello decides, while that client stays; a choice
    // outlives its client, for the session's next clients, until the session ends (as its
    // number may come back for another user). The daemon's own file gets no session's lines.
    void eachSessionLogsToItsOwnClientsFile()
    {
        qInstallMessageHandler(LogSink::messageHandler);
        LogSink &sink = LogSink::instance();
        const QString own = path("daemon.log"), aLog = path("nobodys/a.log"), bLog = path("b.log"), b2Log = path("b2.log");
        sink.setLogFilePath(own);
        startDaemon();
        // B's clients (root's, in session 2) stay while A says hello and leaves.
        TarnClient b, b2;
        QVERIFY(open(b, 2) && open(b2, 2));
        QCOMPARE(statusOf(b, hello(bLog)), Success);
        QCOMPARE(testsupport::runAsUser(UserA, socket(1), {hello(aLog)}).responses.size(), 1);
        QCOMPARE(statusOf(b2, hello(b2Log, "b2-client")), Success);
        b2.disconnectFromDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(sink.flush() && testsupport::readFile(b2Log).contains("Client disconnected:"), 10000);
        QCOMPARE(b.call(hello("rel/b")).value("error").toString(), QStringLiteral("Log path refused: not an absolute path"));
        QCOMPARE(testsupport::runAsUser(UserA, socket(1), {hello("rel/a")}).responses.size(), 1);
        QCOMPARE(sink.sessionLogFile(1).path, aLog);
        m_backend->end(1);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(socket(1)), 15000);
        QVERIFY(sink.sessionLogFile(1).path.isEmpty());
        QCOMPARE(sink.sessionLogFile(2).path, bLog);
        m_daemon->stop();
        m_daemon.reset();
        QVERIFY(sink.flush());
        const QByteArray a = testsupport::readFile(aLog), bText = testsupport::readFile(bLog);
        const QByteArray b2Text = testsupport::readFile(b2Log), daemon = testsupport::readFile(own);
        QVERIFY(a.contains("Client connected:") && a.contains("Refused the log path \"rel/a\"") && !a.contains("Client version"));
        QVERIFY(bText.contains("Refused the log path \"rel/b\"") && !b2Text.contains("Refused"));
        QVERIFY(!bText.contains("Client version: \"b2-client\"") && b2Text.contains("Client version: \"b2-client\""));
        QVERIFY(!daemon.contains("Refused the log path \"rel/a\"") && daemon.contains("Daemon stopped"));
        QVERIFY(!daemon.contains("Client connected") && !daemon.contains("Refused the log path \"rel/b\"") && !bText.contains("Daemon stopped"));
    }

    // A's chosen log paths are opened, made, deleted with A's rights, and never followed: A gets
    // the daemon to touch only what A could. Each of these once froze the daemon (a FIFO's open
    // waits for a reader) or let A write where it could not itself: the daemon goes on answering.
    void logPathsTakeTheRightsOfTheClient()
    {
        // Lines reach the files chosen only through the sink's handler, which the test library
        // takes back between test functions.
        qInstallMessageHandler(LogSink::messageHandler);
        const QString daemons = path("root-only/daemon.log"), roots = path("root-only/chosen-by-root.log");
        testsupport::writeFile(daemons, "the daemon's log");
        LogSink::instance().setLogFilePath(daemons);
        // A session of its own: the earlier cases' last choice would otherwise stay the session's.
        LogSink::instance().forgetSession(1);
        startDaemon();
        testsupport::LogCapture log;
        // Before a hello of its session A has nothing to clear, least of all the daemon's own log;
        // a file root chose for the session is deleted, if at all, with A's rights.
        TarnClient root;
        QVERIFY(open(root, 1));
        const QJsonObject clearFailed{{"status", "error"}, {"error", "Failed to clear daemon logs"}};
        QCOMPARE(asA({ClearLogs}).value(0), clearFailed);
        QCOMPARE(statusOf(root, hello(roots)), Success);
        QCOMPARE(asA({ClearLogs}).value(0), clearFailed);
        QVERIFY(QFileInfo::exists(daemons) && QFileInfo::exists(roots));
        QVERIFY(log.contains("asked to clear the logs, but no client of its session has chosen a log file"));
        QVERIFY(log.contains("FAILED to remove main log file"));

        const QString fifo = path("nobodys/fifo.log");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
        const QString shared = path("root-only/shared.log"), hardLink = path("nobodys/hard.log");
        const QString ownedByRoot = path("nobodys/roots.log"), victim = path("root-only/victim.log");
        const QStringList rootsFiles{shared, ownedByRoot, victim, victim + ".old"};
        for (const QString &file : rootsFiles)
            testsupport::writeFile(file, "root's");
        for (const QString &file : {shared, ownedByRoot})
            QCOMPARE(chmod(QFile::encodeName(file).constData(), 0666), 0);
        QCOMPARE(::link(QFile::encodeName(shared).constData(), QFile::encodeName(hardLink).constData()), 0);
        const QList<QJsonObject> r = asA({hello(fifo), Heartbeat, hello("/dev/null"), Heartbeat, hello(hardLink),
                                          Heartbeat, hello(ownedByRoot), Heartbeat,
                                          hello(path("root-only/made-by-nobody/client.log")), Heartbeat,
                                          hello(victim), Heartbeat, ClearLogs});
        QCOMPARE(r.size(), 13);
        for (int i = 0; i < 12; ++i)
            QCOMPARE(r[i].value("status").toString(), Success);
        QCOMPARE(r[12], clearFailed);
        QVERIFY(!QFileInfo::exists(path("root-only/made-by-nobody")));
        for (const QString &file : rootsFiles)
            QCOMPARE(testsupport::readFile(file), QByteArray("root's"));
        // One warning per chosen path that cannot be written, however many lines follow.
        QCOMPARE(log.count("cannot be written with the rights of the client"), 6);
        QVERIFY(log.contains("Failed to clear some daemon log files"));

        // A's own files are made as A; clear-logs removes a link itself, never what it points to.
        const QString own = path("nobodys/sub/client.log"), link = path("nobodys/link.log");
        const QString target = path("root-only/target.log");
        testsupport::writeFile(target, "untouched");
        QVERIFY(QFile::link(target, link));
        QCOMPARE(asA({hello(own), Heartbeat}).size(), 2);
        QVERIFY(testsupport::readFile(own).contains("Client connected:"));
        QCOMPARE(ownerOf(own), UserA);
        QCOMPARE(ownerOf(path("nobodys/sub")), UserA);
        QCOMPARE(asA({hello(link), ClearLogs}).value(1).value("status").toString(), Success);
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(log.count("Checking if main log exists: \"" + link + "\""), 1);
        QCOMPARE(log.count("Checking if .old log exists: \"" + link + ".old\""), 1);
        QCOMPARE(testsupport::readFile(target), QByteArray("untouched"));
    }

    // A log path on a file system that does not answer (a FUSE mount, an NFS server gone) holds
    // only its own user: root's hello waits, and its client's later requests wait behind it,
    // answered in order once the file system has gone; root's other client and A do not wait.
    // Root's starts, checked by the policy on the same thread, wait there too: the session's one
    // slot is counted again once their look is done, and nothing is started for a client gone
    // meanwhile. Nor does the daemon's end wait for such a path.
    void aPathThatDoesNotAnswerHoldsOnlyItsUser()
    {
        if (!QFileInfo::exists("/dev/fuse"))
            QSKIP("no /dev/fuse to mount a file system with");
        const QString mount = path("hung"), mount2 = path("hung2");
        QVERIFY(QDir().mkpath(mount) && QDir().mkpath(mount2));
        HungMount fs(mount);
        QVERIFY(fs.mounted());
        startDaemon(TarnDaemon::Limits{1, {}});
        allowOnlyCore();
        TarnClient stuck, other, second, leaver;
        QVERIFY(open(stuck, 2) && open(other, 2) && open(second, 2) && open(leaver, 2));
        QList<qint64> answered;
        connect(&stuck, &TarnClient::responseReceived, this,
                [&answered](const QJsonObject &r) { answered << r.value("request-id").toInteger(); });
        // The second comes with the hello, the third once the hello waits.
        const qint64 first = stuck.send(hello(mount + "/x/root.log"));
        const qint64 next = stuck.send(Heartbeat);
        QCOMPARE(statusOf(other, Heartbeat), Success);
        const qint64 third = stuck.send(request("list"));
        QSignalSpy one(&other, &TarnClient::responseReceived), two(&second, &TarnClient::responseReceived);
        other.send(startOf("one", path("allowed/core")));
        second.send(startOf("two", path("allowed/core")));
        leaver.send(startOf("orphan", path("allowed/core")));
        QCOMPARE(asA({hello(path("nobodys/a.log"))}).value(0).value("status").toString(), Success);
        QVERIFY(answered.isEmpty() && one.isEmpty() && two.isEmpty());
        leaver.disconnectFromDaemon();

        fs.kill(); // what waits there fails now
        QTRY_COMPARE_WITH_TIMEOUT(answered, (QList<qint64>{first, next, third}), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!one.isEmpty() && !two.isEmpty(), 15000);
        QCOMPARE(one.first().first().toJsonObject().value("status").toString(), Started);
        QCOMPARE(two.first().first().toJsonObject().value("error").toString(),
                 QStringLiteral("Too many processes in this session (limit 1)"));
        QCOMPARE(m_daemon->processes()->processKeys(), (QList<ProcessKey>{{"one", 2}}));

        HungMount fs2(mount2);
        QVERIFY(fs2.mounted());
        stuck.send(hello(mount2 + "/x/root.log"));
        QCOMPARE(statusOf(other, Heartbeat), Success);
        m_daemon.reset();
        QVERIFY2(!fs2.waitForFinished(0), "the daemon's end waited until the file system went");
    }

    // A's chosen file stops answering once chosen (a mount on the file itself): A's lines wait
    // there, root's and the daemon's own still reach their files, and the sink's end does not
    // wait for A's file system. The daemon gives each user's file that user's writer.
    void aLogFileThatDoesNotAnswerHoldsOnlyItsUsersLines()
    {
        if (!QFileInfo::exists("/dev/fuse"))
            QSKIP("no /dev/fuse to mount a file system with");
        const QString hung = path("nobodys/hung.log"), roots = path("root-only/roots.log"), own = path("root-only/own.log");
        testsupport::writeFile(hung, "");
        HungMount fs(hung);
        QVERIFY(fs.mounted());
        auto sink = std::make_unique<LogSink>();
        sink->setLogFilePath(own);
        sink->setSessionLogPath(1, "a", hung, logfile::Identity{false, UserA, UserA, {}, {}}, "A");
        sink->setSessionLogPath(2, "root", roots, logfile::Identity{false, 0, 0, {}, {}}, "root");
        for (const auto &[session, text] : {std::pair{1u, "for A"}, {2u, "for root"}}) {
            const LogSink::SessionScope scope(session);
            sink->write(QtInfoMsg, text);
        }
        sink->write(QtInfoMsg, "the daemon's own");
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::readFile(roots).contains("for root")
                                     && testsupport::readFile(own).contains("the daemon's own"),
                                 15000);
        sink.reset();
        QCOMPARE(fs.state(), QProcess::Running);

        qInstallMessageHandler(LogSink::messageHandler);
        LogSink::instance().forgetSession(1);
        const auto forget = qScopeGuard([] { LogSink::instance().forgetSession(1); });
        startDaemon();
        QCOMPARE(testsupport::runAsUser(UserA, socket(1), {hello(hung)}).responses.size(), 1);
        TarnClient root;
        QVERIFY(open(root, 2));
        const QString rootsToo = path("root-only/roots-too.log");
        QCOMPARE(statusOf(root, hello(rootsToo)), Success);
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::readFile(rootsToo).contains("Client connected:"), 15000);
    }

    // A's file past the limit is rotated with A's rights: in A's folder (a root-owned ".old"
    // there A could replace), not in root's.
    void rotationRunsAsTheClient()
    {
        const QByteArray full(LogSink::RotateAboveBytes + 1, 'x');
        for (const QString &big : {path("root-only/big.log"), path("nobodys/big.log")}) {
            const bool mine = big.contains("nobodys");
            testsupport::writeFile(big, full);
            QCOMPARE(chown(QFile::encodeName(big).constData(), mine ? UserA : 0, mine ? UserA : 0), 0);
            LogSink sink;
            sink.setLogFilePath(big, logfile::Identity{false, UserA, UserA, {}, {}});
            for (int i = 0; i < LogSink::RotationCheckEvery; ++i)
                sink.write(QtInfoMsg, "line");
            QVERIFY(sink.flush());
            const QByteArray rotated = testsupport::readFile(big + ".old");
            QCOMPARE(QFileInfo::exists(big + ".old"), mine);
            QCOMPARE(QFileInfo::exists(big), !mine);
            if (mine)
                QCOMPARE(rotated.count("INFO: line\n"), LogSink::RotationCheckEvery);
            QVERIFY(mine ? rotated.startsWith(full) : QFileInfo(big).size() == full.size());
        }
    }

    // A's client leaves: of the processes under the swept names, only A's in session 1 end.
    void theSweepEndsOnlyTheDepartedClientsProxies()
    {
        testsupport::LogCapture log;
        startDaemon();
        struct Case
        {
            QString name;
            unsigned uid;
            quint32 session;
            bool swept;
            pid_t pid = 0;
        };
        QList<Case> cases{
            {"xray", UserA, 1, true},   {"XRAY", UserA, 1, true},   {"SkirtNet", UserA, 1, true},
            {"xray2", UserA, 1, false}, {"axray", UserA, 1, false}, {"xray.exe", UserA, 1, false},
            {"skirt", UserA, 1, false}, {"xray", UserA, 3, false},  {"xray", UserB, 1, false},
            {"xray", 0, 1, false},
        };
        for (Case &c : cases) {
            QVERIFY((c.pid = spawnAs(c.uid, m_dir.filePath(c.name))) > 0);
            m_backend->place(c.pid, c.session);
        }
        // Running under their names before anybody leaves.
        for (const Case &c : cases) {
            int status = -1;
            QTRY_VERIFY_WITH_TIMEOUT(QFile::symLinkTarget(QString("/proc/%1/exe").arg(c.pid)).startsWith(m_dir.path())
                                         || waitpid(c.pid, &status, WNOHANG) == c.pid,
                                     15000);
            QVERIFY2(status == -1, qPrintable(QString("child %1 ended before it ran: status %2").arg(c.pid).arg(status)));
        }

        QVERIFY(!testsupport::runAsUser(UserA, socket(1)).refused);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("stale process(es) in session 1"), 15000);
        for (const Case &c : cases) {
            if (c.swept)
                QCOMPARE(endingSignal(c.pid), SIGKILL);
            else // a kill may not have taken yet, but it is logged before it is sent
                QVERIFY2(waitpid(c.pid, nullptr, WNOHANG) == 0 && !log.contains(QString("PID: %1 in").arg(c.pid)),
                         qPrintable(c.name));
        }
        // Only those still running: a swept one is reaped, and its pid may be another's by now.
        for (const Case &c : cases)
            if (!c.swept)
                ::kill(c.pid, SIGKILL);

        // A client that leaves takes its own children to the sweep, not a connected client's (nor
        // what a child of that one started, by the same name).
        const QString xray = m_dir.filePath("xray");
        // Both clients are root, in session 2: the daemon's own children are theirs.
        TarnClient keeper, leaver;
        for (auto [client, id, mode] : {std::tuple{&keeper, "kept", QStringList{"family", "hold", "noread"}},
                                        std::tuple{&leaver, "left", QStringList{"ignoreint"}}}) {
            QVERIFY(open(*client, 2));
            QCOMPARE(statusOf(*client, startOf(id, xray, mode)), Started);
            m_backend->place(m_daemon->processes()->childPid({id, 2}), 2);
        }
        const qint64 kept = m_daemon->processes()->childPid({"kept", 2});
        const qint64 left = m_daemon->processes()->childPid({"left", 2});
        const pid_t outside = spawnAs(0, xray); // root's own, started elsewhere in that session
        m_backend->place(outside, 2);
        QVERIFY(!leaver.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());
        const QStringList pids = keeper.waitForEvent([](const QJsonObject &e) { return e.value("event") == "stdout"; })
                                     .value("data").toString().section('\n', 0, 0).split(' ');
        QCOMPARE(pids.size(), 2);
        const qint64 grandchild = pids[1].toLongLong();
        m_backend->place(grandchild, 2);

        leaver.disconnectFromDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Killed 2 stale process(es) in session 2"), 15000);
        QCOMPARE(endingSignal(outside), SIGKILL);
        // The departed client's own child, stopped and not yet gone, is ended at once.
        QVERIFY(log.contains(QString("Found stale process \"xray\" PID: %1 in session 2 - killing").arg(left)));
        QVERIFY(!log.contains(QString("PID: %1 ").arg(kept)) && !log.contains(QString("PID: %1 ").arg(grandchild)));
        QCOMPARE(::kill(pid_t(grandchild), 0), 0);
        QVERIFY(keeper.call(request("status", "kept")).value("running").toBool());
    }
};

QTEST_GUILESS_MAIN(TestTrust)
#include "tst_trust.moc"
