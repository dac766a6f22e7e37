#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// The listening socket of one user session.
class SessionServer : public QObject
{
    Q_OBJECT
public:
    SessionServer(quint32 sessionId, const QString &pipeName, const QString &user, QObject *parent = nullptr);
    ~SessionServer() override;

    bool start();
    // Stops listening and removes the socket; accepted connections stay.
    void close();

    quint32 sessionId() const { return m_sessionId; }
    QString pipeName() const { return m_pipeName; }
    // The user the session belongs to: the only unprivileged user its socket accepts.
    QString user() const { return m_user; }
    QLocalServer *server() const { return m_server; }

Q_SIGNALS:
    void newConnection();

private:
    const quint32 m_sessionId;
    const QString m_pipeName;
    const QString m_user;
    QLocalServer *m_server;
};
