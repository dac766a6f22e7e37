#pragma once
// Accepts the clients of one session's socket, each as a connected QLocalSocket.
//   Linux:   a QLocalServer at the socket's path; the trusted folder around it and the peer
//            check on each connection keep other users out.
//   Windows: pipe instances the daemon makes itself (ipc/pipeserver_win.h), which only
//            LocalSystem, Administrators and the session's user can open; each connected
//            instance is adopted with QLocalSocket::setSocketDescriptor.
// Main thread.

#include <QObject>
#include <QString>

#include <memory>

class QLocalSocket;

class LocalListener : public QObject
{
    Q_OBJECT
public:
    explicit LocalListener(QObject *parent = nullptr);
    ~LocalListener() override;

    // principal: the session user's identity (Windows: the user's SID string). A stale socket
    // file at the path is replaced (Linux): the caller holds the right to serve it.
    bool listen(const QString &name, const QString &principal);
    // Stops listening and removes the socket file (Linux); connected sockets stay.
    void close();
    bool isListening() const;
    QString errorString() const;

    bool hasPendingConnections() const;
    // The next connected socket, a child of the listener until the caller takes it; null if none.
    QLocalSocket *nextPendingConnection();

Q_SIGNALS:
    void newConnection();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Whether a client has read all that was written to its connection, for a daemon about to let
// that connection go.
//   Linux:   what is unread stays in the socket for the client after the close: done at once.
//   Windows: letting the socket go disconnects the pipe, which discards what is unread: the
//            wait runs on a thread of its own (pipeserver::ReadWait) and never blocks the caller.
// Main thread; made once the socket has nothing left to write.
class PeerReadWait
{
public:
    explicit PeerReadWait(QLocalSocket *socket);
    ~PeerReadWait();
    bool done() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
