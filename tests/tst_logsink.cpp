// The log sink: line format, which file a line goes to, rotation, and its bounds.

#include "service/eventwait.h"
#include "service/logsink.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QOperatingSystemVersion>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A log file read back with line feeds, where each line must end in the platform's line end
// (CR LF on Windows, whose file is written in text mode); any other reads as no check accepts.
QByteArray readFile(const QString &path)
{
    const bool windows = QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows;
    const QByteArray raw = testsupport::readFile(path);
    const QByteArray bytes = windows ? QByteArray(raw).replace("\r\n", "\n") : raw;
    const bool platformEnds = !bytes.contains('\r') && (!windows || raw.count("\r\n") == raw.count('\n'));
    return platformEnds ? bytes : "line ends of " + path.toUtf8() + " are not the platform's";
}

} // namespace

class TestLogSink : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void daemonsAndSessionsFiles()
    {
        QTemporaryDir dir;
        // The default file; its folder, missing at first or removed while the daemon runs, is
        // made by the next line. Markers in a message are never expanded.
        LogSink sink(dir.path());
        const QString expected = dir.path() + "/Tarn/logs/tarnd.log";
        QCOMPARE(QDir::fromNativeSeparators(sink.logFilePath()), expected);
        static const QRegularExpression stamp(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )");
        for (const QString text : {"disk %1 full", "again"}) {
            sink.write(QtWarningMsg, text);
            QVERIFY(sink.flush());
            const QString line = QString::fromUtf8(readFile(expected));
            QVERIFY2(stamp.match(line).hasMatch() && line.mid(26) == "WARNING: " + text + "\n", qPrintable(line));
            QVERIFY(QDir(dir.path() + "/Tarn").removeRecursively());
        }
        const QString path = dir.path() + "/client.log";
        sink.setLogFilePath(path);

        // A session's lines go to the file its client chose, rotated by that file's own count at
        // its 100th line; what a nested loop serves meanwhile is not the session's.
        const QString chosen = dir.path() + "/session.log";
        testsupport::writeFile(chosen, QByteArray(LogSink::RotateAboveBytes + 1, 'p'));
        sink.setSessionLogPath(7, "client", chosen, logfile::Identity(), "someone");
        sink.write(QtInfoMsg, "one");
        {
            const LogSink::SessionScope scope(7);
            for (int i = 0; i < LogSink::RotationCheckEvery; ++i) {
                QVERIFY(sink.flush() && QFileInfo::exists(chosen));
                sink.write(QtInfoMsg, "s");
            }
            const int before = sink.messageCount();
            QTimer::singleShot(0, [&] { sink.write(QtInfoMsg, "served"); });
            QVERIFY(serveEventsUntil([&] { return sink.messageCount() > before; }, 10000, 10));
        }
        sink.write(QtInfoMsg, "after");
        QVERIFY(sink.flush());
        QVERIFY(readFile(chosen + ".old").endsWith("INFO: s\n") && !QFileInfo::exists(chosen));
        const QByteArray own = readFile(path);
        QVERIFY(own.count("INFO: ") == 3 && own.contains("INFO: one\n") && own.contains("INFO: served\n"));

        // The last choice outlives its client; an older one never comes back over a newer; the
        // session's end forgets it.
        sink.forgetClient("client");
        sink.setSessionLogPath(7, "next", dir.path() + "/later.log", logfile::Identity(), "someone");
        sink.forgetClient("next");
        QCOMPARE(sink.sessionLogFile(7).path, dir.path() + "/later.log");
        sink.forgetSession(7);
        QVERIFY(sink.sessionLogFile(7).path.isEmpty());

        // A link in the file's place is never followed.
        testsupport::writeFile(dir.path() + "/target", "keep");
        QVERIFY(QFile::link(dir.path() + "/target", dir.path() + "/link.log"));
        sink.setLogFilePath(dir.path() + "/link.log");
        sink.write(QtInfoMsg, "must not land in the target");
        QVERIFY(sink.flush());
        QCOMPARE(readFile(dir.path() + "/target"), QByteArray("keep"));
    }

    // A stalled file holds a bounded queue, and what did not fit is counted.
    void aStalledFileDropsLinesAndSaysHowMany()
    {
        QTemporaryDir dir;
        LogSink sink(dir.path(), LogSink::QueueBounds{8, 1024 * 1024});
        const QString path = dir.path() + "/stalled.log";
        sink.setLogFilePath(path);
        sink.holdWriter(true);
        for (int i = 0; i < 20; ++i)
            sink.write(QtInfoMsg, QStringLiteral("line %1").arg(i));
        QVERIFY(!QFileInfo::exists(path)); // the caller never waited for the file
        sink.holdWriter(false);
        QVERIFY(sink.flush());
        QTRY_VERIFY_WITH_TIMEOUT(readFile(path).contains("12 log line(s) were left out"), 5000);
        QVERIFY(readFile(path).contains("INFO: line 7\n") && !readFile(path).contains("INFO: line 8\n"));

        // Lines still queued for a file about to be removed go with it; later ones are kept.
        sink.holdWriter(true);
        sink.write(QtInfoMsg, "before the removal");
        sink.discardPending(path);
        QVERIFY(QFile::remove(path));
        sink.write(QtInfoMsg, "after it");
        sink.holdWriter(false);
        QVERIFY(sink.flush());
        QVERIFY(readFile(path).endsWith("INFO: after it\n") && readFile(path).count("INFO: ") == 1);
    }

    // A writer reporting a file it cannot write calls into the handler, which in the daemon is
    // the sink: the sink's end waits for it however long past its wait for the writers it takes,
    // rather than leaving it to touch a sink that is gone.
    void theEndWaitsForAWriterInsideItsReport()
    {
        static std::atomic<int> stage{0}; // 1: a report reached the handler, 2: let it go on
        const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &m) {
            if (!m.contains("cannot be written"))
                return;
            for (stage = 1; stage != 2;)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        QTemporaryDir dir;
        auto *sink = new LogSink(dir.path());
        sink->setSessionLogPath(7, "c", dir.path() + "/missing/c.log", {false, 0, 0, {}, {}}, "someone");
        {
            const LogSink::SessionScope scope(7);
            sink->write(QtInfoMsg, "to a file nobody can write");
        }
        QTRY_COMPARE_WITH_TIMEOUT(stage.load(), 1, 10000);
        std::atomic<bool> ended{false};
        std::thread end([&] {
            delete sink;
            ended = true;
        });
        const bool endedWhileInside = QTest::qWaitFor([&] { return ended.load(); }, LogSink::WriterEndWaitMs + 1500);
        stage = 2;
        end.join();
        qInstallMessageHandler(previous);
        QVERIFY(!endedWhileInside);
    }
};

QTEST_GUILESS_MAIN(TestLogSink)
#include "tst_logsink.moc"
