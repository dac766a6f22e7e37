// A client's chosen log file is written, rotated and deleted with that client's own rights:
// a client running as nobody gets the daemon to touch only what nobody could touch.

#include "tarnclient.h"
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
#include <unistd.h>

namespace {

constexpr uid_t Nobody = 65534;
const QJsonObject Heartbeat{{"action", "heartbeat"}};
const QJsonObject ClearLogs{{"action", "clear-logs"}};

// The platform's sessions, but session 1 belongs to nobody.
class NobodysSession : public PlatformSessionBackend
{
public:
    std::optional<QList<Session>> activeSessions() override { return QList<Session>{{1, "nobody", "65534"}}; }
};

// Lines come from the log writer's thread too.
QMutex g_linesMutex;
QStringList g_lines;

void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_linesMutex);
        g_lines << message;
    }
    LogSink::messageHandler(type, context, message);
}

int linesWith(const QString &text)
{
    QMutexLocker lock(&g_linesMutex);
    return int(g_lines.filter(text).size());
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

logfile::Identity nobody()
{
    return {false, Nobody, Nobody, {}, {}};
}

} // namespace

class TestLogIdentity : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<TarnDaemon> m_daemon;

    QString path(const QString &rel) const { return m_dir.path() + "/" + rel; }
    // The answers, after whatever the requests had written has reached its file.
    QList<QJsonObject> asNobody(const QList<QJsonObject> &requests)
    {
        const QList<QJsonObject> r = testsupport::runAsUser(Nobody, path("run/tarnd-1"), requests).responses;
        return LogSink::instance().flush() ? r : QList<QJsonObject>{};
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testsupport::isRoot())
            QSKIP("acting as another user needs root");
        for (const char *d : {"root-only", "nobodys", "run"})
            QVERIFY(QDir(m_dir.path()).mkpath(d));
        QCOMPARE(chown(QFile::encodeName(path("nobodys")).constData(), Nobody, Nobody), 0);
        QCOMPARE(chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        qputenv("RUNTIME_DIRECTORY", path("run").toLocal8Bit());
        m_daemon = std::make_unique<TarnDaemon>(nullptr, new NobodysSession);
        QVERIFY(m_daemon->start());
    }

    // The test library puts its own handler back between test functions.
    void init()
    {
        qInstallMessageHandler(recordingHandler);
        QMutexLocker lock(&g_linesMutex);
        g_lines.clear();
    }

    void cleanupTestCase()
    {
        m_daemon.reset();
        qInstallMessageHandler(nullptr);
    }

    void nothingWhereNobodyCannotWrite()
    {
        // Each of these once froze the daemon (a FIFO's open waits for a reader) or let nobody
        // write where it could not itself: the daemon must go on answering and write nothing.
        const QString fifo = path("nobodys/fifo.log");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
        const QString shared = path("root-only/shared.log"), hardLink = path("nobodys/hard.log");
        const QString ownedByRoot = path("nobodys/roots.log"), victim = path("root-only/victim.log");
        const QStringList roots{shared, ownedByRoot, victim, victim + ".old"};
        for (const QString &file : roots)
            testsupport::writeFile(file, "root's");
        for (const QString &file : {shared, ownedByRoot})
            QCOMPARE(chmod(QFile::encodeName(file).constData(), 0666), 0);
        QCOMPARE(::link(QFile::encodeName(shared).constData(), QFile::encodeName(hardLink).constData()), 0);
        const QList<QJsonObject> r = asNobody({hello(fifo), Heartbeat, hello("/dev/null"), Heartbeat, hello(hardLink),
                                               Heartbeat, hello(ownedByRoot), Heartbeat,
                                               hello(path("root-only/made-by-nobody/client.log")), Heartbeat,
                                               hello(victim), Heartbeat, ClearLogs});
        QCOMPARE(r.size(), 13);
        for (int i = 0; i < 12; ++i)
            QCOMPARE(r[i].value("status").toString(), QStringLiteral("success"));
        QCOMPARE(r[12], (QJsonObject{{"status", "error"}, {"error", "Failed to clear daemon logs"}}));

        QVERIFY(!QFileInfo::exists(path("root-only/made-by-nobody")));
        for (const QString &file : roots)
            QCOMPARE(testsupport::readFile(file), QByteArray("root's"));
        // One warning per chosen path that cannot be written, however many lines follow.
        QCOMPARE(linesWith("cannot be written with the rights of the client"), 6);
    }

    void nobodysOwnFilesWorkAndLinksAreNotFollowed()
    {
        const QString own = path("nobodys/sub/client.log"), link = path("nobodys/link.log");
        const QString target = path("root-only/target.log");
        testsupport::writeFile(target, "untouched");
        QVERIFY(QFile::link(target, link));

        QCOMPARE(asNobody({hello(own), Heartbeat}).size(), 2);
        QVERIFY(testsupport::readFile(own).contains("Client connected:"));
        QCOMPARE(ownerOf(own), Nobody);
        QCOMPARE(ownerOf(path("nobodys/sub")), Nobody);

        // clear-logs removes the link itself, never what it points to.
        const QList<QJsonObject> r = asNobody({hello(link), ClearLogs});
        QCOMPARE(r.size(), 2);
        QCOMPARE(r[1].value("status").toString(), QStringLiteral("success"));
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(linesWith("Checking if main log exists: \"" + link + "\""), 1);
        QCOMPARE(linesWith("Checking if .old log exists: \"" + link + ".old\""), 1);
        QCOMPARE(testsupport::readFile(target), QByteArray("untouched"));
    }

    void clearLogsRunsAsTheClientAsking()
    {
        // Before a hello of its session nobody has nothing to clear, least of all the daemon's
        // own log; a file root chose for the session is deleted, if at all, with nobody's rights.
        const QString daemons = path("root-only/daemon.log"), roots = path("root-only/chosen-by-root.log");
        testsupport::writeFile(daemons, "the daemon's log");
        testsupport::writeFile(roots, "root's log");
        LogSink::instance().setLogFilePath(daemons);
        // A session of its own: the earlier cases' last choice would otherwise stay the session's.
        LogSink::instance().forgetSession(1);
        TarnClient root;
        QVERIFY(root.connectToDaemon(path("run/tarnd-1")));
        testsupport::LogCapture log;
        for (const QJsonObject &before : {QJsonObject(), hello(roots)}) {
            if (!before.isEmpty())
                QCOMPARE(root.call(before).value("status").toString(), QStringLiteral("success"));
            const QList<QJsonObject> r = asNobody({ClearLogs});
            QCOMPARE(r.size(), 1);
            QCOMPARE(r[0].value("error").toString(), QStringLiteral("Failed to clear daemon logs"));
        }
        QVERIFY(QFileInfo::exists(daemons) && QFileInfo::exists(roots));
        QVERIFY(log.contains("asked to clear the logs, but no client of its session has chosen a log file"));
        QVERIFY(log.contains("FAILED to remove main log file"));
        QVERIFY(log.contains("Failed to clear some daemon log files"));
    }

    void rotationRunsAsTheClient()
    {
        // nobody's file past the limit is rotated with nobody's rights: in nobody's folder (a
        // root-owned ".old" there nobody could replace), not in root's.
        const QByteArray full(LogSink::RotateAboveBytes + 1, 'x');
        for (const QString &big : {path("root-only/big.log"), path("nobodys/big.log")}) {
            const bool mine = big.contains("nobodys");
            testsupport::writeFile(big, full);
            QCOMPARE(chown(QFile::encodeName(big).constData(), mine ? Nobody : 0, mine ? Nobody : 0), 0);
            LogSink sink;
            sink.setLogFilePath(big, nobody());
            for (int i = 0; i < LogSink::RotationCheckEvery; ++i)
                sink.write(QtInfoMsg, "line");
            QVERIFY(sink.flush());
            if (!mine) {
                QVERIFY(!QFileInfo::exists(big + ".old"));
                QCOMPARE(QFileInfo(big).size(), full.size());
                continue;
            }
            const QByteArray rotated = testsupport::readFile(big + ".old");
            QVERIFY(rotated.startsWith(full));
            QCOMPARE(rotated.count("INFO: line\n"), LogSink::RotationCheckEvery);
            QVERIFY(!QFileInfo::exists(big));
        }
    }
};

QTEST_GUILESS_MAIN(TestLogIdentity)
#include "tst_logidentity.moc"
