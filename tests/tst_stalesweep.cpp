// The sweep of stale proxy processes after a client leaves, with real processes under the swept
// names: only those of the departed client's user, in its session, under exactly those names
// (in any letter case) are ended. The sessions of processes come from the test.

#include "tarnclient.h"
#include "daemon/tarnddaemon.h"
#include "ipc/communicationserver.h"
#include "ipc/sessionbackend.h"
#include "process/processmanager.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::LogCapture;

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

    std::optional<QList<Session>> activeSessions() override
    {
        return QList<Session>{{1, "root", "0"}, {2, "nobody", "65534"}};
    }
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
        if (!sessionOf.contains(pid))
            return false;
        *session = sessionOf.value(pid);
        return true;
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
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(path.constData(), path.constData(), "noread", static_cast<char *>(nullptr));
        _exit(11);
    }
    return pid;
}

// How a child of this process ended: the signal that ended it, 0 while it runs.
int endingSignal(pid_t pid, int timeoutMs = 15000)
{
    int status = 0;
    QElapsedTimer clock;
    clock.start();
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (clock.elapsed() > timeoutMs)
            return 0;
        QTest::qWait(20);
    }
    return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
}

bool running(pid_t pid)
{
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

} // namespace

class TestStaleSweep : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // A copy of the helper under the given name, which every user may run. All are made before
    // any daemon thread runs: a child forked by another thread while a copy is open for writing
    // holds it open until its exec, and the kernel refuses to run the copy meanwhile.
    QString helperCopy(const QString &name) { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("processes of other users need root");
        QVERIFY(m_dir.isValid());
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ExeGroup | QFileDevice::ExeOther
                                                | QFileDevice::ReadGroup | QFileDevice::ReadOther);
        for (const char *name : {"xray", "XRAY", "SkirtNet", "xray2", "axray", "xray.exe", "skirt"}) {
            const QString path = m_dir.filePath(name);
            QVERIFY(QFile::copy(Helper, path));
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner
                                                    | QFileDevice::ReadOther | QFileDevice::ExeOther
                                                    | QFileDevice::ReadGroup | QFileDevice::ExeGroup));
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
        LogCapture log;
        auto *backend = new Backend(m_dir.path());
        TarnDaemon daemon(nullptr, backend);
        QVERIFY(daemon.start());

        struct Case
        {
            QString name;
            unsigned uid;
            quint32 session;
            bool swept;
        };
        const QList<Case> cases{
            {"xray", Nobody, 2, true},       {"XRAY", Nobody, 2, true},        {"SkirtNet", Nobody, 2, true},
            {"xray2", Nobody, 2, false},     {"axray", Nobody, 2, false},      {"xray.exe", Nobody, 2, false},
            {"skirt", Nobody, 2, false},     {"xray", Nobody, 3, false},       {"xray", Nobody - 1, 2, false},
            {"xray", 0, 2, false},
        };
        QList<pid_t> pids;
        for (const Case &c : cases) {
            const pid_t pid = spawnAs(c.uid, helperCopy(c.name));
            QVERIFY(pid > 0);
            backend->sessionOf.insert(pid, c.session);
            pids << pid;
        }
        // Running under their names before anybody leaves.
        for (const pid_t pid : pids) {
            const auto there = [&] {
                return QFile::symLinkTarget(QString("/proc/%1/exe").arg(pid)).startsWith(m_dir.path());
            };
            int status = -1;
            QTRY_VERIFY_WITH_TIMEOUT(there() || waitpid(pid, &status, WNOHANG) == pid, 15000);
            QVERIFY2(status == -1, qPrintable(QString("child %1 ended before it ran: status %2").arg(pid).arg(status)));
        }

        // nobody's client comes and goes.
        const testsupport::ForeignClient visitor = testsupport::runAsUser(Nobody, backend->socketName("tarnd", 2));
        QVERIFY(!visitor.refused);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("stale process(es) in session 2"), 15000);

        for (int i = 0; i < cases.size(); ++i) {
            if (cases[i].swept)
                QCOMPARE(endingSignal(pids[i]), SIGKILL);
            else
                QVERIFY2(running(pids[i]), qPrintable(cases[i].name));
        }
        for (const pid_t pid : pids)
            ::kill(pid, SIGKILL);
        daemon.stop();
    }

    void aConnectedClientsChildrenAreLeftToIt()
    {
        LogCapture log;
        auto *backend = new Backend(m_dir.path());
        TarnDaemon daemon(nullptr, backend);
        QVERIFY(daemon.start());
        const QString xray = helperCopy("xray");
        const auto start = [&](TarnClient &c, const QString &id, const QString &mode) {
            return c.call(QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", xray},
                                      {"arguments", QJsonArray{mode}}});
        };
        // Both clients are root, in session 2: the daemon's own children are theirs.
        TarnClient keeper, leaver;
        keeper.setEventQueue(true);
        leaver.setEventQueue(true);
        QVERIFY(keeper.connectToDaemon(backend->socketName("tarnd", 2)));
        QVERIFY(leaver.connectToDaemon(backend->socketName("tarnd", 2)));
        QCOMPARE(start(keeper, "kept", "noread").value("status").toString(), QStringLiteral("started"));
        QCOMPARE(start(leaver, "left", "ignoreint").value("status").toString(), QStringLiteral("started"));
        const qint64 kept = daemon.processes()->childPid("kept");
        const qint64 left = daemon.processes()->childPid("left");
        backend->sessionOf.insert(kept, 2);
        backend->sessionOf.insert(left, 2);
        const pid_t outside = spawnAs(0, xray); // root's own, started elsewhere in that session
        backend->sessionOf.insert(outside, 2);
        QVERIFY(!leaver.waitForEvent([](const QJsonObject &e) { return e.value("data") == "ready\n"; }).isEmpty());

        leaver.disconnectFromDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("stale process(es) in session 2"), 15000);
        QCOMPARE(endingSignal(outside), SIGKILL);
        // The departed client's own child, stopped and not yet gone, is ended at once.
        QVERIFY(log.contains(QString("Successfully killed stale process \"xray\" PID: %1").arg(left)));
        QVERIFY(log.contains("Killed 2 stale process(es) in session 2"));
        QVERIFY(!log.contains(QString("PID: %1 ").arg(kept)));
        QVERIFY(keeper.call({{"action", "status"}, {"process-id", "kept"}}).value("running").toBool());
        daemon.stop();
    }
};

QTEST_GUILESS_MAIN(TestStaleSweep)
#include "tst_stalesweep.moc"
