#include "ipc/sessionserver.h"
#include "ipc/socketpath.h"
#include "service/logging.h"

#include <QLocalServer>

SessionServer::SessionServer(quint32 sessionId, const QString &pipeName, const QString &user,
                             const QString &principal, QObject *parent)
    : QObject(parent)
    , m_sessionId(sessionId)
    , m_pipeName(pipeName)
    , m_user(user)
    , m_principal(principal)
    , m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &SessionServer::newConnection);
}

SessionServer::~SessionServer()
{
    close();
}

bool SessionServer::isListening() const
{
    return m_server->isListening();
}

QString SessionServer::errorString() const
{
    return m_server->errorString();
}

void SessionServer::close()
{
    if (m_server->isListening()) {
        m_server->close();
        QLocalServer::removeServer(m_pipeName);
        qCDebug(lcTarnd) << "Named pipe server stopped for session" << m_sessionId;
    }
    m_claim.reset();
}

bool SessionServer::start()
{
    if (m_server->isListening())
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
    QLocalServer::removeServer(m_pipeName);

    m_server->setSocketOptions(QLocalServer::WorldAccessOption);
    if (!m_server->listen(m_pipeName)) {
        qCWarning(lcTarnd) << "Failed to start named pipe for session" << m_sessionId << ":"
                           << m_server->errorString();
        return false;
    }
    qCInfo(lcTarnd) << "Named pipe server started for session" << m_sessionId << ":" << m_pipeName;
    return true;
}
