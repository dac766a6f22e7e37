#pragma once
// Shared pieces of the native tests.

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class ProcessManager;

namespace testsupport {

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);

// A connected pair of local sockets over a private server name.
struct SocketPair
{
    QLocalServer server;
    std::unique_ptr<QLocalSocket> client;
    QLocalSocket *serverSide = nullptr; // child of server
    bool open();
};

// Whether the tests run as root (needed to act as another user).
bool isRoot();

// This process's clients take a daemon run as the tester for the daemon (a test build's option:
// on Windows a client otherwise wants LocalSystem). False if the tester's identity is unknown.
bool expectDaemonAsTester();

// Every process started from this test process, however indirectly, carries a tag in its
// environment. Waits for every tagged one to end; whatever is left is described in *report and
// killed, so that one failed test does not spill into the next, and false is returned.
bool noLeftovers(QString *report, int timeoutMs = 15000);

// A start as the daemon makes it, its answer waited for (only the TUN core's can wait).
QJsonObject startNow(ProcessManager &pm, const QJsonObject &spec, unsigned session = 0);

// Where an actual frame differs from the expected one, or an empty text: the same keys and
// values, where an expected string "<...>" stands for any value.
QString frameDifference(const QJsonValue &expected, const QJsonValue &actual, const QString &at);

// The object of one frame (framing), or an empty one if it is not exactly one frame.
QJsonObject decodeFrame(const QByteArray &frame);

// Everything a process manager announces, its output frames decoded, in order.
struct ProcessEvents
{
    QList<QJsonObject> all;
    qsizetype largestFrame = 0; // of the output frames
    explicit ProcessEvents(ProcessManager &pm);
    QList<QJsonObject> of(const QString &id, const QString &kind = QString()) const;
    // The "data" of the process's events of that kind, joined.
    QString text(const QString &id, const QString &kind = QStringLiteral("stdout")) const;
    bool finished(const QString &id) const { return !of(id, QStringLiteral("finished")).isEmpty(); }
    QString exitData(const QString &id) const;
    int starts(const QString &id) const { return int(of(id, QStringLiteral("started")).size()); }
};

// The messages of the daemon's logging category written in this process while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QString text() const;
    bool contains(const QString &s) const { return text().contains(s); }
    int count(const QString &s) const { return int(text().count(s)); }
};

// The real tarnd binary as a test's own daemon for session 1, on a socket nobody else uses:
// on Linux run in the foreground as systemd runs it, its sockets and data in a private folder;
// on Windows a test build's console mode on a pipe name of its own.
class Daemon
{
public:
    Daemon();
    // Stops it as stop() does, and kills it only past its stop budget.
    ~Daemon();
    bool start(const QStringList &extraEnv = {});
    // Asks it to stop as its service manager would (Linux: SIGTERM; Windows: the end of its
    // standard input); waitForExit waits for it.
    void stop();
    // Ends it at once, as a crash would (Linux: SIGKILL; Windows: TerminateProcess).
    void kill() { m_process.kill(); }
    // What a QLocalSocket connects to.
    QString socketPath() const;
    // A file of the test's private folder, for logs.
    QString path(const QString &relative) const { return m_dir.path() + "/" + relative; }
    // Everything the daemon wrote to standard error so far.
    QString log();
    bool waitForLog(const QString &text, int timeoutMs = 15000);
    // Waits for the process to end; its exit code, or -1.
    int waitForExit(int timeoutMs = 30000);
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }
#ifdef Q_OS_LINUX
    // Before start: the daemon may hold no more than this many descriptors (soft and hard).
    void setDescriptorLimit(int limit);
    void signal(int signo);
#endif

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_log;
    QFile m_logFile; // where its output goes, when not to a pipe (Windows); a restart appends
};

// Whether the process runs (an exited one that is not reaped yet does not).
bool alive(qint64 pid);

// A console program started so gets a Ctrl+C from interrupt() (Linux: SIGINT), and on Windows
// nobody else does: it runs on a console of its own.
void startOnOwnConsole(QProcess &p, const QString &program, const QStringList &arguments);
bool interrupt(const QProcess &p);

// Whether every needle occurs in the text, each after the previous one.
bool inOrder(const QString &text, const QStringList &needles);

// A client forked to run as another user, speaking the protocol over raw sockets.
struct ForeignClient
{
    bool refused = true;          // closed by the daemon before a first frame
    QJsonObject greeting;         // the first frame
    QList<QJsonObject> responses; // one per request, events skipped
};

// Connects to the socket as uid/gid, waits for the first frame, then sends each request and
// reads its response. Keeps this process's event loop running meanwhile.
ForeignClient runAsUser(unsigned uid, const QString &socketPath, const QList<QJsonObject> &requests = {});

struct ForeignConnections
{
    QList<bool> admitted; // per connection, in order: greeted by the daemon
    QList<bool> answered; // per connection, once all were open: a heartbeat answered
};
// Opens count connections at once as uid/gid, then asks each for a heartbeat.
ForeignConnections connectAsUser(unsigned uid, const QString &socketPath, int count);

// Opens one connection per item of sends as uid/gid and writes the item on it; keeps them all
// open until the daemon has closed `closes` of them (20 s at most). How many it closed.
int holdAsUser(unsigned uid, const QString &socketPath, const QList<QByteArray> &sends, int closes);

} // namespace testsupport
