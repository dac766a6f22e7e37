#include "daemon/tarnddaemon.h"
#include "ipc/clientconnection.h"
#include "ipc/communicationserver.h"
#include "process/processmanager.h"
#include "service/logfile.h"
#include "service/logging.h"
#include "service/logsink.h"
#include "service/privilegemanager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QTimer>
#include <QVersionNumber>

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
    : QObject(parent)
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
    m_processManager->stopAll(10000);
    m_communicationServer->stop();
    qCInfo(lcTarnd) << "Daemon stopped";
}

void TarnDaemon::handleClientMessage(const QString &clientId, const QJsonObject &message)
{
    const QString action = message.value("action").toString();
    QJsonObject response;
    qCDebug(lcTarnd) << "Client" << clientId << "action:" << action << "message:" << compact(message);

    if (action == QLatin1String("client-hello")) {
        bool restarting = false;
        response = handleHello(clientId, message, &restarting);
        if (restarting)
            return;
    } else if (action == QLatin1String("heartbeat")) {
        m_communicationServer->updateHeartbeat(clientId);
        response = success();
    } else if (action == QLatin1String("start")) {
        const QString processId = message.value("process-id").toString();
        m_processOwners.insert(processId, clientId);
        qCDebug(lcTarnd) << "Process" << processId << "will be owned by client" << clientId;
        response = m_processManager->startProcess(message);
        if (response.value("status").toString() != QLatin1String("started")) {
            m_processOwners.remove(processId);
            qCDebug(lcTarnd) << "Process" << processId << "failed to start, removed ownership";
        }
    } else if (action == QLatin1String("stop")) {
        response = m_processManager->stopProcess(message.value("process-id").toString());
    } else if (action == QLatin1String("kill")) {
        response = m_processManager->killProcess(message.value("process-id").toString());
    } else if (action == QLatin1String("restart")) {
        response = m_processManager->restartProcess(message.value("process-id").toString());
    } else if (action == QLatin1String("status")) {
        response = m_processManager->getProcessStatus(message.value("process-id").toString());
    } else if (action == QLatin1String("list")) {
        response = m_processManager->listProcesses();
    } else if (action == QLatin1String("stdin")) {
        const bool written = m_processManager->writeToProcess(message.value("process-id").toString(),
                                                              message.value("data").toString().toUtf8());
        response = written ? success() : error(QStringLiteral("Failed to write to process stdin"));
    } else if (action == QLatin1String("clear-logs")) {
        response = clearLogs() ? success() : error(QStringLiteral("Failed to clear daemon logs"));
    } else {
        response = error(QStringLiteral("Unknown action: ") + action);
    }

    copyRequestId(message, &response);
    qCDebug(lcTarnd) << "Sending response to client" << clientId << ":" << compact(response);
    m_communicationServer->sendToClient(clientId, response);
}

QJsonObject TarnDaemon::handleHello(const QString &clientId, const QJsonObject &message, bool *restarting)
{
    const QString logPath = message.value("log-path").toString();
    if (logPath.isEmpty())
        return error(QStringLiteral("Log path cannot be empty"));

    // The client's own rights apply to everything done to the file it names.
    logfile::Identity owner;
    if (ClientConnection *c = m_communicationServer->client(clientId); c && c->socket())
        owner = logfile::identityOfPeer(static_cast<std::intptr_t>(c->socket()->socketDescriptor()));
    logfile::makePath(QFileInfo(logPath).absolutePath().toStdString(), owner);
    LogSink::instance().setLogFilePath(logPath, owner);

    const QString clientVersion = message.value("version").toString();
    const QString daemonVersion = QCoreApplication::applicationVersion();
    if (clientVersion.isEmpty()) {
        qCInfo(lcTarnd) << "Client connected:" << clientId;
        return success();
    }
    qCInfo(lcTarnd) << "Client connected:" << clientId << "- Client version:" << clientVersion
                    << "Daemon version:" << daemonVersion;
    if (QVersionNumber::compare(QVersionNumber::fromString(clientVersion), QVersionNumber::fromString(daemonVersion))
        <= 0)
        return success();

    qCInfo(lcTarnd) << "Client version" << clientVersion << "is higher than daemon version" << daemonVersion
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
    qCInfo(lcTarnd) << "Client disconnected:" << clientId << "session:" << sessionId;
    releaseHeldOutput(clientId);
}

void TarnDaemon::onClientTimedOut(const QString &clientId, uint sessionId)
{
    qCInfo(lcTarnd) << "Client timed out:" << clientId << "session:" << sessionId;
    releaseHeldOutput(clientId);
}

void TarnDaemon::broadcastProcessEvent(const QJsonObject &event)
{
    const QString processId = event.value("process-id").toString();
    const auto it = m_processOwners.constFind(processId);
    if (it == m_processOwners.constEnd()) {
        qCDebug(lcTarnd) << "Process event for unowned process" << processId << "- not sending to any client";
        return;
    }
    const QString owner = *it;
    qCDebug(lcTarnd) << "Sending process event to owner client" << owner << "for process" << processId
                     << "event:" << event.value("event").toString();
    m_communicationServer->sendToClient(owner, event);
    if (m_communicationServer->unsentBytes(owner) > HoldOutputAboveBytes) {
        QSet<QString> &held = m_heldOutput[owner];
        if (!held.contains(processId)) {
            held.insert(processId);
            m_processManager->setOutputHeld(processId, true);
        }
    }
}

void TarnDaemon::onClientBytesWritten(const QString &clientId)
{
    if (m_heldOutput.contains(clientId) && m_communicationServer->unsentBytes(clientId) < ResumeOutputBelowBytes)
        releaseHeldOutput(clientId);
}

void TarnDaemon::releaseHeldOutput(const QString &clientId)
{
    const QSet<QString> held = m_heldOutput.take(clientId);
    for (const QString &processId : held)
        m_processManager->setOutputHeld(processId, false);
}

void TarnDaemon::onProcessFinished(const QString &processId, int exitCode)
{
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

bool TarnDaemon::clearLogs()
{
    LogSink &sink = LogSink::instance();
    const QString path = sink.logFilePath();
    if (path.isEmpty()) {
        qCWarning(lcTarnd) << "Log path is empty, cannot clear";
        return false;
    }
    const logfile::Identity owner = sink.logFileOwner();
    // A missing file is no failure; the second file is tried even when the first stays.
    const auto removeIfPresent = [&owner](const QString &file, const char *label, const char *Label) {
        qCDebug(lcTarnd).noquote() << QStringLiteral("Checking if %1 exists:").arg(QLatin1String(label)) << file;
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
