#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// A frame is a 4-byte big-endian payload length followed by one JSON object as UTF-8.
namespace framing {

// Largest payload the daemon accepts from a client; outgoing frames have no cap.
constexpr quint32 MaxIncomingPayload = 16 * 1024 * 1024;

QByteArray encode(const QJsonObject &message);
// A member to add as a message is written: an ASCII key and its value.
struct Member
{
    QString key;
    QJsonValue value;
};
// The frame of message with extra inserted (replacing a member of the same key), the same
// bytes as encode() of such a copy, without making the copy.
QByteArray encode(const QJsonObject &message, const Member &extra);
// The payload encode() writes: the object as compact JSON, the same bytes as QJsonDocument's.
QByteArray compactJson(const QJsonObject &message);
// A string value as compactJson writes it, quotes included.
QByteArray jsonString(const QString &s);
// Writes the JSON escape of an ASCII character that JSON does not take as it is (a quote, a
// backslash, a control character) at cursor: at most six bytes. Returns the end of it.
inline char *writeAsciiEscape(char *cursor, unsigned char c)
{
    static const char hex[] = "0123456789abcdef";
    *cursor++ = '\\';
    switch (c) {
    case '"': *cursor++ = '"'; break;
    case '\\': *cursor++ = '\\'; break;
    case '\b': *cursor++ = 'b'; break;
    case '\f': *cursor++ = 'f'; break;
    case '\n': *cursor++ = 'n'; break;
    case '\r': *cursor++ = 'r'; break;
    case '\t': *cursor++ = 't'; break;
    default:
        *cursor++ = 'u';
        *cursor++ = '0';
        *cursor++ = '0';
        *cursor++ = hex[c >> 4];
        *cursor++ = hex[c & 0xf];
    }
    return cursor;
}
// Writes the length of what follows the first 4 bytes of frame into them.
void setLength(QByteArray &frame);

// Reassembles frames from a byte stream.
class FrameReader
{
public:
    enum class Result {
        NeedMore,  // no complete frame buffered
        Message,   // *message holds the next object
        Dropped,   // a complete frame was consumed, but it was not a JSON object
        Oversized, // the next frame announces more than the reader's cap; nothing consumed
    };

    explicit FrameReader(quint32 maxPayload = MaxIncomingPayload)
        : m_maxPayload(maxPayload)
    {
    }

    void append(const QByteArray &bytes) { m_buffer.append(bytes); }
    Result next(QJsonObject *message);

    // The length announced by the frame at the front of the buffer (0 when under 4 bytes).
    quint32 announcedLength() const;
    qsizetype buffered() const { return m_buffer.size(); }
    void clear() { m_buffer.clear(); }

private:
    QByteArray m_buffer;
    quint32 m_maxPayload;
};

} // namespace framing
