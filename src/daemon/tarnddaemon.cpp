#include "daemon/tarnddaemon.h"
#include "daemon/processscan.h"
#include "ipc/clientconnection.h"
#include "ipc/communicationserver.h"
#include "ipc/sessions.h"
#include "process/processinfo.h"
#include "process/processmanager.h"
#include "service/logfile.h"
#include "service/logging.h"
#include "service/logsink.h"
#include "service/privilegemanager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QTimer>
#include <QVersionNumber>

#include <algorithm>

namespace {

QString compact(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QJsonObject success()
{
    return QJsonObject{{"status", "success"}};
}

QJsonObject error(const QString &text)
{
    return QJsonObject{{"status", "error"}, {"error", text}};
}

void copyRequestId(const QJsonObject &request, QJsonObject *response)
{
    const auto it = request.constFind("request-id");
    if (it != request.constEnd())
        response->insert("request-id", *it);
}

} // namespace

TarnDaemon::TarnDaemon(QObject *parent)
    : TarnDaemon(parent, nullptr)
{
}

TarnDaemon::TarnDaemon(QObject *parent, SessionBackend *sessions)
    : TarnDaemon(parent, sessions, Limits{})
{
}

TarnDaemon::TarnDaemon(QObject *parent, SessionBackend *sessions, Limits limits)
    : QObject(parent)
    , m_limits(limits)
    , m_policy(ExecPolicy::load(ExecPolicy::defaultPath()))
    , m_processManager(new ProcessManager(this))
    , m_communicationServer(new CommunicationServer(this, sessions))
    , m_privilegeManager(new PrivilegeManager(this))
{
    connect(m_communicationServer, &CommunicationServer::messageReceived, this, &TarnDaemon::handleClientMessage);
    connect(m_communicationServer, &CommunicationServer::clientConnected, this, &TarnDaemon::onClientConnected);
    connect(m_communicationServer, &CommunicationServer::clientDisconnected, this, &TarnDaemon::onClientDisconnected);
    connect(m_communicationServer, &CommunicationServer::clientTimedOut, this, &TarnDaemon::onClientTimedOut);
    connect(m_communicationServer, &CommunicationServer::clientBytesWritten, this, &TarnDaemon::onClientBytesWritten);
    // Routing comes first, so the owner gets "finished" before its entry is dropped.
    connect(m_processManager, &ProcessManager::processEvent, this, &TarnDaemon::broadcastProcessEvent);
    connect(m_processManager, &ProcessManager::processOutput, this, &TarnDaemon::sendToOwner);
    connect(m_processManager, &ProcessManager::processEvent, this, [this](const QJsonObject &event) {
        if (event.value("event").toString() != QLatin1String("finished"))
            return;
        onProcessFinished(event.value("process-id").toString(), event.value("data").toString().toInt(nullptr, 10));
    });
}

TarnDaemon::~TarnDaemon() = default;

bool TarnDaemon::start()
{
    qCInfo(lcTarnd) << "Starting tarnd daemon...";
    if (!m_communicationServer->start(QStringLiteral("tarnd"))) {
        qCCritical(lcTarnd) << "Failed to start communication server";
        return false;
    }
    qCInfo(lcTarnd) << "Daemon started successfully";
    qCDebug(lcTarnd) << "Privilege level:" << PrivilegeManager::privilegeLevel();
    return true;
}

void TarnDaemon::stop()
{
    qCInfo(lcTarnd) << "Stopping tarnd daemon...";
    // No new client while the children stop; those connected are still answered, and new
    // starts are refused.
    m_communicationServer->stopListening();
    m_processManager->stopAll(10000);
    m_communicationServer->stop();
    // The clients went without a departure each.
    LogSink::instance().forgetClients();
    qCInfo(lcTarnd) << "Daemon stopped";
}

void TarnDaemon::handleClientMessage(const QString &clientId, const QJsonObject &message)
{
    const LogSink::SessionScope scope(sessionOf(clientId));
    const QString action = message.value("action").toString();
    QJsonObject response;
    qCDebug(lcTarnd) << "Client" << clientId << "action:" << clientText(action)
                     << "message:" << clientText(compact(message));

    if (action == QLatin1String("client-hello")) {
        bool restarting = false;
        response = handleHello(clientId, message, &restarting);
        if (restarting)
            return;
    } else if (action == QLatin1String("heartbeat")) {
        m_communicationServer->updateHeartbeat(clientId);
        response = success();
    } else if (action == QLatin1String("start")) {
        // Answered once the start is made, which may wait for the TUN device removal.
        return handleStart(clientId, message);
    } else if (action == QLatin1String("list")) {
        response = m_processManager->listProcesses();
        // Only what the client's session may see.
        QJsonArray visible;
        for (const QJsonValue &p : response.value("processes").toArray())
            if (visibleTo(clientId, p.toObject().value("process-id").toString()))
                visible.append(p);
        response.insert("processes", visible);
    } else if (action == QLatin1String("stdin")) {
        const QString processId = message.value("process-id").toString();
        const bool written = visibleTo(clientId, processId)
            && m_processManager->writeToProcess(processId, message.value("data").toString().toUtf8());
        response = written ? success() : error(QStringLiteral("Failed to write to process stdin"));
    } else if (action == QLatin1String("stop") || action == QLatin1String("kill") || action == QLatin1String("restart")
               || action == QLatin1String("status")) {
        const QString processId = message.value("process-id").toString();
        // Another session's process answers exactly like one that does not exist.
        if (!visibleTo(clientId, processId))
            response = error(QStringLiteral("Process not found: ") + processId);
        else if (action == QLatin1String("stop"))
            response = m_processManager->stopProcess(processId);
        else if (action == QLatin1String("kill"))
            response = m_processManager->killProcess(processId);
        else if (action == QLatin1String("restart"))
            response = m_processManager->restartProcess(processId);
        else
            response = m_processManager->getProcessStatus(processId);
    } else if (action == QLatin1String("clear-logs")) {
        response = clearLogs(clientId) ? success() : error(QStringLiteral("Failed to clear daemon logs"));
    } else {
        response = error(QStringLiteral("Unknown action: ") + clientText(action));
    }

    reply(clientId, message, response);
}

void TarnDaemon::reply(const QString &clientId, const QJsonObject &request, QJsonObject response)
{
    copyRequestId(request, &response);
    qCDebug(lcTarnd) << "Sending response to client" << clientId << ":" << clientText(compact(response));
    m_communicationServer->sendToClient(clientId, response);
}

void TarnDaemon::handleStart(const QString &clientId, const QJsonObject &message)
{
    const QString processId = message.value("process-id").toString();
    const ClientConnection *client = m_communicationServer->client(clientId);
    const quint32 session = client ? client->sessionId() : 0;
    const auto inSession = std::count(m_processSessions.cbegin(), m_processSessions.cend(), session);
    if (inSession >= m_limits.processesPerSession && !m_processSessions.contains(processId)) {
        qCWarning(lcTarnd) << "Refused a start in session" << session << ": it has" << inSession
                           << "processes, the limit";
        return reply(clientId, message,
                     error(QStringLiteral("Too many processes in this session (limit %1)").arg(m_limits.processesPerSession)));
    }
    QJsonObject request = message;
    if (m_policy.active() && ProcessInfo::validate(message).isEmpty()) {
        QString resolved;
        const QString refusal = m_policy.check(message.value("executable").toString(), identityOf(clientId), &resolved);
        if (!refusal.isEmpty()) {
            qCWarning(lcTarnd).noquote() << "Refused to start process" << clientText(processId) << "for client"
                                         << clientId << "-" << clientText(refusal);
            return reply(clientId, message, error(refusal));
        }
        // What was checked is what runs, whatever the client's path points to by now.
        request.insert("executable", resolved);
    }
    // Owned only once started: a start refused (a second client's, or a client retrying
    // its own) must not take the process away from the client that has it.
    const bool first = !m_starting.contains(processId);
    if (first) {
        m_starting.insert(processId, clientId);
        qCDebug(lcTarnd) << "Process" << clientText(processId) << "will be owned by client" << clientId;
    }
    m_processManager->startProcess(request, [=](const QJsonObject &response) {
        const LogSink::SessionScope scope(session);
        if (first)
            m_starting.remove(processId);
        if (response.value("status").toString() == QLatin1String("started")) {
            m_processOwners.insert(processId, clientId);
            m_processSessions.insert(processId, session);
            if (m_heldOwners.contains(clientId))
                m_processManager->setOutputHeld(processId, true);
        } else {
            qCDebug(lcTarnd) << "Process" << clientText(processId) << "failed to start, ownership unchanged";
        }
        reply(clientId, message, response);
    });
}

bool TarnDaemon::visibleTo(const QString &clientId, const QString &processId) const
{
    const auto it = m_processSessions.constFind(processId);
    if (it == m_processSessions.constEnd())
        return false;
    sessions::PeerInfo peer;
    if (m_communicationServer->peerOfClient(clientId, &peer) && peer.privileged)
        return true;
    const ClientConnection *client = m_communicationServer->client(clientId);
    return client && client->sessionId() == *it;
}

QJsonObject TarnDaemon::handleHello(const QString &clientId, const QJsonObject &message, bool *restarting)
{
    const QString logPath = message.value("log-path").toString();
    if (logPath.isEmpty())
        return error(QStringLiteral("Log path cannot be empty"));

    // The client's own rights apply to everything done to the file it names; without them
    // nothing is done there at all, least of all with the daemon's.
    const std::optional<logfile::Identity> owner = identityOf(clientId);
    std::string why;
    if (!owner)
        why = "the client's identity cannot be had";
    else
        logfile::clientPathAllowed(logPath.toStdString(), &why);
    if (!why.empty()) {
        qCWarning(lcTarnd).nospace() << "Refused the log path " << clientText(logPath) << " of client " << clientId
                                     << ": " << why.c_str() << "; the log path stays as it was";
        return error(QStringLiteral("Log path refused: ") + QString::fromStdString(why));
    }
    logfile::makePath(QFileInfo(logPath).absolutePath().toStdString(), *owner);
    LogSink::instance().setSessionLogPath(sessionOf(clientId), clientId, logPath, *owner);

    const QString clientVersion = message.value("version").toString();
    const QString daemonVersion = QCoreApplication::applicationVersion();
    if (clientVersion.isEmpty()) {
        qCInfo(lcTarnd) << "Client connected:" << clientId;
        return success();
    }
    qCInfo(lcTarnd) << "Client connected:" << clientId << "- Client version:" << clientText(clientVersion)
                    << "Daemon version:" << daemonVersion;
    if (QVersionNumber::compare(QVersionNumber::fromString(clientVersion), QVersionNumber::fromString(daemonVersion))
        <= 0)
        return success();

    qCInfo(lcTarnd) << "Client version" << clientText(clientVersion) << "is higher than daemon version" << daemonVersion
                    << "- restarting daemon";
    QJsonObject response{{"status", "restarting"}, {"reason", "Client version is higher than daemon version"}};
    copyRequestId(message, &response);
    m_communicationServer->sendToClient(clientId, response);
    QTimer::singleShot(100, [] {
        qCInfo(lcTarnd) << "Initiating daemon restart due to version mismatch";
        QCoreApplication::quit();
    });
    *restarting = true;
    return response;
}

void TarnDaemon::onClientConnected(const QString &clientId)
{
    m_communicationServer->sendToClient(clientId, QJsonObject{
                                                      {"event", "connected"},
                                                      {"daemon-version", QCoreApplication::applicationVersion()},
                                                      {"privilege-level", PrivilegeManager::privilegeLevel()},
                                                  });
}

void TarnDaemon::onClientDisconnected(const QString &clientId, uint sessionId)
{
    const LogSink::SessionScope scope(sessionId);
    qCInfo(lcTarnd) << "Client disconnected:" << clientId << "session:" << sessionId;
    handleDeparture(clientId, sessionId, "(owned by disconnected client");
}

void TarnDaemon::onClientTimedOut(const QString &clientId, uint sessionId)
{
    const LogSink::SessionScope scope(sessionId);
    qCInfo(lcTarnd) << "Client timed out:" << clientId << "session:" << sessionId;
    handleDeparture(clientId, sessionId, "(owned by timed-out client");
}

void TarnDaemon::handleDeparture(const QString &clientId, uint sessionId, const char *ownedBy)
{
    // What the departure does is still written to the client's file; then that file is no
    // longer the session's.
    const auto forget = qScopeGuard([&clientId] { LogSink::instance().forgetClient(clientId); });
    // Nobody waits for this output any more.
    holdOutputOf(clientId, false);
    QList<QString> owned;
    for (auto it = m_processOwners.cbegin(); it != m_processOwners.cend(); ++it)
        if (it.value() == clientId)
            owned.append(it.key());
    for (const QString &processId : std::as_const(owned)) {
        qCInfo(lcTarnd) << "Stopping process" << processId << ownedBy << clientId << ")";
        m_processManager->stopProcess(processId);
        m_processOwners.remove(processId);
    }
    // A start still waiting would make a process nobody owns.
    for (const QString &processId : m_starting.keys(clientId))
        m_processManager->cancelStart(processId);
    if (sessionId == 0) {
        qCInfo(lcTarnd) << "Client" << clientId << "has sessionId=0, cannot check for stale processes";
        return;
    }
    sessions::PeerInfo peer;
    const bool known = m_communicationServer->peerOfClient(clientId, &peer);
    killStaleProcesses(sessionId, known ? std::optional<quint32>(peer.uid) : std::nullopt);
}

void TarnDaemon::killStaleProcesses(uint sessionId, std::optional<quint32> user)
{
    qCInfo(lcTarnd) << "Checking for stale processes in session" << sessionId;
    QSet<qint64> keep;
    for (auto it = m_processOwners.cbegin(); it != m_processOwners.cend(); ++it)
        if (const qint64 pid = m_processManager->childPid(it.key()); pid > 0)
            keep.insert(pid);

    processscan::Snapshot snapshot;
    long error = 0;
    if (!snapshot.take(&error)) {
        qCWarning(lcTarnd) << "Failed to create process snapshot:" << error;
        return;
    }
    processscan::Entry entry;
    if (!snapshot.first(&entry, &error)) {
        qCWarning(lcTarnd) << "Failed to get first process:" << error;
        return;
    }
    const std::vector<std::string> &swept = processscan::sweptNames();
    int killed = 0;
    do {
        const QString name = QString::fromStdString(entry.name).toLower();
        if (std::find(swept.begin(), swept.end(), name.toStdString()) == swept.end())
            continue;
        quint32 session = 0;
        if (!m_communicationServer->sessionOfProcess(entry.pid, &session) || session != sessionId)
            continue;
        if (entry.hasOwner && (!user || entry.owner != *user))
            continue; // another user's, even in this session (started with sudo, say)
        // A child of the daemon heads its own console, and so do all that it started.
        if (keep.contains(entry.pid) || keep.contains(entry.consoleId))
            continue;
        qCWarning(lcTarnd) << "Found stale process" << name << "PID:" << entry.pid << "in session" << sessionId
                           << "- killing";
        const std::unique_ptr<processscan::Target> target = processscan::Target::open(entry, &error);
        if (!target) {
            qCWarning(lcTarnd) << "Failed to open stale process" << name << "PID:" << entry.pid << "error:" << error;
            continue;
        }
        if (target->terminate(&error)) {
            qCInfo(lcTarnd) << "Successfully killed stale process" << name << "PID:" << entry.pid;
            ++killed;
        } else {
            qCWarning(lcTarnd) << "Failed to terminate stale process" << name << "PID:" << entry.pid
                               << "error:" << error;
        }
    } while (snapshot.next(&entry));
    if (killed >= 1)
        qCInfo(lcTarnd) << "Killed" << killed << "stale process(es) in session" << sessionId;
    else
        qCDebug(lcTarnd) << "No stale processes found in session" << sessionId;
}

quint32 TarnDaemon::sessionOf(const QString &clientId) const
{
    const ClientConnection *client = m_communicationServer->client(clientId);
    return client ? client->sessionId() : 0;
}

QString TarnDaemon::ownerOf(const QString &processId) const
{
    const auto it = m_processOwners.constFind(processId);
    if (it != m_processOwners.constEnd())
        return *it;
    return m_starting.value(processId);
}

void TarnDaemon::broadcastProcessEvent(const QJsonObject &event)
{
    const QString processId = event.value("process-id").toString();
    const LogSink::SessionScope scope(m_processSessions.value(processId));
    qCDebug(lcTarnd) << "Process event for" << processId << "event:" << event.value("event").toString();
    sendToOwner(processId, framing::encode(event));
}

void TarnDaemon::sendToOwner(const QString &processId, const QByteArray &frame)
{
    const QString owner = ownerOf(processId);
    if (owner.isEmpty()) {
        qCDebug(lcTarnd) << "Process event for unowned process" << processId << "- not sending to any client";
        return;
    }
    m_communicationServer->sendFrameToClient(owner, frame);
    if (!m_heldOwners.contains(owner) && m_communicationServer->unsentBytes(owner) > HoldOutputAboveBytes)
        holdOutputOf(owner, true);
}

void TarnDaemon::onClientBytesWritten(const QString &clientId)
{
    if (m_heldOwners.contains(clientId) && m_communicationServer->unsentBytes(clientId) < ResumeOutputBelowBytes)
        holdOutputOf(clientId, false);
}

void TarnDaemon::holdOutputOf(const QString &clientId, bool held)
{
    if (held == m_heldOwners.contains(clientId))
        return;
    if (held)
        m_heldOwners.insert(clientId);
    else
        m_heldOwners.remove(clientId);
    // All of the client's processes together: one that is not held would fill its queue alone.
    for (auto it = m_processOwners.cbegin(); it != m_processOwners.cend(); ++it)
        if (it.value() == clientId)
            m_processManager->setOutputHeld(it.key(), held);
}

void TarnDaemon::onProcessFinished(const QString &processId, int exitCode)
{
    const LogSink::SessionScope scope(m_processSessions.take(processId));
    const auto it = m_processOwners.constFind(processId);
    if (it == m_processOwners.constEnd())
        return;
    qCDebug(lcTarnd) << "Process" << processId << "finished (exit code" << exitCode
                     << "), removing ownership tracking (was owned by client" << *it << ")";
    m_processOwners.erase(it);
}

void TarnDaemon::broadcastClientShutdown()
{
    qCInfo(lcTarnd) << "Broadcasting shutdown request to all connected clients (triggered by installer)";
    m_communicationServer->broadcast(QJsonObject{{"event", "shutdown"}, {"reason", "installer-request"}});
}

std::optional<logfile::Identity> TarnDaemon::identityOf(const QString &clientId) const
{
    const ClientConnection *c = m_communicationServer->client(clientId);
    if (!c || !c->socket())
        return std::nullopt;
    return logfile::identityOfPeer(static_cast<std::intptr_t>(c->socket()->socketDescriptor()));
}

bool TarnDaemon::clearLogs(const QString &clientId)
{
    LogSink &sink = LogSink::instance();
    LogSink::Target target = sink.sessionLogFile(sessionOf(clientId));
    // The daemon's own file holds every session's lines: only root's to delete.
    if (target.path.isEmpty()) {
        sessions::PeerInfo peer;
        if (!m_communicationServer->peerOfClient(clientId, &peer) || !peer.privileged) {
            qCWarning(lcTarnd) << "Client" << clientId
                               << "asked to clear the logs, but no client of its session has chosen a log file";
            return false;
        }
        target = {sink.logFilePath(), logfile::Identity()};
    }
    const QString path = target.path;
    if (path.isEmpty()) {
        qCWarning(lcTarnd) << "Log path is empty, cannot clear";
        return false;
    }
    // A file a client chose is deleted with the rights of the client asking now, not of the
    // one that chose it; the daemon's own file with the daemon's.
    std::optional<logfile::Identity> asking = target.owner;
    if (!asking->daemon)
        asking = identityOf(clientId);
    if (!asking) {
        qCWarning(lcTarnd) << "Cannot clear the log file for client" << clientId << ": its identity cannot be had";
        return false;
    }
    const logfile::Identity owner = *asking;
    // A missing file is no failure; the second file is tried even when the first stays.
    const auto removeIfPresent = [&owner](const QString &file, const char *label, const char *Label) {
        qCDebug(lcTarnd) << qUtf8Printable(QStringLiteral("Checking if %1 exists:").arg(QLatin1String(label))) << file;
        if (!logfile::exists(file.toStdString(), owner))
            return true;
        qCDebug(lcTarnd).noquote() << QStringLiteral("%1 file exists, attempting to remove...").arg(QLatin1String(Label));
        if (!logfile::remove(file.toStdString(), owner)) {
            qCWarning(lcTarnd).noquote() << QStringLiteral("FAILED to remove %1 file").arg(QLatin1String(label));
            return false;
        }
        qCDebug(lcTarnd).noquote() << QStringLiteral("Successfully removed %1 file").arg(QLatin1String(label));
        return true;
    };
    const bool mainGone = removeIfPresent(path, "main log", "Main log");
    const bool oldGone = removeIfPresent(path + QStringLiteral(".old"), ".old log", ".old log");
    const bool result = mainGone && oldGone;
    if (result)
        qCDebug(lcTarnd) << "Daemon log files cleared successfully";
    else
        qCWarning(lcTarnd) << "Failed to clear some daemon log files";
    return result;
}
