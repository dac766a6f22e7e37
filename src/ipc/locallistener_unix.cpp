#include "ipc/locallistener.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QQueue>

namespace {
// Accepted and not yet taken: a bound on what a burst of connections holds in the daemon.
constexpr int MostWaiting = 32;
}

struct LocalListener::Private
{
    QLocalServer *server;
    QQueue<QLocalSocket *> waiting;
    bool accepting = false;

    // QLocalServer accepts one connection a turn of the event loop, and a busy daemon's turns
    // are slow: a burst of clients waited a turn each, a second and more for its first answer.
    // What else has connected is accepted here, with a poll of the socket that does not wait.
    // Only in the server's own signal: once the loop has found the socket ready, another
    // accept would block the thread on an empty socket if this took what was there first.
    void acceptWaiting()
    {
        accepting = true;
        for (bool none = false;;) {
            while (server->hasPendingConnections())
                waiting.enqueue(server->nextPendingConnection());
            if (none || waiting.size() >= MostWaiting || !server->isListening())
                break;
            server->waitForNewConnection(0, &none);
        }
        accepting = false;
    }
};

LocalListener::LocalListener(QObject *parent) : QObject(parent), d(new Private{new QLocalServer(this), {}})
{
    // Anyone may connect to the socket itself: who gets in is decided by the peer's credentials.
    d->server->setSocketOptions(QLocalServer::WorldAccessOption);
    connect(d->server, &QLocalServer::newConnection, this, [this] {
        if (d->accepting)
            return;
        d->acceptWaiting();
        Q_EMIT newConnection();
    });
}

LocalListener::~LocalListener() = default;

bool LocalListener::listen(const QString &name, const QString &)
{
    QLocalServer::removeServer(name);
    return d->server->listen(name);
}

void LocalListener::close()
{
    if (!d->server->isListening())
        return;
    const QString name = d->server->fullServerName();
    // As QLocalServer does with those it has not handed out.
    qDeleteAll(d->waiting);
    d->waiting.clear();
    d->server->close();
    QLocalServer::removeServer(name);
}

bool LocalListener::isListening() const
{
    return d->server->isListening();
}

QString LocalListener::errorString() const
{
    return d->server->errorString();
}

bool LocalListener::hasPendingConnections() const
{
    return !d->waiting.isEmpty();
}

QLocalSocket *LocalListener::nextPendingConnection()
{
    return d->waiting.isEmpty() ? nullptr : d->waiting.dequeue();
}

struct PeerReadWait::Private
{
};

PeerReadWait::PeerReadWait(QLocalSocket *) {}

PeerReadWait::~PeerReadWait() = default;

bool PeerReadWait::done() const
{
    return true;
}
