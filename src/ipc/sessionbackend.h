#pragma once

#include "ipc/sessions.h"

#include <QList>
#include <QString>

#include <optional>

class QLocalSocket;

// What the communication server needs to know of user sessions. The platform's answers by
// default; tests hand in their own to drive session changes. activeSessions and
// sessionOfProcess may wait for a session service, so they are called on threads that may wait,
// at times two at once (the server's lookups and the daemon's sweep): a backend keeps them safe
// for that. peerOf and socketName are called on the server's thread.
class SessionBackend
{
public:
    struct Session
    {
        quint32 id = 0;
        QString user;      // for log lines
        QString principal; // compared with the peer's (sessions::PeerInfo::principal)
    };

    virtual ~SessionBackend() = default;
    // The sessions that get a socket; nullopt when they cannot be enumerated.
    virtual std::optional<QList<Session>> activeSessions() = 0;
    // The process on the other end of an accepted connection.
    virtual bool peerOf(QLocalSocket *socket, sessions::PeerInfo *peer) = 0;
    // The socket name of a session, given the base name.
    virtual QString socketName(const QString &baseName, quint32 session) = 0;
    // The session a process belongs to, by the rule that maps peers to sessions; false when it
    // cannot be told.
    virtual bool sessionOfProcess(qint64 pid, quint32 *session);
};

class PlatformSessionBackend : public SessionBackend
{
public:
    std::optional<QList<Session>> activeSessions() override;
    bool peerOf(QLocalSocket *socket, sessions::PeerInfo *peer) override;
    QString socketName(const QString &baseName, quint32 session) override;
};

// Test builds only (the daemon's --test-session start option): one session of the given number
// for the daemon's own user, where the platform lists none a client could be in (wine lists no
// Terminal Services sessions). Everything else is the platform's.
class InjectedSessionBackend : public PlatformSessionBackend
{
public:
    explicit InjectedSessionBackend(quint32 session) : m_session(session) {}
    std::optional<QList<Session>> activeSessions() override;

private:
    const quint32 m_session;
};
