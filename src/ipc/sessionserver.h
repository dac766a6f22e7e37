#pragma once

#include <QObject>
#include <QString>

#include <memory>

class LocalListener;
class QLocalSocket;

namespace socketpath {
class Claim;
}

// The listening socket of one user session.
class SessionServer : public QObject
{
    Q_OBJECT
public:
    // principal: of the session's user, the only unprivileged identity its socket admits.
    SessionServer(quint32 sessionId, const QString &pipeName, const QString &user, const QString &principal,
                  QObject *parent = nullptr);
    ~SessionServer() override;

    // Listens, unless the socket folder cannot be trusted or another process serves the path.
    // Also listens again when listening has stopped (an accept that failed closes the server).
    bool start();
    // Stops listening and removes the socket; accepted connections stay.
    void close();
    bool isListening() const;
    // Why the server stopped listening, when it did so of itself.
    QString errorString() const;

    quint32 sessionId() const { return m_sessionId; }
    QString pipeName() const { return m_pipeName; }
    QString user() const { return m_user; }
    QString principal() const { return m_principal; }
    QLocalSocket *nextPendingConnection();

Q_SIGNALS:
    void newConnection();

private:
    const quint32 m_sessionId;
    const QString m_pipeName;
    const QString m_user;
    const QString m_principal;
    LocalListener *m_listener;
    std::unique_ptr<socketpath::Claim> m_claim;
};
