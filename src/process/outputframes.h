#pragma once
// One output stream of a process turned straight into finished "stdout" or "stderr" event
// frames, on whichever thread reads it: byte for byte the frame framing::encode writes for the
// event object, without the text ever being decoded. The bytes are checked as UTF-8 and
// JSON-escaped in one pass; a byte that begins no valid sequence becomes U+FFFD, as the UTF-8
// decoder of QString makes it, and a character cut at the end of what has come so far waits
// for its remaining bytes.
//
// Not thread-safe: one thread at a time (OutputChannel sees to it).

#include <QByteArray>
#include <QList>
#include <QString>

class OutputFrames
{
public:
    // No "stdout"/"stderr" event frame of the daemon is longer than this.
    static constexpr qsizetype MaxFrameBytes = 1024 * 1024;
    // The "timestamp" of a frame, taken when it is finished.
    using Clock = QString (*)();

    // No frame, its 4-byte length included, is longer than maxFrameBytes (unless that leaves
    // no room for output beside the process id).
    OutputFrames(const QString &processId, const QString &event, qsizetype maxFrameBytes, Clock clock);

    // Adds output to the open frame; each frame that fills up is finished into *done.
    void append(const char *data, qsizetype size, QList<QByteArray> *done);
    // Finishes the open frame into *done, if it holds any output. final: the stream has ended,
    // and a character still cut at its end becomes U+FFFD, one for each of its bytes.
    void finish(bool final, QList<QByteArray> *done);
    // Whether the open frame holds output.
    bool hasOpen() const { return m_open.size() > HeaderBytes; }
    // Frame bytes made so far, finished or open: what the reader's brake counts.
    qint64 produced() const { return m_produced + (hasOpen() ? m_open.size() : 0); }

private:
    static constexpr qsizetype HeaderBytes = 4 + 9; // the length, then {"data":"
    // Encodes from data on into the open frame until it is full or the input is used up (but
    // for a cut character at its end, unless final); returns where it stopped.
    const char *encode(const char *data, const char *end, bool final);
    void finishOpen(QList<QByteArray> *done);

    const QByteArray m_trailerStart; // ","event":"stdout","process-id":"ID","timestamp":
    const qsizetype m_trailerRoom;   // the most that finishing a frame adds to it
    const qsizetype m_bodyLimit;     // the open frame is finished before it passes this
    const Clock m_clock;
    QByteArray m_open;               // the frame being filled, from its length on
    QByteArray m_cut;                // the first bytes of a character still incomplete
    qint64 m_produced = 0;           // bytes of the frames finished so far
};
