#pragma once

#include "ipc/framing.h"

#include <QJsonObject>
#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <QTimer>

// A client of the daemon: one connection, requests with their "request-id", and the events
// that arrive between the responses.
class TarnClient : public QObject
{
    Q_OBJECT
public:
    explicit TarnClient(QObject *parent = nullptr);

    // The socket of the session this process belongs to.
    static QString defaultSocketPath();

    // How often a connected client tells the daemon it is alive, well within the daemon's
    // 10 s time-out.
    static constexpr int HeartbeatIntervalMs = 3000;

    bool connectToDaemon(const QString &socketPath = defaultSocketPath(), int timeoutMs = 5000);
    // On by default: heartbeats are sent on their own while connected, and their answers are
    // not reported. Off, the client is silent unless asked, and the daemon drops it.
    void setAutoHeartbeat(bool on);
    void disconnectFromDaemon();
    bool isConnected() const { return m_socket.state() == QLocalSocket::ConnectedState; }

    // Sends a request, adding a fresh numeric "request-id" unless it has one; returns the id.
    qint64 send(QJsonObject request);
    // Sends a request and waits for its response (an empty object on time-out or disconnect).
    QJsonObject call(const QJsonObject &request, int timeoutMs = 15000);
    // Waits for the next event matching the predicate, taking it from the queue.
    QJsonObject waitForEvent(const std::function<bool(const QJsonObject &)> &match, int timeoutMs = 15000);

    // Events received and not yet taken, oldest first.
    QList<QJsonObject> &events() { return m_events; }
    QLocalSocket *socket() { return &m_socket; }

Q_SIGNALS:
    void eventReceived(const QJsonObject &event);
    void responseReceived(const QJsonObject &response);
    void disconnected();

private:
    void onReadyRead();

    QLocalSocket m_socket;
    QTimer *m_heartbeat;
    framing::FrameReader m_reader;
    QList<QJsonObject> m_events;
    QHash<qint64, QJsonObject> m_responses;
    qint64 m_nextId = 1;
    bool m_autoHeartbeat = true;
};
