// The trust boundary of a daemon shared by several users: each session sees and drives only its
// own processes, one user cannot take every connection or process slot, a policy limits what
// may be started, and what a client sends cannot swell the log.

#include "tarnclient.h"
#include "daemon/execpolicy.h"
#include "daemon/tarnddaemon.h"
#include "ipc/sessionbackend.h"
#include "service/logging.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned UserA = 65534; // session 1
constexpr unsigned UserB = 65533; // session 2

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

// Session 1 is A's, session 2 is B's; a process is in the session of its uid (root's in 1).
class TwoUsers : public PlatformSessionBackend
{
public:
    explicit TwoUsers(const QString &dir) : m_dir(dir) {}
    std::optional<QList<Session>> activeSessions() override
    {
        return QList<Session>{{1, "a", QString::number(UserA)}, {2, "b", QString::number(UserB)}};
    }
    QString socketName(const QString &base, quint32 session) override
    {
        return m_dir + "/" + base + "-" + QString::number(session);
    }
    bool sessionOfProcess(qint64 pid, quint32 *session) override
    {
        struct stat st;
        if (::stat(QByteArray("/proc/" + QByteArray::number(pid)).constData(), &st) != 0)
            return false;
        *session = st.st_uid == UserB ? 2 : 1;
        return true;
    }

private:
    QString m_dir;
};

QJsonObject request(const QString &action, const QString &id = QString())
{
    QJsonObject r{{"action", action}};
    if (!id.isEmpty())
        r.insert("process-id", id);
    return r;
}

QJsonObject startOf(const QString &id, const QString &exe, const QStringList &args)
{
    return QJsonObject{{"action", "start"}, {"process-id", id}, {"executable", exe},
                       {"arguments", QJsonArray::fromStringList(args)}};
}

QStringList idsIn(const QJsonObject &list)
{
    QStringList ids;
    for (const QJsonValue &p : list.value("processes").toArray())
        ids << p.toObject().value("process-id").toString();
    return ids;
}

} // namespace

class TestTrust : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<TarnDaemon> m_daemon;

    QString socket(quint32 session) const { return m_dir.path() + "/tarnd-" + QString::number(session); }

    void startDaemon(TarnDaemon::Limits limits = TarnDaemon::Limits{})
    {
        m_daemon = std::make_unique<TarnDaemon>(nullptr, new TwoUsers(m_dir.path()), limits);
        QVERIFY(m_daemon->start());
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("acting as other users needs root");
        // The forked users must reach the sockets.
        QCOMPARE(chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    }

    void cleanup()
    {
        if (m_daemon)
            m_daemon->stop();
        m_daemon.reset();
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void sessionsAreApart()
    {
        startDaemon();
        // Root starts a process from session 1: it belongs to session 1.
        TarnClient root;
        root.setEventQueue(true);
        QVERIFY(root.connectToDaemon(socket(1)));
        QCOMPARE(root.call(startOf("a-core", Helper, {"echo"})).value("status").toString(), QStringLiteral("started"));

        // B, in session 2, sees nothing of it and reaches nothing of it: every answer is the
        // one for a process that does not exist.
        const QList<QJsonObject> b = testsupport::runAsUser(
            UserB, socket(2),
            {request("list"), request("stop", "a-core"), request("kill", "a-core"), request("restart", "a-core"),
             request("status", "a-core"), QJsonObject{{"action", "stdin"}, {"process-id", "a-core"}, {"data", "x\n"}},
             request("status", "no-such")}).responses;
        QCOMPARE(b.size(), 7);
        QCOMPARE(idsIn(b[0]), QStringList());
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(b[i].value("error").toString(), QStringLiteral("Process not found: a-core"));
        QCOMPARE(b[5].value("error").toString(), QStringLiteral("Failed to write to process stdin"));
        QCOMPARE(b[6].value("error").toString(), QStringLiteral("Process not found: no-such"));

        // Any client of session 1 reaches it, as a restarted desktop client must.
        const QList<QJsonObject> a = testsupport::runAsUser(
            UserA, socket(1),
            {request("list"), request("status", "a-core"),
             QJsonObject{{"action", "stdin"}, {"process-id", "a-core"}, {"data", "from a\n"}}}).responses;
        QCOMPARE(a.size(), 3);
        QCOMPARE(idsIn(a[0]), QStringList{"a-core"});
        QCOMPARE(a[1].value("running").toBool(), true);
        QCOMPARE(a[2].value("status").toString(), QStringLiteral("success"));
        // Its output still goes to its owner only.
        const QJsonObject out = root.waitForEvent([](const QJsonObject &e) { return e.value("event") == "stdout"; });
        QCOMPARE(out.value("data").toString(), QStringLiteral("from a\n"));

        // Root, even through session 2's socket, sees and drives every session's processes.
        TarnClient rootElsewhere;
        rootElsewhere.setEventQueue(true);
        QVERIFY(rootElsewhere.connectToDaemon(socket(2)));
        QCOMPARE(idsIn(rootElsewhere.call(request("list"))), QStringList{"a-core"});
        QCOMPARE(rootElsewhere.call(request("stop", "a-core")).value("status").toString(), QStringLiteral("stopping"));
        QVERIFY(!root.waitForEvent([](const QJsonObject &e) { return e.value("event") == "finished"; }).isEmpty());
    }

    void oneUserCannotTakeEverySlot()
    {
        startDaemon(TarnDaemon::Limits{2});
        TarnClient root;
        root.setEventQueue(true);
        QVERIFY(root.connectToDaemon(socket(1)));
        QCOMPARE(root.call(startOf("one", Helper, {"echo"})).value("status").toString(), QStringLiteral("started"));
        QCOMPARE(root.call(startOf("two", Helper, {"echo"})).value("status").toString(), QStringLiteral("started"));
        const QJsonObject third = root.call(startOf("three", Helper, {"echo"}));
        QCOMPARE(third.value("error").toString(), QStringLiteral("Too many processes in this session (limit 2)"));
        // Another session has slots of its own.
        TarnClient other;
        other.setEventQueue(true);
        QVERIFY(other.connectToDaemon(socket(2)));
        QCOMPARE(other.call(startOf("elsewhere", Helper, {"echo"})).value("status").toString(), QStringLiteral("started"));
        // A slot is free again once its process has finished.
        QCOMPARE(root.call(request("kill", "one")).value("status").toString(), QStringLiteral("killed"));
        QVERIFY(!root.waitForEvent([](const QJsonObject &e) { return e.value("event") == "finished"; }).isEmpty());
        QCOMPARE(root.call(startOf("three", Helper, {"echo"})).value("status").toString(), QStringLiteral("started"));

        // One user's connections: the 65th is closed, the 64 before it keep working.
        const testsupport::ForeignConnections c = testsupport::connectAsUser(UserA, socket(1), 65);
        QCOMPARE(c.admitted.size(), 65);
        QCOMPARE(c.admitted.count(true), 64);
        QVERIFY(!c.admitted.last());
        QCOMPARE(c.answered.mid(0, 64).count(true), 64);
    }

    void policyDecidesWhatMayStart()
    {
        startDaemon();
        const QString allowed = m_dir.path() + "/allowed";
        QVERIFY(QDir().mkpath(allowed));
        QVERIFY(QFile::copy(Helper, allowed + "/core"));
        QVERIFY(QFile::setPermissions(allowed + "/core", QFileDevice::Permissions(0x7755)));
        const QString file = m_dir.path() + "/tarnd.conf";
        testsupport::writeFile(file, "# cores only\nallow-folder = " + allowed.toUtf8() + "\n");
        m_daemon->setExecutablePolicy(ExecPolicy::load(file));

        const QList<QJsonObject> r = testsupport::runAsUser(
            UserA, socket(1), {startOf("inside", allowed + "/core", {"echo"}), startOf("outside", Helper, {"echo"})})
                                         .responses;
        QCOMPARE(r.size(), 2);
        QCOMPARE(r[0].value("status").toString(), QStringLiteral("started"));
        QCOMPARE(r[1].value("status").toString(), QStringLiteral("error"));
        QVERIFY2(r[1].value("error").toString().contains(file), qPrintable(r[1].value("error").toString()));
    }

    void clientTextIsCappedInTheLog()
    {
        startDaemon();
        testsupport::LogCapture log;
        TarnClient root;
        root.setEventQueue(true);
        QVERIFY(root.connectToDaemon(socket(1)));
        const QString huge(200000, QChar('x'));
        QCOMPARE(root.call(request("stop", huge)).value("error").toString(), "Process not found: " + huge);
        QCOMPARE(root.call(QJsonObject{{"action", "client-hello"}, {"log-path", QString("rel/" + huge)}}).value("error").toString(),
                 QStringLiteral("Log path refused: not an absolute path"));
        QVERIFY(log.contains("(200004 characters)"));
        for (const QString &line : log.text().split('\n'))
            QVERIFY2(line.size() < 2 * MaxLoggedClientChars + 400, qPrintable(line.left(400)));
    }
};

QTEST_GUILESS_MAIN(TestTrust)
#include "tst_trust.moc"
