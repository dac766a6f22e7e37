// TarnDaemon::handleClientMessage on the requests of the input, from three clients over private
// sockets: two in session 1, one privileged in session 2. Safe as root: every executable becomes
// /bin/cat, /bin/true or a missing path, every argument "-" or empty, every log path and folder
// a private one; the children are stopped every few hundred inputs and at exit.
//
// Input: one JSON request a line; "1 " or "2 " in front sends it from another client.

#include "daemon/tarnddaemon.h"
#include "fuzzsupport.h"
#include "ipc/communicationserver.h"
#include "ipc/sessionbackend.h"
#include "process/processmanager.h"
#include "service/logsink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <functional>

namespace {

constexpr int InputsPerDaemon = 256;
constexpr int MaxProcessesPerDaemon = 32;
constexpr int StopAllMs = 3000;

constexpr int Clients = 3;
constexpr int ConnectMs = 10000;
// Well under the time after which a silent client counts as gone.
constexpr int HeartbeatEveryMs = 2000;

// The peers are told apart by the order they connect in: the first two are user 1000 in session
// 1, the third root in session 2. No process is in a session, so no stale sweep ends one.
class FuzzSessions : public SessionBackend
{
public:
    explicit FuzzSessions(const QString &dir) : m_dir(dir) {}
    std::optional<QList<Session>> activeSessions() override
    {
        return QList<Session>{{1, "fuzz", "1000"}, {2, "root", "0"}};
    }
    bool peerOf(QLocalSocket *, sessions::PeerInfo *peer) override
    {
        const bool root = m_accepted++ >= 2;
        peer->pid = 1;
        peer->user = root ? "root" : "fuzz";
        peer->principal = root ? "0" : "1000";
        peer->uid = peer->gid = root ? 0 : 1000;
        peer->privileged = root;
        peer->hasSession = true;
        peer->session = root ? 2 : 1;
        return true;
    }
    QString socketName(const QString &base, quint32 session) override
    {
        return m_dir + "/" + base + "-" + QString::number(session);
    }
    bool sessionOfProcess(qint64, quint32 *) override { return false; }

private:
    QString m_dir;
    int m_accepted = 0;
};

// A client newer than the daemon has it quit; here that would end the event loop of a stop in
// progress, and the process with it.
class SwallowQuit : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *event) override { return event->type() == QEvent::Quit; }
};

QTemporaryDir *scratch;
TarnDaemon *daemon;
QList<QLocalSocket *> sockets; // the clients' ends, whose frames are read and dropped
QStringList clientIds;
QElapsedTimer sinceHeartbeat;
int inputsServed;

// Keeps what the daemon checks of a text (not a string, empty, holding a NUL), not the text.
QJsonValue harmless(const QJsonValue &value, const QStringList &choices)
{
    const QString text = value.toString();
    if (!value.isString() || text.isEmpty())
        return value;
    QString replaced = choices.at(text.size() % choices.size());
    if (text.contains(QChar(0)))
        replaced += QChar(0);
    return replaced;
}

QJsonObject defused(QJsonObject request)
{
    const QString dir = scratch->path();
    for (auto it = request.begin(); it != request.end(); ++it) {
        if (it.key() == QLatin1String("executable")) {
            it.value() = harmless(it.value(), {"/bin/cat", "/bin/true", dir + "/no-such-program"});
        } else if (it.key() == QLatin1String("arguments") && it.value().isArray()) {
            QJsonArray arguments = it.value().toArray();
            for (auto a = arguments.begin(); a != arguments.end(); ++a)
                *a = harmless(*a, {"-"});
            it.value() = arguments;
        } else if (it.key() == QLatin1String("working-dir")) {
            it.value() = harmless(it.value(), {dir, dir + "/no-such-folder"});
        } else if (it.key() == QLatin1String("log-path")) {
            it.value() = harmless(it.value(), {dir + "/client.log", dir + "/logs/client.log"});
        }
    }
    return request;
}

void serveQueuedWork()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void endDaemon()
{
    if (!daemon)
        return;
    daemon->processes()->stopAll(StopAllMs);
    delete daemon;
    daemon = nullptr;
    qDeleteAll(sockets);
    sockets.clear();
    clientIds.clear();
    serveQueuedWork();
}

bool waitFor(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ConnectMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

void newDaemon()
{
    daemon = new TarnDaemon(nullptr, new FuzzSessions(scratch->path()));
    QObject::connect(daemon->communication(), &CommunicationServer::clientConnected,
                     [](const QString &id) { clientIds.append(id); });
    if (!daemon->start())
        std::abort();
    for (int i = 0; i < Clients; ++i) {
        auto *socket = new QLocalSocket;
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] { socket->readAll(); });
        sockets.append(socket);
        socket->connectToServer(scratch->path() + (i < 2 ? "/tarnd-1" : "/tarnd-2"));
        // One at a time: the sessions' fake tells the peers apart by their order.
        if (!waitFor([i] { return clientIds.size() == i + 1; })) {
            std::fprintf(stderr, "client %d of the daemon did not get connected\n", i);
            std::abort();
        }
    }
    inputsServed = 0;
    sinceHeartbeat.start();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(fuzzsupport::dropMessages);
    QLoggingCategory::setFilterRules(QStringLiteral("tarnd.*=true"));
    // The default log file lives under the account's data folder, and "clear-logs" removes it.
    scratch = new QTemporaryDir(QDir::tempPath() + "/tarnd-fuzz-XXXXXX");
    if (!scratch->isValid())
        std::abort();
    qputenv("XDG_DATA_HOME", scratch->path().toLocal8Bit());
    // No ip or resolvectl is found by name, so no input changes the machine's interfaces or DNS.
    qputenv("PATH", (scratch->path() + "/no-tools").toLocal8Bit());
    auto *app = new QCoreApplication(*argc, *argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(TARND_VERSION));
    app->installEventFilter(new SwallowQuit);
    LogSink::instance().setLogFilePath(scratch->path() + "/daemon.log");
    newDaemon();
    std::atexit([] {
        endDaemon();
        delete scratch;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    for (QByteArray line : input.split('\n')) {
        int client = 0;
        if (line.size() >= 2 && (line[0] == '1' || line[0] == '2') && line[1] == ' ') {
            client = line[0] - '0';
            line = line.mid(2);
        }
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (!doc.isObject())
            continue;
        daemon->handleClientMessage(clientIds.at(client), defused(doc.object()));
        serveQueuedWork();
    }

    if (sinceHeartbeat.elapsed() > HeartbeatEveryMs) {
        for (const QString &id : std::as_const(clientIds))
            daemon->communication()->updateHeartbeat(id);
        sinceHeartbeat.restart();
    }

    const qsizetype processes = daemon->processes()->listProcesses().value("processes").toArray().size();
    if (++inputsServed >= InputsPerDaemon || processes > MaxProcessesPerDaemon) {
        // A stop of every child leaves the daemon refusing starts: the next inputs get a new one.
        endDaemon();
        newDaemon();
    }
    return 0;
}
