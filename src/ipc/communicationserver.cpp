#include "ipc/communicationserver.h"
#include "ipc/clientconnection.h"
#include "ipc/sessionbackend.h"
#include "ipc/sessionserver.h"
#include "service/eventwait.h"
#include "service/logging.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSet>
#include <QTimer>

CommunicationServer::CommunicationServer(QObject *parent, SessionBackend *backend)
    : CommunicationServer(parent, backend, Timing{})
{
}

CommunicationServer::CommunicationServer(QObject *parent, SessionBackend *backend, Timing timing)
    : QObject(parent)
    , m_backend(backend ? backend : new PlatformSessionBackend)
    , m_timing(timing)
    , m_heartbeatTimer(new QTimer(this))
    , m_pollTimer(new QTimer(this))
{
    connect(m_heartbeatTimer, &QTimer::timeout, this, &CommunicationServer::checkHeartbeats);
    m_heartbeatTimer->start(m_timing.heartbeatCheckMs);
    connect(m_pollTimer, &QTimer::timeout, this, &CommunicationServer::pollSessions);
}

CommunicationServer::~CommunicationServer()
{
    stop();
}

bool CommunicationServer::start(const QString &pipeBaseName)
{
    m_pipeBaseName = pipeBaseName;
    pollSessions();
    m_pollTimer->start(m_timing.sessionPollMs);
    qCDebug(lcTarnd) << "Session polling started (every 3 seconds)";
    return true;
}

void CommunicationServer::stopListening()
{
    m_pollTimer->stop();
    for (SessionServer *s : std::as_const(m_sessionServers)) {
        s->close();
        s->deleteLater();
    }
    m_sessionServers.clear();
}

void CommunicationServer::stop()
{
    m_heartbeatTimer->stop();
    stopListening();
    // Dropped without departure signals, and nothing they send is taken any more: the daemon
    // is going away. What is queued for them (a process's last output, its "finished") still
    // goes out first.
    for (ClientConnection *c : std::as_const(m_clients))
        c->disconnect(this);
    flushClients(FlushOnStopMs);
    for (ClientConnection *c : std::as_const(m_clients))
        c->deleteLater();
    m_clients.clear();
    m_heartbeats.clear();
    m_peers.clear();
}

void CommunicationServer::flushClients(int timeoutMs)
{
    // All the clients at once, so a stalled one does not take the others' time.
    serveEventsUntil(
        [this] {
            for (const ClientConnection *c : std::as_const(m_clients))
                if (c->unsentBytes() > 0)
                    return false;
            return true;
        },
        timeoutMs, 10);
}

QString CommunicationServer::socketName(quint32 session) const
{
    return m_backend->socketName(m_pipeBaseName, session);
}

void CommunicationServer::sendToClient(const QString &clientId, const QJsonObject &message)
{
    if (ClientConnection *c = m_clients.value(clientId))
        c->sendMessage(message);
}

qint64 CommunicationServer::unsentBytes(const QString &clientId) const
{
    const ClientConnection *c = m_clients.value(clientId);
    return c ? c->unsentBytes() : 0;
}

void CommunicationServer::broadcast(const QJsonObject &message)
{
    // A send may drop a stalled client and so change the table.
    const QList<QString> ids = m_clients.keys();
    for (const QString &id : ids)
        sendToClient(id, message);
}

void CommunicationServer::updateHeartbeat(const QString &clientId)
{
    auto it = m_heartbeats.find(clientId);
    if (it != m_heartbeats.end())
        it->restart();
}

bool CommunicationServer::peerOfClient(const QString &clientId, sessions::PeerInfo *peer) const
{
    const auto p = m_peers.value(clientId);
    if (!p)
        return false;
    *peer = *p;
    return true;
}

bool CommunicationServer::sessionOfProcess(qint64 pid, quint32 *session) const
{
    return m_backend->sessionOfProcess(pid, session);
}

void CommunicationServer::forgetPeerLater(const QString &clientId)
{
    // Both departure reports of one client come within one turn of the event loop.
    QTimer::singleShot(0, this, [this, clientId] { m_peers.remove(clientId); });
}

bool CommunicationServer::admits(const SessionServer *server, const sessions::PeerInfo &peer) const
{
    if (peer.privileged)
        return true;
    return peer.hasSession && peer.session == server->sessionId() && !server->user().isEmpty()
        && QString::fromStdString(peer.user) == server->user();
}

void CommunicationServer::onNewConnection()
{
    SessionServer *from = nullptr;
    for (SessionServer *s : std::as_const(m_sessionServers)) {
        if (s->server()->hasPendingConnections()) {
            from = s;
            break;
        }
    }
    if (!from)
        return;
    const quint32 sessionId = from->sessionId();
    QLocalSocket *socket = from->server()->nextPendingConnection();
    if (!socket)
        return;

    // The sockets are open to every user; only the session's own user (or root) gets in.
    auto peer = std::make_shared<sessions::PeerInfo>();
    if (!m_backend->peerOf(socket, peer.get()) || !admits(from, *peer)) {
        qCWarning(lcTarnd).nospace() << "Refused a client on the socket of session " << sessionId << " (user "
                                     << from->user() << "): peer pid " << peer->pid << ", user "
                                     << QString::fromStdString(peer->user) << ", session "
                                     << (peer->hasSession ? QString::number(peer->session) : QStringLiteral("unknown"));
        socket->abort();
        socket->deleteLater();
        return;
    }

    auto *connection = new ClientConnection(this);
    connection->adoptSocket(socket);
    connection->setSessionId(sessionId);
    connect(connection, &ClientConnection::messageReceived, this, &CommunicationServer::onClientMessage);
    connect(connection, &ClientConnection::clientDisconnected, this, &CommunicationServer::onClientDisconnected);
    connect(connection, &ClientConnection::bytesSent, this, &CommunicationServer::clientBytesWritten);

    const QString id = connection->clientId();
    m_clients.insert(id, connection);
    QElapsedTimer clock;
    clock.start();
    m_heartbeats.insert(id, clock);
    m_peers.insert(id, peer);
    Q_EMIT clientConnected(id);

    // A connection can bring more than one client at once; each needs its own call.
    if (from->server()->hasPendingConnections())
        QMetaObject::invokeMethod(this, &CommunicationServer::onNewConnection, Qt::QueuedConnection);
}

void CommunicationServer::onClientMessage(const QString &clientId, const QJsonObject &message)
{
    Q_EMIT messageReceived(clientId, message);
}

void CommunicationServer::onClientDisconnected(const QString &clientId)
{
    ClientConnection *c = m_clients.value(clientId);
    if (!c)
        return;
    const quint32 sessionId = c->sessionId();
    c->deleteLater();
    m_clients.remove(clientId);
    m_heartbeats.remove(clientId);
    forgetPeerLater(clientId);
    Q_EMIT clientDisconnected(clientId, sessionId);
}

void CommunicationServer::checkHeartbeats()
{
    QList<QString> expired;
    for (auto it = m_heartbeats.cbegin(); it != m_heartbeats.cend(); ++it) {
        if (it->elapsed() > m_timing.heartbeatTimeoutMs)
            expired.append(it.key());
    }
    for (const QString &id : std::as_const(expired)) {
        qCWarning(lcTarnd) << "Client" << id << "timed out (no heartbeat for" << m_timing.heartbeatTimeoutMs << "ms)";
        quint32 sessionId = 0;
        if (ClientConnection *c = m_clients.value(id)) {
            sessionId = c->sessionId();
            QLocalSocket *socket = c->socket();
            if (socket && socket->state() != QLocalSocket::UnconnectedState)
                socket->disconnectFromServer();
            // The disconnect may have removed the client already: look it up again.
            if (ClientConnection *still = m_clients.value(id)) {
                still->deleteLater();
                m_clients.remove(id);
            }
        }
        m_heartbeats.remove(id);
        forgetPeerLater(id);
        Q_EMIT clientTimedOut(id, sessionId);
    }
}

void CommunicationServer::pollSessions()
{
    const std::optional<QList<SessionBackend::Session>> found = m_backend->activeSessions();
    const QList<SessionBackend::Session> active = found.value_or(QList<SessionBackend::Session>());
    QHash<quint32, QString> users;
    for (const auto &s : active)
        users.insert(s.id, s.user);

    QList<quint32> gone;
    for (auto it = m_sessionServers.cbegin(); it != m_sessionServers.cend(); ++it) {
        // A session now of another user gets a fresh socket, as if it had gone and come back.
        if (!users.contains(it.key()) || users.value(it.key()) != it.value()->user())
            gone.append(it.key());
    }
    for (quint32 id : std::as_const(gone)) {
        qCInfo(lcTarnd) << "Removing pipe for inactive session" << id;
        SessionServer *server = m_sessionServers.take(id);
        // Closed at once: the same session may get a new socket in this very poll.
        server->close();
        server->deleteLater();
    }

    for (const auto &s : active) {
        if (s.id == 0 || m_sessionServers.contains(s.id))
            continue;
        qCInfo(lcTarnd) << "Creating pipe for new active session" << s.id;
        auto *server = new SessionServer(s.id, m_backend->socketName(m_pipeBaseName, s.id), s.user, this);
        if (!server->start()) {
            delete server;
            continue;
        }
        connect(server, &SessionServer::newConnection, this, &CommunicationServer::onNewConnection);
        m_sessionServers.insert(s.id, server);
    }
}
