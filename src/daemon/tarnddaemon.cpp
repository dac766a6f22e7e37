#include "daemon/tarnddaemon.h"
#include "daemon/processscan.h"
#include "ipc/clientconnection.h"
#include "ipc/communicationserver.h"
#include "ipc/framing.h"
#include "ipc/sessions.h"
#include "daemon/request.h"
#include "process/processmanager.h"
#include "process/processmessages.h"
#include "service/logfile.h"
#include "service/logging.h"
#include "service/logsink.h"
#include "service/privilegemanager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QRegularExpression>
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
    // Shared, not built: most requests are heartbeats, and this is all of their answer.
    static const QJsonObject answer{{"status", "success"}};
    return answer;
}

QJsonObject error(const QString &text)
{
    return QJsonObject{{"status", "error"}, {"error", text}};
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
    , m_communicationServer(new CommunicationServer(this, sessions, {}, limits.clients))
    , m_privilegeManager(new PrivilegeManager(this))
{
    connect(m_communicationServer, &CommunicationServer::messageReceived, this, &TarnDaemon::handleClientMessage);
    connect(m_communicationServer, &CommunicationServer::clientConnected, this, &TarnDaemon::onClientConnected);
    connect(m_communicationServer, &CommunicationServer::clientDisconnected, this, &TarnDaemon::onClientDisconnected);
    connect(m_communicationServer, &CommunicationServer::clientTimedOut, this, &TarnDaemon::onClientTimedOut);
    connect(m_communicationServer, &CommunicationServer::clientBytesWritten, this, &TarnDaemon::onClientBytesWritten);
    connect(m_communicationServer, &CommunicationServer::sessionEnded, this,
            [](quint32 session) { LogSink::instance().forgetSession(session); });
    m_communicationServer->setHeldElsewhere([this] {
        QHash<QString, qint64> queued;
        for (auto it = m_processOwners.cbegin(); it != m_processOwners.cend(); ++it)
            queued[it.value()] += m_processManager->queuedInput(it.key());
        return queued;
    });
    // "finished" is routed before processFinished drops the owner's entry.
    connect(m_processManager, &ProcessManager::processEvent, this, &TarnDaemon::broadcastProcessEvent);
    connect(m_processManager, &ProcessManager::processOutput, this, &TarnDaemon::sendToOwner);
    connect(m_processManager, &ProcessManager::processFinished, this, &TarnDaemon::onProcessFinished);
}

TarnDaemon::~TarnDaemon()
{
    // A pass under way hands its result to this daemon.
    m_scans.waitForDone();
    // Work at clients' paths under way ends before what it hands back is dropped, or, where a
    // file system does not answer, is let go without this daemon to hand it back to: a client
    // must not keep the service from ending, or from starting again for everyone else.
    {
        std::lock_guard<std::mutex> lock(m_taking->mutex);
        m_taking->open = false;
    }
    m_pathWork.clear();
    // The server outlives the tables its callback reads.
    m_communicationServer->setHeldElsewhere(nullptr);
    // Its stop serves events until the clients have their last bytes. Done here, while this is
    // still a whole daemon: as a child it would stop after this destructor, and a call queued
    // for the daemon meanwhile would reach what is left of it.
    m_communicationServer->disconnect(this);
    m_processManager->disconnect(this);
    m_communicationServer->stop();
    QCoreApplication::removePostedEvents(this);
}

bool TarnDaemon::start(const QString &socketBase)
{
    qCInfo(lcTarnd) << "Starting tarnd daemon...";
    if (!m_communicationServer->start(socketBase)) {
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
    const Request request = Request::read(message);
    QJsonObject response;
    qCDebug(lcTarnd) << "Client" << clientId << "action:" << clientText(request.actionName)
                     << "message:" << clientText(compact(message));

    using A = Request::Action;
    switch (request.action) {
    case A::Hello:
        // Answered once its folder is made, at the client's path.
        return handleHello(clientId, request);
    case A::Heartbeat:
        m_communicationServer->updateHeartbeat(clientId);
        response = success();
        break;
    case A::Start:
        // Answered once the start is made, which may wait for the TUN device removal.
        return handleStart(clientId, request);
    case A::List: {
        // Root / LocalSystem sees every session's processes, each with its session.
        sessions::PeerInfo peer;
        const bool privileged = m_communicationServer->peerOfClient(clientId, &peer) && peer.privileged;
        response = m_processManager->listProcesses(privileged ? std::nullopt : std::optional<quint32>(sessionOf(clientId)));
        break;
    }
    case A::Stdin: {
        const ProcessKey key = keyOf(clientId, request.processId);
        // What waits for the child is held for its owner, whoever writes it: within the owner's
        // share, and once queued, a part of what may push others over theirs.
        const bool written = m_processManager->contains(key)
            && m_communicationServer->mayHold(ownerOf(key), request.input.size())
            && m_processManager->writeToProcess(key, request.input);
        if (written)
            m_communicationServer->enforceHeldBytes();
        response = written ? success() : error(QStringLiteral("Failed to write to process stdin"));
        break;
    }
    case A::Stop:
    case A::Kill:
    case A::Restart:
    case A::Status: {
        const ProcessKey key = keyOf(clientId, request.processId);
        // No such process in the client's session: whether one of that name runs elsewhere is
        // nobody's business, so the answer is the daemon's own, the same in either case.
        if (!m_processManager->contains(key))
            response = error(QStringLiteral("Process not found: ") + key.id);
        else if (request.action == A::Stop)
            response = m_processManager->stopProcess(key);
        else if (request.action == A::Kill)
            response = m_processManager->killProcess(key);
        else if (request.action == A::Restart)
            response = m_processManager->restartProcess(key);
        else
            response = m_processManager->getProcessStatus(key);
        break;
    }
    case A::ClearLogs:
        return clearLogs(clientId, request);
    case A::Unknown:
        response = error(QStringLiteral("Unknown action: ") + clientText(request.actionName));
        break;
    }

    reply(clientId, request, response);
}

void TarnDaemon::reply(const QString &clientId, const Request &request, const QJsonObject &response)
{
    // The request's id is written into the answer's frame, not inserted into a copy of it.
    const QByteArray frame = request.requestId.isUndefined()
        ? framing::encode(response)
        : framing::encode(response, {QStringLiteral("request-id"), request.requestId});
    qCDebug(lcTarnd) << "Sending response to client" << clientId << ":"
                     << clientText(QString::fromUtf8(frame.constData() + 4, frame.size() - 4));
    m_communicationServer->sendFrameToClient(clientId, frame);
}

void TarnDaemon::handleStart(const QString &clientId, const Request &request)
{
    if (refusedOverLimit(clientId, request))
        return;
    // The process manager's own answer, as every other failed start has.
    if (!request.problem.isEmpty())
        return reply(clientId, request, processmessages::makeErrorResponse(request.problem));
    if (!m_policy.active())
        return launchFor(clientId, request, request.process);

    // What the policy asks is looked up at the client's paths.
    struct Checked
    {
        QString refusal;
        ProcessInfo process;
    };
    auto checked = std::make_shared<Checked>(Checked{QString(), request.process});
    const auto identity = identityOf(clientId);
    atClientPaths(clientId, [checked, identity, policy = m_policy] {
        QString resolved;
        QString folder;
        checked->refusal = policy.check(checked->process.executable, identity, &resolved);
        if (checked->refusal.isEmpty())
            checked->refusal = policy.checkWorkingDir(checked->process.workingDir, identity, &folder);
        // What was checked is what runs, whatever the client's path points to by now.
        checked->process.executable = resolved;
        if (!folder.isEmpty())
            checked->process.workingDir = folder;
    }, [this, clientId, request, checked] {
        if (!checked->refusal.isEmpty()) {
            qCWarning(lcTarnd).noquote() << "Refused to start process" << clientText(request.processId) << "for client"
                                         << clientId << "-" << clientText(checked->refusal);
            return reply(clientId, request, error(checked->refusal));
        }
        // Others may have started meanwhile, while the policy was asked.
        if (!refusedOverLimit(clientId, request))
            launchFor(clientId, request, checked->process);
    });
}

bool TarnDaemon::refusedOverLimit(const QString &clientId, const Request &request)
{
    const ProcessKey key = keyOf(clientId, request.processId);
    const quint32 session = key.session;
    const QList<ProcessKey> live = m_processManager->processKeys();
    const auto inSession
        = std::count_if(live.cbegin(), live.cend(), [session](const ProcessKey &k) { return k.session == session; });
    if (inSession < m_limits.processesPerSession || live.contains(key))
        return false;
    qCWarning(lcTarnd) << "Refused a start in session" << session << ": it has" << inSession << "processes, the limit";
    reply(clientId, request,
          error(QStringLiteral("Too many processes in this session (limit %1)").arg(m_limits.processesPerSession)));
    return true;
}

void TarnDaemon::launchFor(const QString &clientId, const Request &request, const ProcessInfo &process)
{
    const QString &processId = request.processId;
    const ProcessKey key = keyOf(clientId, processId);
    const quint32 session = key.session;
    // Owned only once started: a start refused (a second client's, or a client retrying
    // its own) must not take the process away from the client that has it.
    const bool first = !m_starting.contains(key);
    // A client over its share gets nothing of a new process either, from its first byte on.
    const bool heldAtStart = m_heldOwners.contains(clientId);
    if (first) {
        m_starting.insert(key, clientId);
        qCDebug(lcTarnd) << "Process" << clientText(processId) << "will be owned by client" << clientId;
    }
    m_processManager->startProcess(process, [=](const QJsonObject &response) {
        const LogSink::SessionScope scope(session);
        if (first)
            m_starting.remove(key);
        if (response.value("status").toString() == QLatin1String("started")) {
            m_processOwners.insert(key, clientId);
            // The owner may have been held or let go while the start waited.
            const bool heldNow = m_heldOwners.contains(clientId);
            if (heldNow != heldAtStart)
                m_processManager->setOutputHeld(key, heldNow);
        } else {
            qCDebug(lcTarnd) << "Process" << clientText(processId) << "failed to start, ownership unchanged";
        }
        reply(clientId, request, response);
    }, session, heldAtStart);
}

void TarnDaemon::atClientPaths(const QString &clientId, std::function<void()> work, std::function<void()> then)
{
    ClientConnection *client = m_communicationServer->client(clientId);
    if (!client)
        return; // gone: nobody to answer
    std::unique_ptr<JobQueue> &queue = m_pathWork[userOf(clientId).toStdString()];
    if (!queue)
        queue = std::make_unique<JobQueue>();
    // Its answers keep the order of its requests.
    client->holdRequests(true);
    queue->run([this, taking = m_taking, clientId, work = std::move(work), then = std::move(then)] {
        work();
        std::lock_guard<std::mutex> lock(taking->mutex);
        if (!taking->open)
            return;
        QMetaObject::invokeMethod(this, [this, clientId, then] {
            // A client gone meanwhile has had its departure: nothing of it is taken up again.
            // One that goes during then() is deleted later, not here.
            ClientConnection *client = m_communicationServer->client(clientId);
            if (!client)
                return;
            const LogSink::SessionScope scope(sessionOf(clientId));
            then();
            client->holdRequests(false);
        }, Qt::QueuedConnection);
    });
}

quint32 TarnDaemon::sessionOf(const QString &clientId) const
{
    const ClientConnection *client = m_communicationServer->client(clientId);
    return client ? client->sessionId() : 0;
}

ProcessKey TarnDaemon::keyOf(const QString &clientId, const QString &processId) const
{
    return ProcessKey(processId, sessionOf(clientId));
}

void TarnDaemon::handleHello(const QString &clientId, const Request &request)
{
    const QString &logPath = request.logPath;
    if (logPath.isEmpty())
        return reply(clientId, request, error(QStringLiteral("Log path cannot be empty")));

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
        return reply(clientId, request, error(QStringLiteral("Log path refused: ") + QString::fromStdString(why)));
    }
    atClientPaths(clientId, [folder = QFileInfo(logPath).absolutePath().toStdString(), owner = *owner] {
        logfile::makePath(folder, owner);
    }, [this, clientId, request, owner = *owner] { greet(clientId, request, owner); });
}

void TarnDaemon::greet(const QString &clientId, const Request &request, const logfile::Identity &owner)
{
    // The file's lines are written by a thread of the client's user, never the daemon's own.
    LogSink::instance().setSessionLogPath(sessionOf(clientId), clientId, request.logPath, owner, userOf(clientId));

    const QString &clientVersion = request.version;
    const QString daemonVersion = QCoreApplication::applicationVersion();
    if (clientVersion.isEmpty()) {
        qCInfo(lcTarnd) << "Client connected:" << clientId;
        return reply(clientId, request, success());
    }
    qCInfo(lcTarnd) << "Client connected:" << clientId << "- Client version:" << clientText(clientVersion)
                    << "Daemon version:" << daemonVersion;
    // Only a plain dotted version asks for a newer daemon: anything else ("1.5-beta", a word)
    // is no reason to stop anybody's processes.
    static const QRegularExpression plainVersion(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    if (!plainVersion.match(clientVersion).hasMatch()
        || QVersionNumber::compare(QVersionNumber::fromString(clientVersion), QVersionNumber::fromString(daemonVersion))
        <= 0)
        return reply(clientId, request, success());

    qCInfo(lcTarnd) << "Client version" << clientText(clientVersion) << "is higher than daemon version" << daemonVersion
                    << "- restarting daemon";
    reply(clientId, request,
          QJsonObject{{"status", "restarting"}, {"reason", "Client version is higher than daemon version"}});
    restartFor(sessionOf(clientId));
}

void TarnDaemon::restartFor(quint32 session)
{
    m_restartSessions.insert(session);
    for (const ProcessKey &key : m_processManager->processKeys()) {
        if (key.session == session)
            m_processManager->stopProcess(key);
    }
    const QList<ProcessKey> starting = m_starting.keys();
    for (const ProcessKey &key : starting) {
        if (key.session == session)
            m_processManager->cancelStart(key);
    }
    restartWhenFree();
}

void TarnDaemon::restartWhenFree()
{
    if (m_restartSessions.isEmpty() || m_restartArmed)
        return;
    // Those that asked are stopping theirs (the stop gives them their whole budget); nobody else
    // loses a process to somebody's newer client.
    const auto othersLeft = [this] {
        const QList<ProcessKey> live = m_processManager->processKeys();
        const int others = int(std::count_if(live.cbegin(), live.cend(),
                                             [this](const ProcessKey &k) { return !m_restartSessions.contains(k.session); }));
        if (others > 0)
            qCInfo(lcTarnd) << "Daemon restart waits for" << others << "process(es) of other sessions to end";
        return others > 0;
    };
    if (othersLeft())
        return;
    m_restartArmed = true;
    QTimer::singleShot(100, this, [this, othersLeft] {
        // Another session may have started one meanwhile: that one is waited for too.
        m_restartArmed = false;
        if (othersLeft())
            return;
        qCInfo(lcTarnd) << "Initiating daemon restart due to version mismatch";
        QCoreApplication::quit();
    });
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
    // What the departure does is still written to the client's file; then the session's lines
    // go to another client's choice, if one stands.
    const auto forget = qScopeGuard([&clientId] { LogSink::instance().forgetClient(clientId); });
    // Nobody waits for this output any more.
    holdOutputOf(clientId, false);
    const QList<ProcessKey> owned = m_processOwners.keys(clientId);
    for (const ProcessKey &key : owned) {
        qCInfo(lcTarnd) << "Stopping process" << key.id << ownedBy << clientId << ")";
        m_processManager->stopProcess(key);
        m_processOwners.remove(key);
    }
    // A start still waiting would make a process nobody owns.
    for (const ProcessKey &key : m_starting.keys(clientId))
        m_processManager->cancelStart(key);
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
    const std::pair<uint, std::optional<quint32>> sweep{sessionId, user};
    if (!m_sweepsWaiting.contains(sweep))
        m_sweepsWaiting.append(sweep);
    if (!m_scanning)
        scanForStale();
}

void TarnDaemon::scanForStale()
{
    // Every process of the machine is looked at: milliseconds that no request should wait for.
    // Departures that come together (a session that ends, many clients that leave) share one
    // pass, begun after the last of them.
    m_scanning = true;
    m_scans.run([this, sweeps = std::exchange(m_sweepsWaiting, {})] {
        std::vector<Found> found;
        QString failure;
        processscan::Snapshot snapshot;
        processscan::Entry entry;
        long error = 0;
        if (!snapshot.take(&error)) {
            failure = QStringLiteral("Failed to create process snapshot: %1").arg(error);
        } else if (!snapshot.first(&entry, &error)) {
            failure = QStringLiteral("Failed to get first process: %1").arg(error);
        } else {
            const std::vector<std::string> &swept = processscan::sweptNames();
            do {
                const std::string name = QString::fromStdString(entry.name).toLower().toStdString();
                if (std::find(swept.begin(), swept.end(), name) != swept.end())
                    found.push_back({entry, std::nullopt});
            } while (snapshot.next(&entry));
            // Told here: telling it may wait for the session service.
            for (Found &f : found)
                if (quint32 session = 0; m_communicationServer->sessionOfProcess(f.entry.pid, &session))
                    f.session = session;
        }
        // The daemon waits for this pass before it goes, so it is there to take the result.
        QMetaObject::invokeMethod(
            this,
            [this, sweeps, found = std::move(found), failure] {
                m_scanning = false;
                for (const auto &[session, user] : sweeps)
                    sweepStale(session, user, found, failure);
                if (!m_sweepsWaiting.isEmpty())
                    scanForStale();
            },
            Qt::QueuedConnection);
    });
}

void TarnDaemon::sweepStale(uint sessionId, std::optional<quint32> user, const std::vector<Found> &found,
                            const QString &failure)
{
    const LogSink::SessionScope scope(sessionId);
    if (!failure.isEmpty()) {
        qCWarning(lcTarnd).noquote() << failure;
        return;
    }
    // Those supervised now, including any started since the pass.
    QSet<qint64> keep;
    for (auto it = m_processOwners.cbegin(); it != m_processOwners.cend(); ++it)
        if (const qint64 pid = m_processManager->childPid(it.key()); pid > 0)
            keep.insert(pid);

    int killed = 0;
    long error = 0;
    for (const auto &[entry, session] : found) {
        const QString name = QString::fromStdString(entry.name).toLower();
        if (session != sessionId)
            continue;
        if (entry.hasOwner && (!user || entry.owner != *user))
            continue; // another user's, even in this session (started with sudo, say)
        // A child of the daemon heads its own console, and so do all that it started.
        if (keep.contains(entry.pid) || keep.contains(entry.consoleId))
            continue;
        qCWarning(lcTarnd) << "Found stale process" << name << "PID:" << entry.pid << "in session" << sessionId
                           << "- killing";
        // Opened by its number and checked to be the process the pass saw (Linux: a pidfd).
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
    }
    if (killed >= 1)
        qCInfo(lcTarnd) << "Killed" << killed << "stale process(es) in session" << sessionId;
    else
        qCDebug(lcTarnd) << "No stale processes found in session" << sessionId;
}

QString TarnDaemon::ownerOf(const ProcessKey &key) const
{
    const auto it = m_processOwners.constFind(key);
    if (it != m_processOwners.constEnd())
        return *it;
    return m_starting.value(key);
}

void TarnDaemon::broadcastProcessEvent(const QJsonObject &event, const ProcessKey &key)
{
    route(key, framing::encode(event), event.value("event").toString());
}

void TarnDaemon::sendToOwner(const ProcessKey &key, const QByteArray &frame)
{
    // The output's frames come made; their kind is read back only for the debug line. A quote
    // inside a JSON string is escaped, so only the frame's own key matches.
    QString event;
    if (lcTarnd().isDebugEnabled())
        event = QLatin1String(frame.contains(R"("event":"stderr")") ? "stderr" : "stdout");
    route(key, frame, event);
}

void TarnDaemon::route(const ProcessKey &key, const QByteArray &frame, const QString &event)
{
    const LogSink::SessionScope scope(key.session);
    const QString owner = ownerOf(key);
    if (owner.isEmpty()) {
        qCDebug(lcTarnd) << "Process event for unowned process" << key.id << "- not sending to any client";
        return;
    }
    qCDebug(lcTarnd) << "Sending process event to owner client" << owner << "for process" << key.id << "event:" << event;
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

void TarnDaemon::onProcessFinished(const ProcessKey &key, int exitCode)
{
    const LogSink::SessionScope scope(key.session);
    // The process has left the manager's table: a restart may be waiting for it.
    if (!m_restartSessions.isEmpty())
        restartWhenFree();
    const auto it = m_processOwners.constFind(key);
    if (it == m_processOwners.constEnd())
        return;
    qCDebug(lcTarnd) << "Process" << key.id << "finished (exit code" << exitCode
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

QString TarnDaemon::userOf(const QString &clientId) const
{
    sessions::PeerInfo peer;
    if (m_communicationServer->peerOfClient(clientId, &peer) && !peer.principal.empty())
        return QString::fromStdString(peer.principal);
    return QStringLiteral("client ") + clientId;
}

void TarnDaemon::clearLogs(const QString &clientId, const Request &request)
{
    const QJsonObject failed = error(QStringLiteral("Failed to clear daemon logs"));
    LogSink &sink = LogSink::instance();
    LogSink::Target target = sink.sessionLogFile(sessionOf(clientId));
    // The daemon's own file holds every session's lines: only root's to delete.
    if (target.path.isEmpty()) {
        sessions::PeerInfo peer;
        if (!m_communicationServer->peerOfClient(clientId, &peer) || !peer.privileged) {
            qCWarning(lcTarnd) << "Client" << clientId
                               << "asked to clear the logs, but no client of its session has chosen a log file";
            return reply(clientId, request, failed);
        }
        target = {sink.logFilePath(), logfile::Identity(), QString()};
    }
    const QString path = target.path;
    if (path.isEmpty()) {
        qCWarning(lcTarnd) << "Log path is empty, cannot clear";
        return reply(clientId, request, failed);
    }
    // A file a client chose is deleted with the rights of the client asking now, not of the
    // one that chose it; the daemon's own file with the daemon's.
    std::optional<logfile::Identity> asking = target.owner;
    if (!asking->daemon)
        asking = identityOf(clientId);
    if (!asking) {
        qCWarning(lcTarnd) << "Cannot clear the log file for client" << clientId << ": its identity cannot be had";
        return reply(clientId, request, failed);
    }
    auto cleared = std::make_shared<bool>(false);
    atClientPaths(clientId, [cleared, path, owner = *asking] {
        // A missing file is no failure; the second file is tried even when the first stays.
        const auto removeIfPresent = [&owner](const QString &file, const char *label, const char *Label) {
            qCDebug(lcTarnd) << qUtf8Printable(QStringLiteral("Checking if %1 exists:").arg(QLatin1String(label))) << file;
            if (!logfile::exists(file.toStdString(), owner))
                return true;
            qCDebug(lcTarnd).noquote() << QStringLiteral("%1 file exists, attempting to remove...").arg(QLatin1String(Label));
            // Lines still on their way to it would make it again with what was cleared.
            LogSink::instance().discardPending(file);
            if (!logfile::remove(file.toStdString(), owner)) {
                qCWarning(lcTarnd).noquote() << QStringLiteral("FAILED to remove %1 file").arg(QLatin1String(label));
                return false;
            }
            qCDebug(lcTarnd).noquote() << QStringLiteral("Successfully removed %1 file").arg(QLatin1String(label));
            return true;
        };
        const bool mainGone = removeIfPresent(path, "main log", "Main log");
        const bool oldGone = removeIfPresent(path + QStringLiteral(".old"), ".old log", ".old log");
        *cleared = mainGone && oldGone;
    }, [this, clientId, request, cleared, failed] {
        if (*cleared)
            qCDebug(lcTarnd) << "Daemon log files cleared successfully";
        else
            qCWarning(lcTarnd) << "Failed to clear some daemon log files";
        reply(clientId, request, *cleared ? success() : failed);
    });
}
