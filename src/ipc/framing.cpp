#include "ipc/framing.h"

#include <QDataStream>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonParseError>

namespace framing {

QByteArray encode(const QJsonObject &message)
{
    const QByteArray payload = QJsonDocument(message).toJson(QJsonDocument::Compact);
    QByteArray frame;
    frame.reserve(payload.size() + 4);
    {
        QDataStream out(&frame, QIODevice::WriteOnly);
        out.setByteOrder(QDataStream::BigEndian);
        out << static_cast<quint32>(payload.size());
    }
    frame.append(payload);
    return frame;
}

quint32 FrameReader::announcedLength() const
{
    if (m_buffer.size() < 4)
        return 0;
    QDataStream in(m_buffer.left(4));
    in.setByteOrder(QDataStream::BigEndian);
    quint32 length = 0;
    in >> length;
    return length;
}

FrameReader::Result FrameReader::next(QJsonObject *message)
{
    if (m_buffer.size() < 4)
        return Result::NeedMore;
    const quint32 length = announcedLength();
    if (length > MaxIncomingPayload)
        return Result::Oversized;
    if (static_cast<qint64>(m_buffer.size()) < static_cast<qint64>(length) + 4)
        return Result::NeedMore;

    const QByteArray payload = m_buffer.mid(4, length);
    m_buffer.remove(0, static_cast<qsizetype>(length) + 4);

    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return Result::Dropped;
    *message = doc.object();
    return Result::Message;
}

} // namespace framing
