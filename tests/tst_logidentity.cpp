// A client's chosen log file is written, rotated and deleted with that client's own rights:
// a client running as nobody gets the daemon to touch only what nobody could touch.

#include "daemon/tarnddaemon.h"
#include "ipc/sessionbackend.h"
#include "service/logfile.h"
#include "service/logsink.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr uid_t Nobody = 65534;

// The platform's sessions, but session 1 belongs to nobody.
class NobodysSession : public PlatformSessionBackend
{
public:
    std::optional<QList<Session>> activeSessions() override { return QList<Session>{{1, "nobody", "65534"}}; }
};

// Warnings come from the log writer's thread too.
QMutex g_warningsMutex;
QStringList g_warnings;

void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg) {
        QMutexLocker lock(&g_warningsMutex);
        g_warnings << message;
    }
    LogSink::messageHandler(type, context, message);
}

int warningsWith(const QString &text)
{
    QMutexLocker lock(&g_warningsMutex);
    return int(g_warnings.filter(text).size());
}

QList<QJsonObject> asNobody(const QString &socket, const QList<QJsonObject> &requests)
{
    return testsupport::runAsUser(Nobody, socket, requests).responses;
}

QJsonObject hello(const QString &path)
{
    return QJsonObject{{"action", "client-hello"}, {"log-path", path}};
}

uid_t ownerOf(const QString &path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_uid : uid_t(-1);
}

} // namespace

class TestLogIdentity : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<TarnDaemon> m_daemon;

    QString path(const QString &rel) const { return m_dir.path() + "/" + rel; }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("acting as another user needs root");
        QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7755));
        QVERIFY(QDir(m_dir.path()).mkpath("root-only"));
        QVERIFY(QDir(m_dir.path()).mkpath("nobodys"));
        QCOMPARE(chown(QFile::encodeName(path("nobodys")).constData(), Nobody, Nobody), 0);
        QCOMPARE(chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        QVERIFY(QDir(m_dir.path()).mkpath("run"));
        qputenv("RUNTIME_DIRECTORY", path("run").toLocal8Bit());
        m_daemon = std::make_unique<TarnDaemon>(nullptr, new NobodysSession);
        QVERIFY(m_daemon->start());
    }

    // The test library puts its own handler back between test functions.
    void init()
    {
        qInstallMessageHandler(recordingHandler);
        QMutexLocker lock(&g_warningsMutex);
        g_warnings.clear();
    }

    void cleanupTestCase()
    {
        m_daemon.reset();
        qInstallMessageHandler(nullptr);
    }

    void nothingWhereNobodyCannotWrite()
    {
        const QString victim = path("root-only/victim.log");
        testsupport::writeFile(victim, "root's");
        testsupport::writeFile(victim + ".old", "root's old");
        const QString missingDir = path("root-only/made-by-nobody/client.log");

        const QList<QJsonObject> r = asNobody(path("run/tarnd-1"),
                                              {hello(missingDir), {{"action", "heartbeat"}}, hello(victim),
                                               {{"action", "heartbeat"}}, {{"action", "clear-logs"}}});

        QVERIFY(LogSink::instance().flush());
        QCOMPARE(r.size(), 5);
        QCOMPARE(r[0].value("status").toString(), QStringLiteral("success"));
        QCOMPARE(r[2].value("status").toString(), QStringLiteral("success"));
        QCOMPARE(r[4], (QJsonObject{{"status", "error"}, {"error", "Failed to clear daemon logs"}}));

        QVERIFY(!QFileInfo::exists(path("root-only/made-by-nobody")));
        QCOMPARE(testsupport::readFile(victim), QByteArray("root's"));
        QCOMPARE(testsupport::readFile(victim + ".old"), QByteArray("root's old"));
        // One warning per chosen path that cannot be written, however many lines follow.
        QCOMPARE(warningsWith("cannot be written with the rights of the client"), 2);
    }

    void nobodysOwnFilesWorkAndLinksAreNotFollowed()
    {
        const QString own = path("nobodys/sub/client.log");
        const QString link = path("nobodys/link.log");
        const QString target = path("root-only/target.log");
        testsupport::writeFile(target, "untouched");
        QVERIFY(QFile::link(target, link));

        const QList<QJsonObject> r = asNobody(path("run/tarnd-1"), {hello(own), {{"action", "heartbeat"}}});

        QVERIFY(LogSink::instance().flush());
        QCOMPARE(r.size(), 2);
        QVERIFY(testsupport::readFile(own).contains("Client connected:"));
        QCOMPARE(ownerOf(own), Nobody);
        QCOMPARE(ownerOf(path("nobodys/sub")), Nobody);

        const QList<QJsonObject> r2 = asNobody(path("run/tarnd-1"), {hello(link), {{"action", "clear-logs"}}});

        QVERIFY(LogSink::instance().flush());
        QCOMPARE(r2.size(), 2);
        QCOMPARE(testsupport::readFile(target), QByteArray("untouched"));
        // clear-logs removes the link itself, never what it points to.
        QCOMPARE(r2[1].value("status").toString(), QStringLiteral("success"));
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(testsupport::readFile(target), QByteArray("untouched"));
    }

    void pathsThatAreNotTheClientsOwnFileAreRefused()
    {
        // Each of these once froze the daemon (a FIFO's open waits for a reader) or let nobody
        // write where it could not itself: the daemon must go on answering and write nothing.
        const QString fifo = path("nobodys/fifo.log");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
        const QString shared = path("root-only/shared.log");
        testsupport::writeFile(shared, "root's shared");
        QCOMPARE(chmod(QFile::encodeName(shared).constData(), 0666), 0);
        const QString hardLink = path("nobodys/hard.log");
        QVERIFY(::link(QFile::encodeName(shared).constData(), QFile::encodeName(hardLink).constData()) == 0);
        const QString ownedByRoot = path("nobodys/roots.log");
        testsupport::writeFile(ownedByRoot, "root's in nobody's folder");
        QCOMPARE(chmod(QFile::encodeName(ownedByRoot).constData(), 0666), 0);

        const QJsonObject heartbeat{{"action", "heartbeat"}};
        const QList<QJsonObject> r = asNobody(path("run/tarnd-1"),
                                              {hello(fifo), heartbeat, hello("/dev/null"), heartbeat,
                                               hello(hardLink), heartbeat, hello(ownedByRoot), heartbeat,
                                               hello("relative/client.log")});
        QVERIFY(LogSink::instance().flush());
        QCOMPARE(r.size(), 9);
        for (int i = 1; i < 8; i += 2)
            QCOMPARE(r[i].value("status").toString(), QStringLiteral("success"));
        QCOMPARE(testsupport::readFile(shared), QByteArray("root's shared"));
        QCOMPARE(testsupport::readFile(ownedByRoot), QByteArray("root's in nobody's folder"));
        QCOMPARE(r[8].value("status").toString(), QStringLiteral("error"));
        QVERIFY(r[8].value("error").toString().startsWith("Log path refused:"));
        QCOMPARE(warningsWith("cannot be written with the rights of the client"), 4);
    }

    void clearLogsRunsAsTheClientAsking()
    {
        // A file root chose must not be deleted on nobody's request with root's rights.
        const QString roots = path("root-only/chosen-by-root.log");
        testsupport::writeFile(roots, "root's log");
        logfile::Identity root;
        root.daemon = false;
        LogSink::instance().setLogFilePath(roots, root);
        const QList<QJsonObject> r = asNobody(path("run/tarnd-1"), {{{"action", "clear-logs"}}});
        QVERIFY(LogSink::instance().flush());
        QCOMPARE(r.size(), 1);
        QCOMPARE(r[0].value("status").toString(), QStringLiteral("error"));
        QVERIFY(QFileInfo::exists(roots));
    }

    void rotationRunsAsTheClient()
    {
        // nobody's file past the limit is rotated with nobody's rights; a root-owned ".old"
        // in nobody's folder would be replaced (nobody owns the folder), one in root's is not.
        LogSink sink;
        logfile::Identity nobody;
        nobody.daemon = false;
        nobody.uid = Nobody;
        nobody.gid = Nobody;
        const QString big = path("root-only/big.log");
        testsupport::writeFile(big, QByteArray(LogSink::RotateAboveBytes + 1, 'x'));
        sink.setLogFilePath(big, nobody);
        for (int i = 0; i < LogSink::RotationCheckEvery; ++i)
            sink.write(QtInfoMsg, "line");
        QVERIFY(sink.flush());
        QVERIFY(!QFileInfo::exists(big + ".old"));
        QCOMPARE(QFileInfo(big).size(), LogSink::RotateAboveBytes + 1);

        const QString mine = path("nobodys/big.log");
        testsupport::writeFile(mine, QByteArray(LogSink::RotateAboveBytes + 1, 'x'));
        QCOMPARE(chown(QFile::encodeName(mine).constData(), Nobody, Nobody), 0);
        LogSink sink2;
        sink2.setLogFilePath(mine, nobody);
        for (int i = 0; i < LogSink::RotationCheckEvery; ++i)
            sink2.write(QtInfoMsg, "line");
        QVERIFY(sink2.flush());
        const QByteArray rotated = testsupport::readFile(mine + ".old");
        QVERIFY(rotated.startsWith(QByteArray(LogSink::RotateAboveBytes + 1, 'x')));
        QCOMPARE(rotated.count("INFO: line\n"), LogSink::RotationCheckEvery);
        QVERIFY(!QFileInfo::exists(mine));
    }
};

QTEST_GUILESS_MAIN(TestLogIdentity)
#include "tst_logidentity.moc"
