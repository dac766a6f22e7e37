#include "ipc/sessionbackend.h"
#include "ipc/socketpath.h"
#include "service/logging.h"

#include <QLocalSocket>

bool SessionBackend::sessionOfProcess(qint64 pid, quint32 *session)
{
    std::uint32_t id = 0;
    if (!sessions::sessionOfProcess(pid, &id))
        return false;
    *session = id;
    return true;
}

std::optional<QList<SessionBackend::Session>> PlatformSessionBackend::activeSessions()
{
    std::vector<sessions::SessionInfo> list;
    std::string error;
    if (!sessions::listActive(list, &error)) {
        qCWarning(lcTarnd).noquote() << QString::fromStdString(error);
        return std::nullopt;
    }
    QList<Session> out;
    for (const auto &s : list)
        out.append({s.id, QString::fromStdString(s.user), QString::fromStdString(s.principal)});
    return out;
}

bool PlatformSessionBackend::peerOf(QLocalSocket *socket, sessions::PeerInfo *peer)
{
    return sessions::peerOf(static_cast<std::intptr_t>(socket->socketDescriptor()), peer);
}

QString PlatformSessionBackend::socketName(const QString &baseName, quint32 session)
{
    return QString::fromStdString(socketpath::socketPath(baseName.toStdString(), session));
}

std::optional<QList<SessionBackend::Session>> InjectedSessionBackend::activeSessions()
{
    sessions::SessionInfo self;
    if (!sessions::ownIdentity(&self)) {
        qCWarning(lcTarnd) << "The daemon's own user cannot be had for the injected session" << m_session;
        return std::nullopt;
    }
    return QList<Session>{{m_session, QString::fromStdString(self.user), QString::fromStdString(self.principal)}};
}
