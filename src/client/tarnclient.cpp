#include "client/tarnclient.h"
#include "ipc/sessions.h"
#include "ipc/socketpath.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace {

// The request id of the heartbeats the client sends on its own, whose answers nobody awaits.
const QString AutoHeartbeatId = QStringLiteral("tarnclient-heartbeat");

} // namespace

TarnClient::TarnClient(QObject *parent)
    : QObject(parent)
    , m_heartbeat(new QTimer(this))
{
    connect(&m_socket, &QLocalSocket::readyRead, this, &TarnClient::onReadyRead);
    connect(&m_socket, &QLocalSocket::disconnected, this, &TarnClient::disconnected);
    connect(&m_socket, &QLocalSocket::disconnected, m_heartbeat, &QTimer::stop);
    connect(m_heartbeat, &QTimer::timeout, this, [this] {
        if (isConnected())
            send(QJsonObject{{"action", "heartbeat"}, {"request-id", AutoHeartbeatId}});
    });
    m_heartbeat->setInterval(HeartbeatIntervalMs);
}

void TarnClient::setAutoHeartbeat(bool on)
{
    m_autoHeartbeat = on;
    if (!on)
        m_heartbeat->stop();
    else if (isConnected())
        m_heartbeat->start();
}

QString TarnClient::defaultSocketPath()
{
    std::uint32_t session = 1;
    sessions::sessionOfProcess(QCoreApplication::applicationPid(), &session);
    return QString::fromStdString(socketpath::socketPath("tarnd", session));
}

bool TarnClient::connectToDaemon(const QString &socketPath, int timeoutMs)
{
    m_socket.connectToServer(socketPath);
    if (!m_socket.waitForConnected(timeoutMs))
        return false;
    if (m_autoHeartbeat)
        m_heartbeat->start();
    return true;
}

void TarnClient::disconnectFromDaemon()
{
    m_socket.disconnectFromServer();
}

qint64 TarnClient::send(QJsonObject request)
{
    qint64 id = 0;
    if (!request.contains("request-id")) {
        id = m_nextId++;
        request.insert("request-id", id);
    } else {
        id = request.value("request-id").toInteger(-1);
    }
    m_socket.write(framing::encode(request));
    m_socket.flush();
    return id;
}

QJsonObject TarnClient::call(const QJsonObject &request, int timeoutMs)
{
    const qint64 id = send(request);
    QDeadlineTimer deadline(timeoutMs);
    while (!m_responses.contains(id) && !deadline.hasExpired() && isConnected()) {
        QEventLoop loop;
        QTimer::singleShot(std::min<qint64>(deadline.remainingTime(), 50), &loop, &QEventLoop::quit);
        connect(this, &TarnClient::responseReceived, &loop, &QEventLoop::quit);
        connect(this, &TarnClient::disconnected, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_responses.take(id);
}

QJsonObject TarnClient::waitForEvent(const std::function<bool(const QJsonObject &)> &match, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (int i = 0; i < m_events.size(); ++i) {
            if (match(m_events[i]))
                return m_events.takeAt(i);
        }
        if (deadline.hasExpired() || !isConnected())
            return QJsonObject();
        QEventLoop loop;
        QTimer::singleShot(std::min<qint64>(deadline.remainingTime(), 50), &loop, &QEventLoop::quit);
        connect(this, &TarnClient::eventReceived, &loop, &QEventLoop::quit);
        connect(this, &TarnClient::disconnected, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

void TarnClient::onReadyRead()
{
    m_reader.append(m_socket.readAll());
    QJsonObject message;
    for (;;) {
        const auto r = m_reader.next(&message);
        if (r == framing::FrameReader::Result::Dropped)
            continue;
        if (r != framing::FrameReader::Result::Message)
            return;
        if (message.value("request-id") == AutoHeartbeatId)
            continue;
        if (message.contains("event")) {
            m_events.append(message);
            Q_EMIT eventReceived(message);
        } else {
            m_responses.insert(message.value("request-id").toInteger(-1), message);
            Q_EMIT responseReceived(message);
        }
    }
}
