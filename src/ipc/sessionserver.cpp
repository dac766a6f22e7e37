#include "ipc/sessionserver.h"
#include "ipc/locallistener.h"
#include "ipc/socketpath.h"
#include "service/logging.h"

SessionServer::SessionServer(quint32 sessionId, const QString &pipeName, const QString &user,
                             const QString &principal, QObject *parent)
    : QObject(parent)
    , m_sessionId(sessionId)
    , m_pipeName(pipeName)
    , m_user(user)
    , m_principal(principal)
    , m_listener(new LocalListener(this))
{
    connect(m_listener, &LocalListener::newConnection, this, &SessionServer::newConnection);
}

SessionServer::~SessionServer()
{
    close();
}

bool SessionServer::isListening() const
{
    return m_listener->isListening();
}

QLocalSocket *SessionServer::nextPendingConnection()
{
    return m_listener->nextPendingConnection();
}

QString SessionServer::errorString() const
{
    return m_listener->errorString();
}

void SessionServer::close()
{
    if (m_listener->isListening()) {
        m_listener->close();
        qCDebug(lcTarnd) << "Named pipe server stopped for session" << m_sessionId;
    }
    m_claim.reset();
}

bool SessionServer::start()
{
    if (m_listener->isListening())
        return true;

    std::string problem;
    if (!socketpath::prepare(m_pipeName.toStdString(), &problem)) {
        qCWarning(lcTarnd).noquote() << "Refusing to serve session" << m_sessionId << "-" << QString::fromStdString(problem);
        return false;
    }
    // Listening with socket options silently replaces whatever is at the path, another
    // daemon's live socket included: only a path nobody else has claimed is taken over.
    if (!m_claim) {
        m_claim = socketpath::claim(m_pipeName.toStdString(), &problem);
        if (!m_claim) {
            qCWarning(lcTarnd) << "Failed to start named pipe for session" << m_sessionId << ":" << m_pipeName
                               << QString::fromStdString(problem).toUtf8().constData();
            return false;
        }
    }
    if (!m_listener->listen(m_pipeName, m_principal)) {
        // Someone else's pipe under the session's name is never served: the session's client
        // would be talking to whoever made it. Tried again at the next poll.
        qCCritical(lcTarnd).noquote() << "Failed to start named pipe for session" << m_sessionId << ":"
                                      << m_pipeName << "-" << m_listener->errorString();
        return false;
    }
    qCInfo(lcTarnd) << "Named pipe server started for session" << m_sessionId << ":" << m_pipeName;
    return true;
}
