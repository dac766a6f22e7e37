#include "ipc/locallistener.h"

#include <QLocalServer>

struct LocalListener::Private
{
    QLocalServer *server;
};

LocalListener::LocalListener(QObject *parent) : QObject(parent), d(new Private{new QLocalServer(this)})
{
    // Anyone may connect to the socket itself: who gets in is decided by the peer's credentials.
    d->server->setSocketOptions(QLocalServer::WorldAccessOption);
    connect(d->server, &QLocalServer::newConnection, this, &LocalListener::newConnection);
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
    return d->server->hasPendingConnections();
}

QLocalSocket *LocalListener::nextPendingConnection()
{
    return d->server->nextPendingConnection();
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
