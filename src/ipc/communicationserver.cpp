#include "ipc/communicationserver.h"
#include "ipc/clientconnection.h"
#include "ipc/locallistener.h"
#include "ipc/sessionbackend.h"
#include "ipc/sessionserver.h"
#include "service/eventwait.h"
#include "service/logging.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {
// What a connection waiting for its admission may have read into the daemon; the rest waits in
// the socket, and its sender with it.
constexpr qint64 PendingReadBytes = 4096;
}

CommunicationServer::CommunicationServer(QObject *parent, SessionBackend *backend)
    : CommunicationServer(parent, backend, Timing{})
{
}

CommunicationServer::CommunicationServer(QObject *parent, SessionBackend *backend, Timing timing)
    : CommunicationServer(parent, backend, timing, Limits{})
{
}

CommunicationServer::CommunicationServer(QObject *parent, SessionBackend *backend, Timing timing, Limits limits)
    : QObject(parent)
    , m_backend(backend ? backend : new PlatformSessionBackend)
    , m_timing(timing)
    , m_limits(limits)
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
    // A question still being asked holds the backend, which goes with this object.
    m_lookups.clear();
    m_lookups.waitForDone();
}

bool CommunicationServer::start(const QString &pipeBaseName)
{
    m_pipeBaseName = pipeBaseName;
    m_listening = true;
    // Asked here and waited for: nobody is connected yet to wait with it.
    applySessions(m_backend->activeSessions());
    m_pollTimer->start(m_timing.sessionPollMs);
    qCDebug(lcTarnd) << "Session polling started (every 3 seconds)";
    return true;
}

void CommunicationServer::stopListening()
{
    m_listening = false;
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
    QElapsedTimer clock;
    clock.start();
    serveEventsUntil(
        [this] {
            for (const ClientConnection *c : std::as_const(m_clients))
                if (c->unsentBytes() > 0)
                    return false;
            return true;
        },
        timeoutMs, 10);
    // Written is not yet read, and where closing discards what is unread, the clients get the
    // rest of the time to read it.
    std::vector<std::unique_ptr<PeerReadWait>> reads;
    for (ClientConnection *c : std::as_const(m_clients))
        reads.push_back(std::make_unique<PeerReadWait>(c->socket()));
    serveEventsUntil(
        [&reads] {
            return std::all_of(reads.cbegin(), reads.cend(), [](const auto &r) { return r->done(); });
        },
        int(std::max<qint64>(0, timeoutMs - clock.elapsed())), 10);
}

QString CommunicationServer::socketName(quint32 session) const
{
    return m_backend->socketName(m_pipeBaseName, session);
}

void CommunicationServer::sendToClient(const QString &clientId, const QJsonObject &message)
{
    if (m_clients.contains(clientId))
        sendFrameToClient(clientId, framing::encode(message));
}

void CommunicationServer::sendFrameToClient(const QString &clientId, const QByteArray &frame)
{
    ClientConnection *c = m_clients.value(clientId);
    if (!c)
        return;
    c->sendFrame(frame);
    // Summing over all clients is left to those that hold enough to matter.
    if (m_clients.contains(clientId) && c->heldBytes() > ClientConnection::NoticeHoldingAboveBytes)
        enforceHeldBytes();
}

void CommunicationServer::onClientHolding(const QString &)
{
    enforceHeldBytes();
}

void CommunicationServer::setHeldElsewhere(std::function<QHash<QString, qint64>()> heldElsewhere)
{
    m_heldElsewhere = std::move(heldElsewhere);
}

QString CommunicationServer::principalOf(const QString &clientId) const
{
    const auto peer = m_peers.value(clientId);
    return peer ? QString::fromStdString(peer->principal) : QString();
}

CommunicationServer::Holdings CommunicationServer::holdings() const
{
    Holdings h;
    const QHash<QString, qint64> elsewhere = m_heldElsewhere ? m_heldElsewhere() : QHash<QString, qint64>();
    for (const ClientConnection *c : std::as_const(m_clients)) {
        const qint64 held = c->heldBytes() + elsewhere.value(c->clientId());
        h.byClient.insert(c->clientId(), held);
        h.byPrincipal[principalOf(c->clientId())] += held;
        h.total += held;
    }
    return h;
}

qint64 CommunicationServer::shareOf(const Holdings &h) const
{
    const auto holding = std::count_if(h.byPrincipal.cbegin(), h.byPrincipal.cend(), [](qint64 b) { return b > 0; });
    return m_limits.heldBytes / std::max<qint64>(holding, 1);
}

bool CommunicationServer::mayHold(const QString &clientId, qint64 bytes) const
{
    if (!m_clients.contains(clientId))
        return false;
    Holdings h = holdings();
    qint64 &mine = h.byPrincipal[principalOf(clientId)];
    mine += bytes;
    h.total += bytes;
    return h.total <= m_limits.heldBytes || mine <= shareOf(h);
}

void CommunicationServer::enforceHeldBytes()
{
    for (;;) {
        const Holdings h = holdings();
        if (h.total <= m_limits.heldBytes)
            return;
        // Whoever holds the most is over its share; a bystander within its own never gives way.
        auto most = h.byPrincipal.cbegin();
        for (auto it = most; it != h.byPrincipal.cend(); ++it)
            if (it.value() > most.value())
                most = it;
        ClientConnection *largest = nullptr;
        qint64 largestHeld = 0;
        for (ClientConnection *c : std::as_const(m_clients)) {
            if (principalOf(c->clientId()) != most.key())
                continue;
            const qint64 held = h.byClient.value(c->clientId());
            if (!largest || held > largestHeld) {
                largest = c;
                largestHeld = held;
            }
        }
        if (!largest || largestHeld == 0)
            return;
        const QString id = largest->clientId();
        qCWarning(lcTarnd).nospace() << "Connections hold " << h.total << " bytes, more than the limit of "
                                     << m_limits.heldBytes << " - dropping client " << id << " which holds "
                                     << largestHeld << " (its user holds " << most.value()
                                     << ", more than its share of " << shareOf(h) << ")";
        largest->abortConnection();
        // The drop reports the disconnection at once; should it not, stop rather than loop.
        if (m_clients.value(id) == largest)
            return;
    }
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

QString CommunicationServer::admission(const SessionServer *server, const sessions::PeerInfo &peer) const
{
    if (peer.privileged)
        return QString();
    const QString principal = QString::fromStdString(peer.principal);
    if (server->principal().isEmpty() || principal != server->principal())
        return QStringLiteral("not the session's user");
    // Those whose session is still being asked count too: a peer looping connect() must not
    // fill the lookup queue that others wait in.
    int connections = m_lookingUp.value(principal);
    for (auto it = m_peers.cbegin(); it != m_peers.cend(); ++it)
        if (m_clients.contains(it.key()) && it.value()->principal == peer.principal)
            ++connections;
    if (connections >= m_limits.connectionsPerPrincipal)
        return QStringLiteral("it has %1 connections, the limit").arg(connections);
    if (peer.hasSession && peer.session != server->sessionId())
        return QStringLiteral("not in the session");
    return QString();
}

void CommunicationServer::admitInSession(QPointer<SessionServer> server, QPointer<QLocalSocket> socket,
                                         std::shared_ptr<sessions::PeerInfo> peer)
{
    // The session went, or the daemon stops listening, while the question was asked: the
    // connection goes unanswered, as one made a moment later would find no socket.
    if (!m_listening || !server || m_sessionServers.value(server->sessionId()) != server) {
        if (socket) {
            socket->abort();
            socket->deleteLater();
        }
        return;
    }
    if (!socket)
        return;
    if (!peer->hasSession || peer->session != server->sessionId()) {
        refuse(server, socket, *peer, QStringLiteral("not in the session"));
        return;
    }
    // Admitted: what it holds is its connection's to bound from now on.
    socket->setReadBufferSize(0);
    admit(server, socket, std::move(peer));
}

void CommunicationServer::refuse(const SessionServer *server, QLocalSocket *socket, const sessions::PeerInfo &peer,
                                 const QString &why)
{
    logRefusal(server, peer, why);
    socket->abort();
    socket->deleteLater();
}

void CommunicationServer::logRefusal(const SessionServer *server, const sessions::PeerInfo &peer, const QString &why)
{
    // One line per principal and period: a peer looping connect() must not fill the log.
    Refusals &r = m_refusals[QString::fromStdString(peer.principal)];
    if (r.since.isValid() && r.since.elapsed() < RefusalLogPeriodMs) {
        ++r.unlogged;
        return;
    }
    qCWarning(lcTarnd).nospace() << "Refused a client on the socket of session " << server->sessionId() << " (user "
                                 << server->user() << "): peer pid " << peer.pid << ", user "
                                 << QString::fromStdString(peer.user) << ", session "
                                 << (peer.hasSession ? QString::number(peer.session) : QStringLiteral("unknown"))
                                 << ": " << why.toUtf8().constData()
                                 << (r.unlogged ? QStringLiteral(" (and %1 more refused since the last such line)")
                                                      .arg(r.unlogged)
                                                : QString())
                                        .toUtf8()
                                        .constData();
    r.since.start();
    r.unlogged = 0;
}

void CommunicationServer::onNewConnection()
{
    // One call a turn for all the sockets, after their listeners have taken in what came: each
    // socket has its share, whichever signalled first.
    if (std::exchange(m_taking, true))
        return;
    QMetaObject::invokeMethod(this, &CommunicationServer::takeConnections, Qt::QueuedConnection);
}

void CommunicationServer::takeConnections()
{
    m_taking = false;
    bool more = false;
    const QList<SessionServer *> servers = m_sessionServers.values();
    for (SessionServer *from : servers) {
        int taken = 0;
        while (taken < ConnectionsPerTurn) {
            QLocalSocket *socket = from->nextPendingConnection();
            if (!socket)
                break;
            ++taken;
            take(from, socket);
        }
        more = more || taken == ConnectionsPerTurn;
    }
    if (more)
        onNewConnection();
}

void CommunicationServer::take(SessionServer *from, QLocalSocket *socket)
{
    // The sockets are open to every user; only the session's own user (or root) gets in.
    auto peer = std::make_shared<sessions::PeerInfo>();
    if (!m_backend->peerOf(socket, peer.get())) {
        refuse(from, socket, *peer, QStringLiteral("its identity cannot be had"));
        return;
    }
    if (const QString why = admission(from, *peer); !why.isEmpty()) {
        refuse(from, socket, *peer, why);
        return;
    }
    if (peer->privileged || peer->hasSession) {
        admit(from, socket, std::move(peer));
        return;
    }
    // Its session may take a question to the session service: asked aside, the connection
    // waiting meanwhile with no more than a little of what it sends taken in.
    socket->setReadBufferSize(PendingReadBytes);
    const QString principal = QString::fromStdString(peer->principal);
    ++m_lookingUp[principal];
    SessionBackend *backend = m_backend.get();
    m_lookups.run([this, backend, server = QPointer<SessionServer>(from), socket = QPointer<QLocalSocket>(socket),
                     peer, principal] {
        quint32 session = 0;
        const bool known = backend->sessionOfProcess(peer->pid, &session);
        QMetaObject::invokeMethod(
            this,
            [=] {
                if (--m_lookingUp[principal] <= 0)
                    m_lookingUp.remove(principal);
                peer->hasSession = known;
                peer->session = session;
                admitInSession(server, socket, peer);
            },
            Qt::QueuedConnection);
    });
}

void CommunicationServer::admit(SessionServer *server, QLocalSocket *socket, std::shared_ptr<sessions::PeerInfo> peer)
{
    auto *connection = new ClientConnection(this);
    connection->adoptSocket(socket);
    connection->setSessionId(server->sessionId());
    connect(connection, &ClientConnection::messageReceived, this, &CommunicationServer::onClientMessage);
    connect(connection, &ClientConnection::clientDisconnected, this, &CommunicationServer::onClientDisconnected);
    connect(connection, &ClientConnection::bytesSent, this, &CommunicationServer::clientBytesWritten);
    connect(connection, &ClientConnection::holding, this, &CommunicationServer::onClientHolding);

    const QString id = connection->clientId();
    m_clients.insert(id, connection);
    QElapsedTimer clock;
    clock.start();
    m_heartbeats.insert(id, clock);
    m_peers.insert(id, std::move(peer));
    Q_EMIT clientConnected(id);
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
    // A frame begun and never finished holds memory for nothing: the connection goes, the
    // client departs the ordinary way.
    QList<ClientConnection *> stalled;
    for (ClientConnection *c : std::as_const(m_clients))
        if (c->partialFrameAgeMs() > m_timing.heartbeatTimeoutMs)
            stalled.append(c);
    for (ClientConnection *c : std::as_const(stalled)) {
        if (!m_clients.contains(c->clientId()))
            continue;
        qCWarning(lcTarnd) << "Client" << c->clientId() << "has left a frame incomplete for more than"
                           << m_timing.heartbeatTimeoutMs << "ms - closing its connection";
        c->abortConnection();
    }

    QList<QString> expired;
    for (auto it = m_heartbeats.cbegin(); it != m_heartbeats.cend(); ++it) {
        if (it->elapsed() > m_timing.heartbeatTimeoutMs)
            expired.append(it.key());
    }
    for (const QString &id : std::as_const(expired)) {
        qCWarning(lcTarnd) << "Client" << id << "timed out (no heartbeat for" << m_timing.heartbeatTimeoutMs << "ms)";
        quint32 sessionId = 0;
        if (ClientConnection *c = m_clients.take(id)) {
            sessionId = c->sessionId();
            // Its departure is this time-out: the close below must not report it a second time,
            // as a disconnect.
            c->disconnect(this);
            QLocalSocket *socket = c->socket();
            if (socket && socket->state() != QLocalSocket::UnconnectedState)
                socket->disconnectFromServer();
            c->deleteLater();
        }
        m_heartbeats.remove(id);
        forgetPeerLater(id);
        Q_EMIT clientTimedOut(id, sessionId);
    }
}

void CommunicationServer::pollSessions()
{
    // One poll at a time: a slow answer makes the next ones wait rather than pile up.
    if (m_polling)
        return;
    m_polling = true;
    SessionBackend *backend = m_backend.get();
    m_lookups.run([this, backend] {
        std::optional<QList<SessionBackend::Session>> found = backend->activeSessions();
        QMetaObject::invokeMethod(
            this,
            [this, found = std::move(found)] {
                m_polling = false;
                if (m_listening)
                    applySessions(found);
            },
            Qt::QueuedConnection);
    });
}

void CommunicationServer::applySessions(const std::optional<QList<SessionBackend::Session>> &found)
{
    // Not knowing the sessions is no reason to close the sockets of those that were there.
    if (!found)
        return;
    const QList<SessionBackend::Session> &active = *found;
    QHash<quint32, QString> principals;
    for (const auto &s : active)
        principals.insert(s.id, s.principal);

    QList<quint32> gone;
    for (auto it = m_sessionServers.cbegin(); it != m_sessionServers.cend(); ++it) {
        // A session now of another user gets a fresh socket, as if it had gone and come back.
        if (!principals.contains(it.key()) || principals.value(it.key()) != it.value()->principal())
            gone.append(it.key());
    }
    for (quint32 id : std::as_const(gone)) {
        qCInfo(lcTarnd) << "Removing pipe for inactive session" << id;
        SessionServer *server = m_sessionServers.take(id);
        // Closed at once: the same session may get a new socket in this very poll.
        server->close();
        server->deleteLater();
        Q_EMIT sessionEnded(id);
    }

    // A server that stopped listening of itself (an accept failed: out of descriptors, say)
    // listens again once it can.
    for (SessionServer *server : std::as_const(m_sessionServers)) {
        if (server->isListening())
            continue;
        qCWarning(lcTarnd) << "Named pipe server for session" << server->sessionId()
                           << "stopped listening:" << server->errorString() << "- listening again";
        server->start();
    }

    for (const auto &s : active) {
        if (s.id == 0 || m_sessionServers.contains(s.id))
            continue;
        qCInfo(lcTarnd) << "Creating pipe for new active session" << s.id;
        auto *server =
            new SessionServer(s.id, m_backend->socketName(m_pipeBaseName, s.id), s.user, s.principal, this);
        if (!server->start()) {
            delete server;
            continue;
        }
        connect(server, &SessionServer::newConnection, this, &CommunicationServer::onNewConnection);
        m_sessionServers.insert(s.id, server);
    }
}
