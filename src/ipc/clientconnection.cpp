#include "ipc/clientconnection.h"
#include "service/logging.h"

#include <QLocalSocket>
#include <QRandomGenerator64>

ClientConnection::ClientConnection(QObject *parent)
    : QObject(parent)
    , m_clientId(newClientId())
{
}

ClientConnection::~ClientConnection()
{
    // Whoever deletes a connection has already forgotten it: nothing the closing socket says
    // may reach back into a half-destroyed object.
    if (m_socket) {
        m_socket->disconnect(this);
        if (m_socket->state() != QLocalSocket::UnconnectedState)
            m_socket->disconnectFromServer();
    }
}

QString ClientConnection::newClientId()
{
    return QString::number(QRandomGenerator64::global()->generate(), 16);
}

void ClientConnection::adoptSocket(QLocalSocket *socket)
{
    m_socket = socket;
    socket->setParent(this);
    connect(socket, &QLocalSocket::readyRead, this, &ClientConnection::onDataReady, Qt::DirectConnection);
    connect(socket, &QLocalSocket::disconnected, this, &ClientConnection::onSocketDisconnected,
            Qt::DirectConnection);
    connect(socket, &QLocalSocket::errorOccurred, this, &ClientConnection::onSocketError, Qt::DirectConnection);
    connect(socket, &QLocalSocket::bytesWritten, this, [this] { Q_EMIT bytesSent(m_clientId); });
    // A socket that waited to be admitted may have brought bytes, or its end, meanwhile. Taken
    // after the current turn, so that whoever adopts it has greeted the client first.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &ClientConnection::onDataReady, Qt::QueuedConnection);
    if (socket->state() == QLocalSocket::UnconnectedState)
        QMetaObject::invokeMethod(this, &ClientConnection::onSocketDisconnected, Qt::QueuedConnection);
}

void ClientConnection::sendMessage(const QJsonObject &message)
{
    if (m_socket && m_socket->state() == QLocalSocket::ConnectedState)
        sendFrame(framing::encode(message));
}

void ClientConnection::sendFrame(const QByteArray &frame)
{
    if (!m_socket || m_socket->state() != QLocalSocket::ConnectedState)
        return;
    const bool wasIdle = m_socket->bytesToWrite() == 0;
    m_socket->write(frame);
    // A reply to a waiting client goes out now; leaving it to the socket's write notifier
    // costs a turn of the event loop and a notifier armed and disarmed for each frame. A socket
    // with a queue already is drained by the notifier as before.
    if (wasIdle)
        m_socket->flush();
    if (m_socket->bytesToWrite() > MaxUnsentBytes) {
        qCWarning(lcTarnd) << "Client" << m_clientId << "has" << m_socket->bytesToWrite()
                           << "bytes unread, more than the limit of" << MaxUnsentBytes << "- dropping it";
        drop();
    }
}

qint64 ClientConnection::unsentBytes() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

qint64 ClientConnection::heldBytes() const
{
    return unsentBytes() + m_reader.buffered();
}

qint64 ClientConnection::partialFrameAgeMs() const
{
    return m_partialSince.isValid() ? m_partialSince.elapsed() : -1;
}

void ClientConnection::abortConnection()
{
    if (m_socket && !m_refused)
        drop();
}

void ClientConnection::holdRequests(bool held)
{
    if (held == m_held || !m_socket)
        return;
    m_held = held;
    limitReading();
    // What came meanwhile, and the requests read before the hold, are taken now.
    if (!held)
        QMetaObject::invokeMethod(this, &ClientConnection::onDataReady, Qt::QueuedConnection);
}

void ClientConnection::limitReading()
{
    m_socket->setReadBufferSize(m_held || m_behind ? HeldReadBytes : 0);
}

bool ClientConnection::readIn()
{
    const QByteArray bytes = m_socket->readAll();
    if (m_refused)
        return false;
    m_reader.append(bytes);
    return true;
}

void ClientConnection::onDataReady()
{
    if (!m_socket || m_held || m_gone)
        return;
    // More is read only once what was read before has been taken.
    if (!m_behind && !readIn())
        return;
    for (int taken = 0;;) {
        QJsonObject message;
        switch (m_reader.next(&message)) {
        case framing::FrameReader::Result::NeedMore:
            if (m_behind) {
                m_behind = false;
                limitReading();
                if (m_socket->bytesAvailable() > 0) {
                    if (!readIn())
                        return;
                    continue;
                }
            }
            if (m_reader.buffered() == 0)
                m_partialSince.invalidate();
            else if (!m_partialSince.isValid())
                m_partialSince.start();
            if (m_reader.buffered() > NoticeHoldingAboveBytes)
                Q_EMIT holding(m_clientId);
            return;
        case framing::FrameReader::Result::Dropped:
            m_partialSince.invalidate();
            break;
        case framing::FrameReader::Result::Oversized:
            refuse(m_reader.announcedLength());
            return;
        case framing::FrameReader::Result::Message:
            // The clock runs per frame: a client that keeps completing frames is not stalled.
            m_partialSince.invalidate();
            Q_EMIT messageReceived(m_clientId, message);
            // A receiver may have closed the connection meanwhile, or held it.
            if (m_refused || !m_socket || m_held)
                return;
            break;
        }
        // A frame that was no request was parsed all the same: it counts toward the share, or
        // a stream of them would hold the loop for as long as they come.
        if (++taken == RequestsPerTurn) {
            m_behind = true;
            limitReading();
            QMetaObject::invokeMethod(this, &ClientConnection::onDataReady, Qt::QueuedConnection);
            return;
        }
    }
}

void ClientConnection::refuse(quint32 announcedLength)
{
    qCWarning(lcTarnd) << "Client" << m_clientId << "announced a frame of" << announcedLength
                       << "bytes, more than the limit of" << framing::MaxIncomingPayload
                       << "- closing its connection";
    drop();
}

void ClientConnection::drop()
{
    m_refused = true;
    m_reader.clear();
    m_partialSince.invalidate();
    // The usual disconnect notification follows, and the client departs the ordinary way.
    m_socket->abort();
}

void ClientConnection::onSocketDisconnected()
{
    m_gone = true;
    Q_EMIT clientDisconnected(m_clientId);
}

void ClientConnection::onSocketError()
{
    Q_EMIT clientDisconnected(m_clientId);
}
