#pragma once

#include "ipc/framing.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QLocalSocket;

// One connected client: its socket, identifier and session, and the framing on that socket.
class ClientConnection : public QObject
{
    Q_OBJECT
public:
    // A client that lets more than this pile up unread is dropped, so that a stalled reader
    // cannot make the daemon's memory grow without bound.
    static constexpr qint64 MaxUnsentBytes = 64 * 1024 * 1024;
    // A connection holding more than this is worth a look at what all connections hold.
    static constexpr qint64 NoticeHoldingAboveBytes = 1024 * 1024;

    explicit ClientConnection(QObject *parent = nullptr);
    ~ClientConnection() override;

    void adoptSocket(QLocalSocket *socket);
    void setSessionId(quint32 sessionId) { m_sessionId = sessionId; }
    void sendMessage(const QJsonObject &message);
    void sendFrame(const QByteArray &frame);

    QString clientId() const { return m_clientId; }
    quint32 sessionId() const { return m_sessionId; }
    QLocalSocket *socket() const { return m_socket; }
    // Bytes handed to the socket and not yet taken by the client.
    qint64 unsentBytes() const;
    // What the connection holds in memory: an incomplete incoming frame and the unsent bytes.
    qint64 heldBytes() const;
    // How long the incomplete frame at the front of the input has been waiting; -1 when none.
    qint64 partialFrameAgeMs() const;
    // Closes the connection; the usual disconnect notification follows.
    void abortConnection();
    // While held, no further request is taken from the connection (what it sends waits, at most
    // HeldReadBytes of it in the daemon): the one being answered is answered first.
    void holdRequests(bool held);
    static constexpr qint64 HeldReadBytes = 64 * 1024;
    // Requests taken from one connection in one turn of the event loop. The rest wait for the
    // next turn, after every other connection has had its own: a client that pipelines requests
    // as fast as it can gets its share of the daemon's thread, not all of it.
    static constexpr int RequestsPerTurn = 8;

    static QString newClientId();

Q_SIGNALS:
    void messageReceived(const QString &clientId, const QJsonObject &message);
    void clientDisconnected(const QString &clientId);
    // Some of the unsent bytes have reached the client.
    void bytesSent(const QString &clientId);
    // The connection now holds more than NoticeHoldingAboveBytes of incoming data.
    void holding(const QString &clientId);

private Q_SLOTS:
    void onDataReady();
    void onSocketDisconnected();
    void onSocketError();

private:
    void refuse(quint32 announcedLength);
    void drop();
    // While held or behind, the socket takes at most HeldReadBytes more from the client; the
    // rest waits in the system's buffer, and the client's writes wait.
    void limitReading();
    // What the socket has, into the frame reader; false when the connection was refused meanwhile.
    bool readIn();

    const QString m_clientId;
    quint32 m_sessionId = 0;
    QLocalSocket *m_socket = nullptr;
    framing::FrameReader m_reader;
    bool m_refused = false;
    bool m_held = false;
    bool m_behind = false; // frames read and not yet taken, past a turn's share
    bool m_gone = false; // its departure has been told: nothing more of it is taken
    QElapsedTimer m_partialSince; // valid while an incomplete frame is buffered
};
