#include "ipc/sessionserver.h"
#include "ipc/socketpath.h"
#include "service/logging.h"

#include <QLocalServer>
#include <QLocalSocket>

SessionServer::SessionServer(quint32 sessionId, const QString &pipeName, const QString &user, QObject *parent)
    : QObject(parent)
    , m_sessionId(sessionId)
    , m_pipeName(pipeName)
    , m_user(user)
    , m_server(new QLocalServer(this))
{
}

SessionServer::~SessionServer()
{
    close();
}

void SessionServer::close()
{
    if (m_server->isListening()) {
        m_server->close();
        QLocalServer::removeServer(m_pipeName);
        qCDebug(lcTarnd) << "Named pipe server stopped for session" << m_sessionId;
    }
}

bool SessionServer::start()
{
    if (m_server->isListening())
        return true;

    // Listening with socket options silently replaces whatever is at the path, another
    // daemon's live socket included: only a path nobody answers on is taken over.
    {
        QLocalSocket probe;
        probe.connectToServer(m_pipeName);
        if (probe.waitForConnected(500)) {
            probe.abort();
            qCWarning(lcTarnd) << "Failed to start named pipe for session" << m_sessionId << ":" << m_pipeName
                               << "is served by another process";
            return false;
        }
    }
    socketpath::prepare(m_pipeName.toStdString());
    QLocalServer::removeServer(m_pipeName);

    m_server->setSocketOptions(QLocalServer::WorldAccessOption);
    if (!m_server->listen(m_pipeName)) {
        qCWarning(lcTarnd) << "Failed to start named pipe for session" << m_sessionId << ":"
                           << m_server->errorString();
        return false;
    }
    qCInfo(lcTarnd) << "Named pipe server started for session" << m_sessionId << ":" << m_pipeName;
    connect(m_server, &QLocalServer::newConnection, this, &SessionServer::newConnection);
    return true;
}
