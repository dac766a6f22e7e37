// Output event frames made where the output is read, against the event the daemon sends for the
// same output: the same bytes over every kind of byte, wherever the output is cut; and the
// hand-over of those frames to the main thread.

#include "ipc/framing.h"
#include "process/outputframes.h"
#include "process/processworkers.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QtTest>

namespace {

const OutputFrames::Clock fixedTime = [] { return QStringLiteral("2026-12-08T05:00:00"); };

// A byte order mark is output like any other character, at the start of an event too.
QString decoded(const QByteArray &output)
{
    using F = QStringConverter::Flag;
    return QStringDecoder(QStringConverter::Utf8, F::Stateless | F::ConvertInitialBom).decode(output);
}

// The frame of the event the daemon builds for this text, written by Qt's own JSON writer.
QByteArray eventFrame(const QString &id, const QString &event, const QString &text)
{
    const QJsonObject o{{"process-id", id}, {"event", event}, {"timestamp", fixedTime()}, {"data", text}};
    QByteArray frame = QByteArray(4, '\0') + QJsonDocument(o).toJson(QJsonDocument::Compact);
    framing::setLength(frame);
    return frame;
}

// Every ASCII byte, NUL included; random ones; then each kind of byte, the last a character cut at
// the very end.
QByteArray allClasses()
{
    QByteArray mix;
    for (int c = 0; c < 0x80; ++c)
        mix += char(c);
    QRandomGenerator random(15);
    for (int i = 0; i < 2048; ++i)
        mix += char(random.bounded(256));
    for (const char *bytes : {"quote and backslash: say \"hi\" \\ \\\\ \\\" \"\"",
                              "controls: \b\f\n\r\t\x01\x1f\x7f\x0b",
                              "2-byte: \xC2\x80 \xC3\xA9 \xDF\xBF",
                              "3-byte: \xE0\xA0\x80 \xE2\x82\xAC \xEF\xBF\xBF \xED\x9F\xBF \xEE\x80\x80",
                              "4-byte: \xF0\x90\x80\x80 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF",
                              "lone continuation bytes: a\x80 b\xBF c\x80\x80",
                              "overlong: \xC0\x80 \xC1\xBF \xE0\x80\x80 \xE0\x9F\xBF \xF0\x80\x80\x80 \xF0\x8F\xBF\xBF",
                              "surrogates: \xED\xA0\x80 \xED\xBF\xBF",
                              "past U+10FFFF and never UTF-8: \xF4\x90\x80\x80 \xF5\x80 \xF8 \xFE\xFF",
                              "cut inside: \xE2\x82" "A \xF0\x9F" "B \xE2" "A\x82 \xC3" "\xC3\xA9",
                              "byte order marks: \xEF\xBB\xBF" "x\xEF\xBB\xBF",
                              "cut at the end: a\xF0\x9F\x98"})
        mix += bytes;
    return mix;
}

QString textOf(const QList<QByteArray> &frames)
{
    QString all;
    for (const QByteArray &f : frames)
        all += testsupport::decodeFrame(f).value("data").toString();
    return all;
}

} // namespace

class TestOutputFrames : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The output read up to a cut and shown there; then the rest, and its end. Each event is the
    // one the daemon sends, holding whole characters up to the cut; the process id and the
    // stream are escaped into the frame as well.
    void sameEventsWhereverTheOutputIsCut()
    {
        const QByteArray mix = allClasses();
        const QString id = QStringLiteral("core \"1\" \\ \u00FC\u20AC\n");
        for (qsizetype cut = 0; cut <= mix.size(); ++cut) {
            const QString event = cut % 2 ? "stderr" : "stdout";
            OutputFrames frames(id, event, OutputFrames::MaxFrameBytes, fixedTime);
            QList<QByteArray> done;
            frames.append(mix.constData(), cut, &done);
            frames.finish(false, &done);
            frames.append(mix.constData() + cut, mix.size() - cut, &done);
            frames.finish(true, &done);
            // What QString's decoder makes of the output so far, less a character still cut.
            QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
            const QString shown = utf8(mix.left(cut));
            QList<QByteArray> expected;
            for (const QString &piece : {shown, decoded(mix).mid(shown.size())})
                if (!piece.isEmpty())
                    expected << eventFrame(id, event, piece);
            QVERIFY2(done == expected, qPrintable(QString("differs when cut at %1 of %2").arg(cut).arg(mix.size())));
        }
        // In many small reads, at several bounds: a character is never taken apart, nothing is
        // lost or added, and no frame passes its bound, which is on the frame (controls take six
        // bytes each once escaped, invalid bytes three).
        const QByteArray output = QByteArray(5000, '\x01') + mix + QByteArray(3000, '\xFF');
        QRandomGenerator random(3);
        for (const qsizetype max : {qsizetype(1024), qsizetype(1500), qsizetype(4096), OutputFrames::MaxFrameBytes}) {
            OutputFrames frames("p", "stdout", max, fixedTime);
            QList<QByteArray> done;
            for (qsizetype at = 0; at < output.size();) {
                const qsizetype n = std::min(output.size() - at, qsizetype(random.bounded(1, 9)));
                frames.append(output.constData() + at, n, &done);
                at += n;
                if (random.bounded(200) == 0)
                    frames.finish(false, &done);
            }
            frames.finish(true, &done);
            for (const QByteArray &f : std::as_const(done))
                QVERIFY2(f.size() <= max, qPrintable(QString::number(f.size())));
            QCOMPARE(textOf(done), decoded(output));
        }
    }

    void channelTellsOnceAndCountsFrameBytes()
    {
        OutputChannel channel("p", 4096);
        bool pending = false;
        // Output the main thread does not know of: told once, however much more comes.
        QVERIFY(channel.push("ab", "") && !channel.push("cd", "ef"));
        QVERIFY(channel.take(false, &pending).isEmpty() && pending);
        // Known to be open now (its flush is armed): more of it is no news, but a frame that
        // fills up is: it goes at once.
        QVERIFY(!channel.push(std::string(100, 'x'), "") && channel.push(std::string(5000, 'y'), ""));
        QList<QByteArray> frames = channel.take(false, &pending);
        QVERIFY(frames.size() == 1 && pending);
        // The flush: what is open is finished, stdout's before stderr's.
        frames += channel.take(true, &pending);
        QVERIFY(!pending && channel.empty() && frames.size() == 3);
        QCOMPARE(textOf(frames.mid(0, 2)), "abcd" + QString(100, 'x') + QString(5000, 'y'));
        QCOMPARE(textOf(frames.mid(2)), QStringLiteral("ef"));
        const qint64 bytes = frames.join().size();
        QCOMPARE(channel.inFlight(), bytes);
        // Given back unsent, frames keep their place ahead of newer ones.
        channel.push("new", "");
        channel.giveBack(frames.mid(1));
        const QList<QByteArray> again = channel.take(true, &pending);
        QVERIFY(again.size() == 3 && again.mid(0, 2) == frames.mid(1));
        channel.consumed(bytes);
        QCOMPARE(channel.inFlight(), again.last().size());
    }
};

QTEST_GUILESS_MAIN(TestOutputFrames)
#include "tst_outputframes.moc"
