#include "process/outputframes.h"
#include "ipc/framing.h"

#include <algorithm>
#include <array>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Room kept for the timestamp, quotes included; an ISO date and time needs 21.
constexpr qsizetype TimestampRoom = 64;
// The most one input byte can become: \u00XX.
constexpr qsizetype MaxBytesPerByte = 6;

// ASCII that JSON takes as it is; the rest of ASCII has an escape of its own or \u00XX.
constexpr auto Plain = [] {
    std::array<bool, 128> t{};
    for (int c = 0x20; c < 0x80; ++c)
        t[c] = c != '"' && c != '\\';
    return t;
}();

bool continuation(unsigned char b)
{
    return (b & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at p (at least 2 bytes available up to end), 0 if
// there is none there, or -1 if what there is could still become one.
int sequenceAt(const unsigned char *p, const unsigned char *end)
{
    const unsigned char b = p[0];
    // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
    int need = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    const qsizetype available = end - p;
    // A cut sequence is judged on its continuation bytes only, as QString's decoder judges it.
    for (qsizetype i = 1; i < std::min<qsizetype>(need, available); ++i)
        if (!continuation(p[i]))
            return 0;
    if (available < need)
        return -1;
    return p[1] >= low && p[1] <= high ? need : 0;
}

} // namespace

OutputFrames::OutputFrames(const QString &processId, const QString &event, qsizetype maxFrameBytes, Clock clock)
    : m_trailerStart("\",\"event\":" + framing::jsonString(event) + ",\"process-id\":" + framing::jsonString(processId)
                     + ",\"timestamp\":")
    , m_trailerRoom(m_trailerStart.size() + TimestampRoom + 1)
    , m_bodyLimit(std::max(maxFrameBytes - m_trailerRoom, HeaderBytes + 64))
    , m_clock(clock)
{
}

void OutputFrames::append(const char *data, qsizetype size, QList<QByteArray> *done)
{
    QByteArray joined;
    if (!m_cut.isEmpty()) {
        // Rare: a character cut by the read. Its bytes go ahead of the new ones.
        joined = std::exchange(m_cut, QByteArray()) + QByteArray::fromRawData(data, size);
        data = joined.constData();
        size = joined.size();
    }
    const char *p = data;
    const char *const end = data + size;
    while (p != end) {
        p = encode(p, end, false);
        if (p == end)
            break;
        if (m_bodyLimit - m_open.size() >= MaxBytesPerByte) {
            m_cut = QByteArray(p, end - p); // the start of a character cut at the end
            break;
        }
        finishOpen(done);
    }
}

void OutputFrames::finish(bool final, QList<QByteArray> *done)
{
    if (final && !m_cut.isEmpty()) {
        const QByteArray cut = std::exchange(m_cut, QByteArray());
        const char *p = cut.constData();
        while ((p = encode(p, cut.constEnd(), true)) != cut.constEnd())
            finishOpen(done);
    }
    finishOpen(done);
}

void OutputFrames::finishOpen(QList<QByteArray> *done)
{
    if (!hasOpen())
        return;
    QByteArray frame = std::exchange(m_open, QByteArray());
    frame.append(m_trailerStart);
    frame.append(framing::jsonString(m_clock()));
    frame.append('}');
    framing::setLength(frame);
    m_produced += frame.size();
    done->append(std::move(frame));
}

const char *OutputFrames::encode(const char *data, const char *end, bool final)
{
    const qsizetype worst = (end - data) * MaxBytesPerByte;
    if (m_open.isEmpty()) {
        m_open.reserve(std::min(m_bodyLimit, HeaderBytes + worst) + m_trailerRoom);
        m_open.append(HeaderBytes - 9, '\0');
        m_open.append("{\"data\":\"");
    }
    const qsizetype start = m_open.size();
    const qsizetype room = m_bodyLimit - start;
    if (room < MaxBytesPerByte)
        return data;
    // Written in place: room enough for the worst case of what fits, then cut to what was made.
    // The frame never needs more than its bound, so it is never given more.
    const qsizetype want = start + std::min(room, worst);
    if (want + m_trailerRoom > m_open.capacity())
        m_open.reserve(std::min(m_bodyLimit, std::max(want, 2 * m_open.capacity())) + m_trailerRoom);
    m_open.resize(want);
    char *out = m_open.data() + start;
    char *const limit = m_open.data() + m_open.size();
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    const auto *const stop = reinterpret_cast<const unsigned char *>(end);
    while (p != stop) {
#if defined(__SSE2__)
        // Runs of plain ASCII are the common case: sixteen bytes at a time.
        while (stop - p >= 16 && limit - out >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            // Signed: bytes from 0x80 up count as below 0x20.
            const __m128i special = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                                 _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                              _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
            const int mask = _mm_movemask_epi8(special);
            const int plain = mask ? __builtin_ctz(unsigned(mask)) : 16;
            p += plain;
            out += plain;
            if (mask)
                break;
        }
#endif
        while (p != stop && *p < 0x80 && Plain[*p] && out != limit)
            *out++ = char(*p++);
        if (p == stop || limit - out < MaxBytesPerByte)
            break;
        const unsigned char b = *p;
        if (b < 0x80) {
            out = framing::writeAsciiEscape(out, b);
            ++p;
            continue;
        }
        const int length = stop - p >= 2 ? sequenceAt(p, stop) : (b >= 0xC2 && b <= 0xF4 ? -1 : 0);
        if (length < 0 && !final)
            break; // the rest of the character is still to come
        if (length > 0) {
            // Valid UTF-8 is written as it came, which is what encoding the decoded text gives.
            std::copy(p, p + length, out);
            out += length;
            p += length;
        } else {
            *out++ = char(0xEF);
            *out++ = char(0xBF);
            *out++ = char(0xBD);
            ++p;
        }
    }
    m_open.resize(out - m_open.constData());
    return reinterpret_cast<const char *>(p);
}
