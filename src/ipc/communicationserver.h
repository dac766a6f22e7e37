#pragma once

#include "ipc/sessionbackend.h"
#include "service/jobqueue.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class ClientConnection;
class QLocalSocket;
class QTimer;
class SessionServer;

// The registry of connected clients, the per-session sockets, and the heartbeat time-out.
class CommunicationServer : public QObject
{
    Q_OBJECT
public:
    struct Timing
    {
        int heartbeatTimeoutMs = 10000; // dropped when silent for strictly longer
        int heartbeatCheckMs = 5000;
        int sessionPollMs = 3000;
    };

    struct Limits
    {
        // Connections at once of one unprivileged principal (uid, SID); the next is closed.
        int connectionsPerPrincipal = 64;
        // What all clients together may hold in the daemon: incomplete incoming frames, bytes
        // not yet taken by them, and what is held elsewhere on their behalf (setHeldElsewhere).
        // Each principal (uid, SID; root's too) that holds anything has an equal share of it:
        // heldBytes divided by the number of such principals, so that together they never pass
        // it. Past the bound, the principal holding the most is over its share (whatever the
        // number of principals); its largest holder is dropped, and so on until all are within
        // the bound. A principal within its share is never dropped, however large one of its
        // clients may be.
        qint64 heldBytes = 512LL * 1024 * 1024;
    };
    // A refusal of the same principal is logged at most once in this period, with a count.
    static constexpr int RefusalLogPeriodMs = 60000;

    // backend: null for the platform's sessions; the server takes ownership. Its sessions are
    // asked on a thread of the server's own (see SessionBackend).
    explicit CommunicationServer(QObject *parent = nullptr, SessionBackend *backend = nullptr);
    CommunicationServer(QObject *parent, SessionBackend *backend, Timing timing);
    CommunicationServer(QObject *parent, SessionBackend *backend, Timing timing, Limits limits);
    ~CommunicationServer() override;

    // How long the stop goes on sending what is queued for the clients before it closes them.
    static constexpr int FlushOnStopMs = 2000;
    // Connections taken from each session's socket in one turn of the event loop: a burst of
    // clients is not taken one a turn (a busy daemon's turns are slow), and a burst on one socket
    // does not keep another socket's clients waiting behind it.
    static constexpr int ConnectionsPerTurn = 16;

    // The sessions' sockets are there when it returns; later changes are polled.
    bool start(const QString &pipeBaseName);
    // Closes the session sockets: no new client gets in. Connected clients stay.
    void stopListening();
    // Stops listening, sends the clients what is queued for them (for at most FlushOnStopMs),
    // then drops them without departure signals.
    void stop();

    void sendToClient(const QString &clientId, const QJsonObject &message);
    // A frame already encoded (framing), such as a process's output event.
    void sendFrameToClient(const QString &clientId, const QByteArray &frame);
    void broadcast(const QJsonObject &message);
    void updateHeartbeat(const QString &clientId);

    // What the daemon holds elsewhere for each client (by id), counted with what its
    // connection holds: its processes' stdin queues.
    void setHeldElsewhere(std::function<QHash<QString, qint64>()> heldElsewhere);
    // Whether the client may come to hold bytes more: all together stay within the bound, or
    // its principal within its share (counted as holding, then).
    bool mayHold(const QString &clientId, qint64 bytes) const;
    // Drops the largest holders of the principals over their share until all together hold
    // no more than the bound (Limits::heldBytes).
    void enforceHeldBytes();

    ClientConnection *client(const QString &clientId) const { return m_clients.value(clientId); }
    // Bytes sent to a client and not yet taken by it; 0 for an unknown client.
    qint64 unsentBytes(const QString &clientId) const;
    // The identity of a client's process, as checked when it connected. Still known while the
    // client's departure is being reported, and forgotten right after.
    bool peerOfClient(const QString &clientId, sessions::PeerInfo *peer) const;
    // The session a process belongs to, by the same rule that maps peers to sessions. It may
    // ask the platform's session service and wait for it: for a thread that may wait, any thread.
    bool sessionOfProcess(qint64 pid, quint32 *session) const;
    QList<quint32> servedSessions() const { return m_sessionServers.keys(); }
    QString socketName(quint32 session) const;

Q_SIGNALS:
    void clientConnected(const QString &clientId);
    void clientDisconnected(const QString &clientId, uint sessionId);
    void messageReceived(const QString &clientId, const QJsonObject &message);
    void clientTimedOut(const QString &clientId, uint sessionId);
    // The session's socket is gone: the session ended, or its number is now another user's.
    void sessionEnded(quint32 sessionId);
    // A registered client has taken some of the bytes sent to it.
    void clientBytesWritten(const QString &clientId);

private Q_SLOTS:
    void onNewConnection();
    void takeConnections();
    void onClientMessage(const QString &clientId, const QJsonObject &message);
    void onClientDisconnected(const QString &clientId);
    void checkHeartbeats();
    void pollSessions();

private:
    struct Refusals
    {
        QElapsedTimer since; // the last logged refusal
        int unlogged = 0;
    };
    // Empty when the peer may use the server's socket as far as can be told without asking for
    // its session; otherwise why not.
    QString admission(const SessionServer *server, const sessions::PeerInfo &peer) const;
    // Once the peer's session is known: admits it, or refuses it when that is not the server's.
    void admitInSession(QPointer<SessionServer> server, QPointer<QLocalSocket> socket,
                        std::shared_ptr<sessions::PeerInfo> peer);
    void admit(SessionServer *server, QLocalSocket *socket, std::shared_ptr<sessions::PeerInfo> peer);
    void take(SessionServer *from, QLocalSocket *socket);
    void refuse(const SessionServer *server, QLocalSocket *socket, const sessions::PeerInfo &peer, const QString &why);
    void applySessions(const std::optional<QList<SessionBackend::Session>> &found);
    void logRefusal(const SessionServer *server, const sessions::PeerInfo &peer, const QString &why);
    struct Holdings
    {
        QHash<QString, qint64> byClient;
        QHash<QString, qint64> byPrincipal;
        qint64 total = 0;
    };
    Holdings holdings() const;
    QString principalOf(const QString &clientId) const;
    // A principal's part of the bound, among those holding anything.
    qint64 shareOf(const Holdings &h) const;
    void onClientHolding(const QString &clientId);
    void forgetPeerLater(const QString &clientId);
    void flushClients(int timeoutMs);

    std::unique_ptr<SessionBackend> m_backend;
    // Where the backend is asked, one question at a time: a session service may take up to its
    // own time-out to answer, and no client may wait for that. Emptied and waited for before
    // the backend goes.
    JobQueue m_lookups;
    bool m_listening = false;
    bool m_polling = false;
    bool m_taking = false; // a call of takeConnections is queued
    QHash<QString, int> m_lookingUp; // by principal: connections whose session is being asked
    const Timing m_timing;
    const Limits m_limits;
    QHash<QString, Refusals> m_refusals; // by principal
    QHash<QString, ClientConnection *> m_clients;
    QHash<QString, QElapsedTimer> m_heartbeats;
    QHash<QString, std::shared_ptr<sessions::PeerInfo>> m_peers;
    std::function<QHash<QString, qint64>()> m_heldElsewhere;
    QTimer *m_heartbeatTimer;
    QString m_pipeBaseName;
    QHash<quint32, SessionServer *> m_sessionServers;
    QTimer *m_pollTimer;
};
