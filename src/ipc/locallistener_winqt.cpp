#include "ipc/locallistener.h"
#include "ipc/pipeserver_win.h"

#include <QHash>
#include <QLocalSocket>
#include <QQueue>
#include <QWinEventNotifier>

#include <memory>
#include <optional>
#include <utility>

namespace {
// Instances of each pipe name this process has handed to sockets and not yet closed. While a
// name has any, it is this process's: a new listener of it adds instances rather than asking for
// the first one, which Windows would refuse.
QHash<QString, int> openInstances;

// Also called from the notifier's own signal: it stops watching the event at once, and goes once
// that signal has returned.
void dropNotifier(QWinEventNotifier *&notifier)
{
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
}
} // namespace

struct LocalListener::Private
{
    pipeserver::Listener pipe;
    QWinEventNotifier *notifier = nullptr;
    QString name;
    QString error;
    QQueue<QLocalSocket *> pending;

    // A client connected to a waiting instance, queued as a socket of owner's; false if none.
    bool takeConnected(QObject *owner);
};

LocalListener::LocalListener(QObject *parent) : QObject(parent), d(new Private) {}

LocalListener::~LocalListener()
{
    close();
}

bool LocalListener::listen(const QString &name, const QString &principal)
{
    close();
    std::string error;
    if (!d->pipe.listen(name.toStdString(), principal.toStdString(), openInstances.value(name) == 0, &error)) {
        d->error = QString::fromStdString(error);
        return false;
    }
    d->name = name;
    d->notifier = new QWinEventNotifier(d->pipe.connectEvent(), this);
    connect(d->notifier, &QWinEventNotifier::activated, this, [this] {
        // Every instance may have a client by now: each is taken, not one a turn of the loop.
        bool any = false;
        for (int i = 0; i < pipeserver::Listener::InstancesWaiting && d->takeConnected(this); ++i)
            any = true;
        if (any)
            Q_EMIT newConnection();
    });
    return true;
}

void LocalListener::close()
{
    dropNotifier(d->notifier);
    d->pipe.close();
}

bool LocalListener::isListening() const
{
    return d->pipe.isListening();
}

QString LocalListener::errorString() const
{
    return d->error;
}

bool LocalListener::hasPendingConnections() const
{
    return !d->pending.isEmpty();
}

QLocalSocket *LocalListener::nextPendingConnection()
{
    return d->pending.isEmpty() ? nullptr : d->pending.dequeue();
}

bool LocalListener::Private::takeConnected(QObject *owner)
{
    std::string why;
    const HANDLE connected = pipe.takeConnected(&why);
    if (!why.empty()) {
        error = QString::fromStdString(why);
        dropNotifier(notifier);
    }
    if (connected == INVALID_HANDLE_VALUE)
        return false;
    auto *socket = new QLocalSocket(owner);
    if (!socket->setSocketDescriptor(qintptr(connected))) {
        CloseHandle(connected);
        delete socket;
        return false;
    }
    ++openInstances[name];
    const auto closed = [name = name, counted = std::make_shared<bool>(true)] {
        if (std::exchange(*counted, false) && --openInstances[name] == 0)
            openInstances.remove(name);
    };
    QObject::connect(socket, &QLocalSocket::disconnected, closed);
    QObject::connect(socket, &QObject::destroyed, closed);
    pending.enqueue(socket);
    return true;
}

struct PeerReadWait::Private
{
    std::optional<pipeserver::ReadWait> wait;
};

PeerReadWait::PeerReadWait(QLocalSocket *socket) : d(new Private)
{
    if (socket && socket->state() == QLocalSocket::ConnectedState)
        d->wait.emplace(HANDLE(socket->socketDescriptor()));
}

PeerReadWait::~PeerReadWait() = default;

bool PeerReadWait::done() const
{
    return !d->wait || d->wait->done();
}
