#include "ipc/framing.h"

#include <array>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtEndian>

namespace framing {

namespace {

// The same bytes as QJsonDocument's compact form, several times faster for long strings,
// which is what process output events are made of.
// ASCII that JSON takes as it is.
constexpr auto Plain = [] {
    std::array<bool, 128> t{};
    for (int c = 0x20; c < 0x80; ++c)
        t[c] = c != '"' && c != '\\';
    return t;
}();

void writeString(QByteArray &out, const QString &s)
{
    static const char hex[] = "0123456789abcdef";
    const qsizetype start = out.size();
    out.resize(start + s.size() * 3 + 2);
    char *cursor = out.data() + start;
    *cursor++ = '"';
    const char16_t *src = reinterpret_cast<const char16_t *>(s.constData());
    const char16_t *const end = src + s.size();
    while (src != end) {
        // Runs of plain ASCII are the common case: eight code units at a time where the CPU can.
#if defined(__SSE2__)
        while (end - src >= 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
            // Signed compares: units from 0x8000 up count as below 0x20.
            const __m128i special = _mm_or_si128(
                _mm_or_si128(_mm_cmplt_epi16(v, _mm_set1_epi16(0x20)), _mm_cmpgt_epi16(v, _mm_set1_epi16(0x7f))),
                _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('"')), _mm_cmpeq_epi16(v, _mm_set1_epi16('\\'))));
            if (_mm_movemask_epi8(special))
                break;
            _mm_storel_epi64(reinterpret_cast<__m128i *>(cursor), _mm_packus_epi16(v, v));
            src += 8;
            cursor += 8;
        }
#endif
        while (src != end && *src < 0x80 && Plain[*src])
            *cursor++ = char(*src++);
        if (src == end)
            break;
        const char16_t u = *src++;
        if (u < 0x80) {
            // Escapes need up to six bytes where three were reserved.
            const qsizetype at = cursor - out.data();
            out.resize(out.size() + 4);
            cursor = out.data() + at;
            cursor = writeAsciiEscape(cursor, static_cast<unsigned char>(u));
        } else if (u < 0x800) {
            *cursor++ = char(0xC0 | (u >> 6));
            *cursor++ = char(0x80 | (u & 0x3F));
        } else if (QChar::isHighSurrogate(u) && src != end && QChar::isLowSurrogate(*src)) {
            const char32_t c = QChar::surrogateToUcs4(u, *src++);
            *cursor++ = char(0xF0 | (c >> 18));
            *cursor++ = char(0x80 | ((c >> 12) & 0x3F));
            *cursor++ = char(0x80 | ((c >> 6) & 0x3F));
            *cursor++ = char(0x80 | (c & 0x3F));
        } else if (QChar::isSurrogate(u)) {
            // A lone surrogate has no UTF-8 form: written as an escape.
            const qsizetype at = cursor - out.data();
            out.resize(out.size() + 3);
            cursor = out.data() + at;
            *cursor++ = '\\';
            *cursor++ = 'u';
            *cursor++ = hex[(u >> 12) & 0xf];
            *cursor++ = hex[(u >> 8) & 0xf];
            *cursor++ = hex[(u >> 4) & 0xf];
            *cursor++ = hex[u & 0xf];
        } else {
            *cursor++ = char(0xE0 | (u >> 12));
            *cursor++ = char(0x80 | ((u >> 6) & 0x3F));
            *cursor++ = char(0x80 | (u & 0x3F));
        }
    }
    *cursor++ = '"';
    out.resize(cursor - out.data());
}

void writeValue(QByteArray &out, const QJsonValue &v);

void writeMember(QByteArray &out, bool *first, const QString &key, const QJsonValue &value)
{
    if (!*first)
        out.append(',');
    *first = false;
    writeString(out, key);
    out.append(':');
    writeValue(out, value);
}

// The object as it would be with member extra inserted, without the copy an insert makes: the
// library keeps members in key order, which for an ASCII key is plain UTF-16 order.
void writeObject(QByteArray &out, const QJsonObject &o, const Member *extra = nullptr)
{
    out.append('{');
    bool first = true;
    bool pending = extra != nullptr;
    for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
        if (pending) {
            const int order = QString::compare(extra->key, it.key(), Qt::CaseSensitive);
            if (order <= 0) {
                writeMember(out, &first, extra->key, extra->value);
                pending = false;
                if (order == 0)
                    continue;
            }
        }
        writeMember(out, &first, it.key(), it.value());
    }
    if (pending)
        writeMember(out, &first, extra->key, extra->value);
    out.append('}');
}

void writeValue(QByteArray &out, const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::String:
        writeString(out, v.toString());
        return;
    case QJsonValue::Object:
        writeObject(out, v.toObject());
        return;
    case QJsonValue::Array: {
        out.append('[');
        const QJsonArray a = v.toArray();
        for (qsizetype i = 0; i < a.size(); ++i) {
            if (i)
                out.append(',');
            writeValue(out, a.at(i));
        }
        out.append(']');
        return;
    }
    case QJsonValue::Bool:
        out.append(v.toBool() ? "true" : "false");
        return;
    case QJsonValue::Null:
        out.append("null");
        return;
    default: {
        // A whole number below 2^53, a request id say, is written by the library as its
        // digits, whether it was stored as an integer or a double.
        const double d = v.toDouble();
        if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
            out.append(QByteArray::number(qint64(d)));
            return;
        }
        // Other numbers keep the library's own formatting.
        const QByteArray n = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
        out.append(n.constData() + 1, n.size() - 2);
        return;
    }
    }
}

QByteArray frameOf(const QJsonObject &message, const Member *extra)
{
    QByteArray frame;
    // Room for a typical answer or event, so that writing it does not grow the buffer step by step.
    frame.reserve(256);
    frame.resize(4);
    writeObject(frame, message, extra);
    setLength(frame);
    return frame;
}

} // namespace

QByteArray compactJson(const QJsonObject &message)
{
    QByteArray out;
    writeObject(out, message);
    return out;
}

QByteArray jsonString(const QString &s)
{
    QByteArray out;
    writeString(out, s);
    return out;
}

void setLength(QByteArray &frame)
{
    qToBigEndian(static_cast<quint32>(frame.size() - 4), frame.data());
}

QByteArray encode(const QJsonObject &message)
{
    return frameOf(message, nullptr);
}

QByteArray encode(const QJsonObject &message, const Member &extra)
{
    return frameOf(message, &extra);
}

quint32 FrameReader::announcedLength() const
{
    if (m_buffer.size() < 4)
        return 0;
    return qFromBigEndian<quint32>(m_buffer.constData());
}

FrameReader::Result FrameReader::next(QJsonObject *message)
{
    if (m_buffer.size() < 4)
        return Result::NeedMore;
    const quint32 length = announcedLength();
    if (length > m_maxPayload)
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
