// The sweep of stale proxy processes after a client leaves, with real processes under the swept
// names: only those of the departed client's user, in its session, under exactly those names
// (in any letter case) are ended. The sessions of processes come from the test.

#include "tarnclient.h"
#include "daemon/tarnddaemon.h"
#include "ipc/sessionbackend.h"
#include "process/processmanager.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);
constexpr unsigned Nobody = 65534;

// Sessions 1 (root) and 2 (nobody). A peer is in session 2 when it runs as nobody; which
// session any other process is in, the test says.
class Backend : public SessionBackend
{
public:
    explicit Backend(const QString &dir) : m_dir(dir) {}
    QHash<qint64, quint32> sessionOf;

    std::optional<QList<Session>> activeSessions() override { return QList<Session>{{1, "root", "0"}, {2, "nobody", "65534"}}; }
    bool peerOf(QLocalSocket *socket, sessions::PeerInfo *peer) override
    {
        if (!sessions::peerOf(socket->socketDescriptor(), peer))
            return false;
        peer->hasSession = true;
        peer->session = peer->uid == Nobody ? 2 : 1;
        return true;
    }
    QString socketName(const QString &base, quint32 session) override
    {
        return m_dir + "/" + base + "-" + QString::number(session);
    }
    bool sessionOfProcess(qint64 pid, quint32 *session) override
    {
        *session = sessionOf.value(pid);
        return sessionOf.contains(pid);
    }

private:
    QString m_dir;
};

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

} // namespace

class TestStaleSweep : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("processes of other users need root");
        QVERIFY(m_dir.isValid());
        const auto everyone = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        QFile::setPermissions(m_dir.path(), everyone | QFileDevice::WriteOwner);
        // Copies of the helper under each name, which every user may run. All are made before any
        // daemon thread runs: a child forked by another thread while a copy is open for writing
        // holds it open until its exec, and the kernel refuses to run the copy meanwhile.
        for (const char *name : {"xray", "XRAY", "SkirtNet", "xray2", "axray", "xray.exe", "skirt"}) {
            QVERIFY(QFile::copy(Helper, m_dir.filePath(name)));
            QVERIFY(QFile::setPermissions(m_dir.filePath(name), everyone));
        }
    }

    void cleanup()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    void onlyTheDepartedUsersProxiesInItsSession()
    {
        testsupport::LogCapture log;
        auto *backend = new Backend(m_dir.path());
        TarnDaemon daemon(nullptr, backend);
        QVERIFY(daemon.start());

        struct Case
        {
            QString name;
            unsigned uid;
            quint32 session;
            bool swept;
            pid_t pid = 0;
        };
        QList<Case> cases{
            {"xray", Nobody, 2, true},   {"XRAY", Nobody, 2, true},   {"SkirtNet", Nobody, 2, true},
            {"xray2", Nobody, 2, false}, {"axray", Nobody, 2, false}, {"xray.exe", Nobody, 2, false},
            {"skirt", Nobody, 2, false}, {"xray", Nobody, 3, false},  {"xray", Nobody - 1, 2, false},
            {"xray", 0, 2, false},
        };
        for (Case &c : cases) {
            QVERIFY((c.pid = spawnAs(c.uid, m_dir.filePath(c.name))) > 0);
            backend->sessionOf.insert(c.pid, c.session);
        }
        // Running under their names before anybody leaves.
        for (const Case &c : cases) {
            int status = -1;
            QTRY_VERIFY_WITH_TIMEOUT(QFile::symLinkTarget(QString("/proc/%1/exe").arg(c.pid)).startsWith(m_dir.path())
                                         || waitpid(c.pid, &status, WNOHANG) == c.pid,
                                     15000);
            QVERIFY2(status == -1, qPrintable(QString("child %1 ended before it ran: status %2").arg(c.pid).arg(status)));
        }

        // nobody's client comes and goes.
        QVERIFY(!testsupport::runAsUser(Nobody, backend->socketName("tarnd", 2)).refused);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("stale process(es) in session 2"), 15000);
        for (const Case &c : cases) {
            if (c.swept)
                QCOMPARE(endingSignal(c.pid), SIGKILL);
            else
                QVERIFY2(waitpid(c.pid, nullptr, WNOHANG) == 0, qPrintable(c.name));
        }
        for (const Case &c : cases)
            ::kill(c.pid, SIGKILL);
        daemon.stop();
    }

    void aConnectedClientsChildrenAreLeftToIt()
    {
        testsupport::LogCapture log;
        auto *backend = new Backend(m_dir.path());
        TarnDaemon daemon(nullptr, backend);
        QVERIFY(daemon.start());
        const QString xray = m_dir.filePath("xray");
        // Both clients are root, in session 2: the daemon's own children are theirs.
        TarnClient keeper, leaver;
        keeper.setEventQueue(true);
        leaver.setEventQueue(true);
        // The kept one has a child of its own, by the same name: what a supervised child started
        // is left to it as well.
        for (auto [client, id, mode] : {std::tuple{&keeper, "kept", QJsonArray{"family", "hold", "noread"}},
                                        std::tuple{&leaver, "left", QJsonArray{"ignoreint"}}}) {
            QVERIFY(client->connectToDaemon(backend->socketName("tarnd", 2)));
            QCOMPARE(client->call(QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", xray},
                                              {"arguments", mode}})
                         .value("status").toString(),
                     QStringLiteral("started"));
            backend->sessionOf.insert(daemon.processes()->childPid({id, 2}), 2);
        }
        const qint64 kept = daemon.processes()->childPid({"kept", 2}), left = daemon.processes()->childPid({"left", 2});
        const pid_t outside = spawnAs(0, xray); // root's own, started elsewhere in that session
        backend->sessionOf.insert(outside, 2);
        QVERIFY(!leaver.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());
        const QStringList pids = keeper.waitForEvent([](const QJsonObject &e) { return e.value("event") == "stdout"; })
                                     .value("data").toString().section('\n', 0, 0).split(' ');
        QCOMPARE(pids.size(), 2);
        const qint64 grandchild = pids[1].toLongLong();
        backend->sessionOf.insert(grandchild, 2);

        leaver.disconnectFromDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("stale process(es) in session 2"), 15000);
        QCOMPARE(endingSignal(outside), SIGKILL);
        // The departed client's own child, stopped and not yet gone, is ended at once.
        QVERIFY(log.contains(QString("Found stale process \"xray\" PID: %1 in session 2 - killing").arg(left)));
        QVERIFY(log.contains(QString("Successfully killed stale process \"xray\" PID: %1").arg(left)));
        QVERIFY(log.contains("Killed 2 stale process(es) in session 2"));
        QVERIFY(!log.contains(QString("PID: %1 ").arg(kept)));
        QVERIFY(!log.contains(QString("PID: %1 ").arg(grandchild)));
        QCOMPARE(::kill(pid_t(grandchild), 0), 0);
        QVERIFY(keeper.call({{"action", "status"}, {"process-id", "kept"}}).value("running").toBool());
        daemon.stop();
    }
};

QTEST_GUILESS_MAIN(TestStaleSweep)
#include "tst_stalesweep.moc"
