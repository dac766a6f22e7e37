// FrameReader on a byte stream cut into chunks the input chooses: every result is checked
// against what the buffer held, and every object read is written again and read back.
//
// Input: one byte n, then n % 8 chunk sizes (each byte b a chunk of b + 1 bytes, used in turn;
// none: the stream in one piece), then the stream.

#include "fuzzsupport.h"
#include "ipc/framing.h"

#include <QJsonDocument>

#include <cstdint>

namespace {

using framing::FrameReader;

void roundTrip(const QJsonObject &message)
{
    const QByteArray frame = framing::encode(message);
    FUZZ_CHECK(frame.size() >= 4);
    // The daemon's own writer promises Qt's bytes: clients may compare them.
    FUZZ_CHECK(frame.mid(4) == QJsonDocument(message).toJson(QJsonDocument::Compact));
    FrameReader again;
    again.append(frame);
    FUZZ_CHECK(again.announcedLength() == quint32(frame.size() - 4));
    QJsonObject back;
    FUZZ_CHECK(again.next(&back) == FrameReader::Result::Message);
    FUZZ_CHECK(back == message);
    FUZZ_CHECK(again.buffered() == 0);
}

// Takes every complete frame; false once an oversized one blocks the stream (the daemon closes
// the connection then).
bool drain(FrameReader &reader)
{
    for (;;) {
        const qint64 before = reader.buffered();
        const qint64 announced = reader.announcedLength();
        QJsonObject message;
        switch (reader.next(&message)) {
        case FrameReader::Result::NeedMore:
            FUZZ_CHECK(before < 4 || before < announced + 4);
            FUZZ_CHECK(reader.buffered() == before);
            return true;
        case FrameReader::Result::Oversized:
            FUZZ_CHECK(announced > framing::MaxIncomingPayload);
            FUZZ_CHECK(reader.buffered() == before);
            FUZZ_CHECK(reader.next(&message) == FrameReader::Result::Oversized);
            return false;
        case FrameReader::Result::Dropped:
            FUZZ_CHECK(before - reader.buffered() == announced + 4);
            break;
        case FrameReader::Result::Message:
            FUZZ_CHECK(before - reader.buffered() == announced + 4);
            roundTrip(message);
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(fuzzsupport::dropMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t sizeCount = std::min<size_t>(data[0] % 8, size - 1);
    const uint8_t *sizes = data + 1;
    const QByteArray stream = QByteArray::fromRawData(reinterpret_cast<const char *>(data + 1 + sizeCount),
                                                      qsizetype(size - 1 - sizeCount));
    FrameReader reader;
    qsizetype fed = 0;
    for (size_t turn = 0; fed < stream.size(); ++turn) {
        const qsizetype chunk = sizeCount ? qsizetype(sizes[turn % sizeCount]) + 1 : stream.size();
        reader.append(stream.mid(fed, chunk));
        fed += chunk;
        if (!drain(reader))
            break;
    }
    return 0;
}
