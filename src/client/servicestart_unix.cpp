// systemd starts the unit when polkit lets this user do it (tarnd --register's rule: the users
// of active local sessions); the call never asks for a password.

#include "servicestart.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace servicestart {

void startService(QObject *context, std::function<void(const QString &refusal)> done)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        const QString why = QStringLiteral("no system bus to ask systemd (%1)").arg(bus.lastError().message());
        QMetaObject::invokeMethod(context, [done, why] { done(why); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.systemd1"), QStringLiteral("/org/freedesktop/systemd1"),
        QStringLiteral("org.freedesktop.systemd1.Manager"), QStringLiteral("StartUnit"));
    call << QStringLiteral("tarnd.service") << QStringLiteral("replace");
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done] {
        watcher->deleteLater();
        const QDBusPendingReply<> reply = *watcher;
        QString why = reply.isError() ? reply.error().message() : QString();
        if (why.endsWith(u'.'))
            why.chop(1);
        done(reply.isError() ? QStringLiteral("systemd did not start tarnd.service (%1)").arg(why) : QString());
    });
}

} // namespace servicestart
