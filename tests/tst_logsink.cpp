// The log sink: line format, file location, rotation and concurrent writers.

#include "service/eventwait.h"
#include "service/logsink.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QOperatingSystemVersion>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using testsupport::writeFile;

namespace {

const bool Windows = QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows;

// A log file whose lines each end in the platform's line end (CR LF on Windows, where the file
// is written in text mode), read back with line feeds; any other line end reads as a text no
// check accepts.
QByteArray readFile(const QString &path)
{
    const QByteArray raw = testsupport::readFile(path);
    QByteArray bytes = raw;
    if (Windows)
        bytes.replace("\r\n", "\n");
    if (bytes.count('\r') != 0 || (Windows && raw.count("\r\n") != raw.count('\n')))
        return "line ends of " + path.toUtf8() + " are not the platform's";
    return bytes;
}

} // namespace

class TestLogSink : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lineFormat()
    {
        // 7: a level with no name, still within the type's range (a value past it is undefined).
        const QList<std::pair<QtMsgType, QString>> types{{QtDebugMsg, "DEBUG"},       {QtInfoMsg, "INFO"},
                                                         {QtWarningMsg, "WARNING"},   {QtCriticalMsg, "CRITICAL"},
                                                         {QtFatalMsg, "FATAL"},       {QtMsgType(7), ""}};
        for (const auto &[type, name] : types)
            QCOMPARE(LogSink::formatLine("T", type, "m"), "[T] " + name + ": m\n");
        QCOMPARE(LogSink::formatLine("T", QtInfoMsg, "100%1 %2 %%3"), QStringLiteral("[T] INFO: 100%1 %2 %%3\n"));
    }

    void defaultFileAndOverride()
    {
        QTemporaryDir data, other;
        {
            LogSink sink(data.path());
            const QString expected = data.path() + "/Tarn/logs/tarnd.log";
            QCOMPARE(QDir::fromNativeSeparators(sink.logFilePath()), expected);
            sink.write(QtWarningMsg, QStringLiteral("disk %1 full"));
            QVERIFY(sink.flush());
            const QString text = QString::fromUtf8(readFile(expected));
            static const QRegularExpression line(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] WARNING: disk %1 full\n$)");
            QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
            // A folder removed while the daemon runs is made again by the next line.
            QVERIFY(QDir(data.path() + "/Tarn").removeRecursively());
            sink.write(QtInfoMsg, "again");
            QVERIFY(sink.flush());
            QVERIFY(readFile(expected).endsWith("INFO: again\n"));
        }
        // Redirected before a first line, the default folder is never made.
        LogSink sink(other.path());
        const QString path = other.path() + "/client.log";
        sink.setLogFilePath(path);
        QCOMPARE(sink.logFilePath(), path);
        sink.write(QtInfoMsg, "one");
        QVERIFY(sink.flush());
        QVERIFY(readFile(path).endsWith("INFO: one\n"));
        QVERIFY(!QFileInfo::exists(other.path() + "/Tarn"));

        // A session's lines go to the file its client chose, rotated by that file's own count;
        // what a nested loop serves meanwhile is not the session's.
        const QString chosen = other.path() + "/session.log";
        writeFile(chosen, QByteArray(LogSink::RotateAboveBytes + 1, 'p'));
        sink.setSessionLogPath(7, "client", chosen, logfile::Identity(), "someone");
        {
            const LogSink::SessionScope scope(7);
            for (int i = 0; i < LogSink::RotationCheckEvery; ++i)
                sink.write(QtInfoMsg, "s");
            bool served = false;
            QTimer::singleShot(0, [&] {
                sink.write(QtInfoMsg, "served");
                served = true;
            });
            QVERIFY(serveEventsUntil([&] { return served; }, 10000, 10));
        }
        sink.write(QtInfoMsg, "after");
        QVERIFY(sink.flush());
        QVERIFY(readFile(chosen + ".old").endsWith("INFO: s\n") && !QFileInfo::exists(chosen));
        const QByteArray own = readFile(path);
        QVERIFY(own.contains("INFO: served\n") && own.endsWith("INFO: after\n"));

        // The last choice outlives its client; an older one never comes back over a newer; the
        // session's end forgets it.
        const QString later = other.path() + "/later.log";
        sink.forgetClient("client");
        sink.setSessionLogPath(7, "next", later, logfile::Identity(), "someone");
        sink.forgetClient("next");
        QCOMPARE(sink.sessionLogFile(7).path, later);
        sink.forgetSession(7);
        QVERIFY(sink.sessionLogFile(7).path.isEmpty());
    }

    void rotatesAtHundredthMessageOnlyAboveOneMebibyte()
    {
        QTemporaryDir dir;
        LogSink sink(dir.path());
        const QString path = dir.path() + "/r.log";
        sink.setLogFilePath(path);
        writeFile(path + ".old", "previous generation");

        // Exactly 1 MiB once the 100th line is written: not rotated.
        for (int i = 1; i < 100; ++i)
            sink.write(QtInfoMsg, "x");
        QVERIFY(sink.flush());
        // As written: in text mode the line feed takes two bytes on Windows.
        const QByteArray line = LogSink::formatLine("2000-01-01 00:00:00.000", QtInfoMsg, "y").toUtf8() + (Windows ? "\r" : "");
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write(QByteArray(LogSink::RotateAboveBytes - f.size() - line.size(), 'p'));
        f.close();
        sink.write(QtInfoMsg, "y");
        QVERIFY(sink.flush());
        QCOMPARE(QFileInfo(path).size(), LogSink::RotateAboveBytes);
        QCOMPARE(readFile(path + ".old"), QByteArray("previous generation"));

        // Past 1 MiB the next checks come only at the 200th message.
        for (int i = 101; i < 200; ++i) {
            sink.write(QtInfoMsg, "z");
            QVERIFY(sink.flush());
            QVERIFY(QFileInfo::exists(path));
        }
        const QByteArray before = readFile(path);
        sink.write(QtInfoMsg, "last");
        QVERIFY(sink.flush());
        QVERIFY(!QFileInfo::exists(path));
        const QByteArray old = readFile(path + ".old");
        QVERIFY(old.startsWith(before) && old.endsWith("INFO: last\n"));
        sink.write(QtInfoMsg, "fresh");
        QVERIFY(sink.flush());
        QVERIFY(readFile(path).endsWith("INFO: fresh\n"));
        QCOMPARE(readFile(path).count('\n'), 1);
    }

    void longLinesAreRotatedWithoutWaitingForTheCount()
    {
        QTemporaryDir dir;
        LogSink sink(dir.path());
        const QString path = dir.path() + "/long.log";
        sink.setLogFilePath(path);
        const QString big(8192, QChar('b'));
        qint64 largest = 0;
        for (int i = 0; i < 300; ++i) {
            sink.write(QtInfoMsg, big);
            QVERIFY(sink.flush());
            largest = std::max(largest, QFileInfo(path).size());
        }
        QVERIFY(QFileInfo::exists(path + ".old"));
        // Never more than one long line past the size.
        QVERIFY2(largest <= LogSink::RotateAboveBytes + 2 * big.size(), qPrintable(QString::number(largest)));
    }

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
        const QByteArray text = readFile(path);
        QVERIFY(text.contains("INFO: line 7\n"));
        QVERIFY(!text.contains("INFO: line 8\n"));

        // Lines still queued for a file about to be removed go with it; later ones are kept.
        sink.holdWriter(true);
        sink.write(QtInfoMsg, "before the removal");
        sink.discardPending(path);
        QVERIFY(QFile::remove(path));
        sink.write(QtInfoMsg, "after it");
        sink.holdWriter(false);
        QVERIFY(sink.flush());
        QCOMPARE(readFile(path).count("INFO: "), 1);
        QVERIFY(readFile(path).endsWith("INFO: after it\n"));
    }

    // A writer reporting a file it cannot write calls into the handler, which in the daemon is
    // the sink: the sink's end waits for it however long past its wait for the writers it takes,
    // rather than leaving it to touch a sink that is gone.
    void theEndWaitsForAWriterInsideItsReport()
    {
        static std::atomic<int> stage{0}; // 1: a report reached the handler, 2: let it go on
        stage = 0;
        const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &m) {
            if (!m.contains("cannot be written"))
                return;
            stage = 1;
            while (stage != 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        QTemporaryDir dir;
        auto *sink = new LogSink(dir.path());
        logfile::Identity client;
        client.daemon = false;
        sink->setSessionLogPath(7, "c", dir.path() + "/missing/c.log", client, "someone");
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
        QDeadlineTimer past(LogSink::WriterEndWaitMs + 1500);
        while (!ended && !past.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const bool endedWhileInside = ended;
        stage = 2;
        QTRY_VERIFY_WITH_TIMEOUT(ended, 10000);
        end.join();
        qInstallMessageHandler(previous);
        QVERIFY(!endedWhileInside);
    }

    void refusesSymlinkAsLogFile()
    {
        QTemporaryDir dir;
        const QString target = dir.path() + "/target";
        writeFile(target, "keep");
        QVERIFY(QFile::link(target, dir.path() + "/link.log"));
        LogSink sink(dir.path());
        sink.setLogFilePath(dir.path() + "/link.log");
        sink.write(QtInfoMsg, "must not land in the target");
        QVERIFY(sink.flush());
        QCOMPARE(readFile(target), QByteArray("keep"));
    }

    void concurrentWritersKeepWholeLines()
    {
        QTemporaryDir dir;
        LogSink sink(dir.path());
        const QString path = dir.path() + "/c.log";
        sink.setLogFilePath(path);
        const int threads = 8, perThread = 400;
        const QString payload(200, QChar('q'));
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i)
                    sink.write(QtInfoMsg, QStringLiteral("t%1 i%2 ").arg(t).arg(i) + payload);
            });
        for (auto &th : pool)
            th.join();
        QVERIFY(sink.flush());
        const QList<QByteArray> lines = readFile(path).split('\n');
        QCOMPARE(lines.size(), threads * perThread + 1);
        static const QRegularExpression shape(R"(^\[[^\]]+\] INFO: t\d i\d+ q{200}$)");
        for (int i = 0; i < lines.size() - 1; ++i)
            QVERIFY2(shape.match(QString::fromUtf8(lines[i])).hasMatch(), lines[i].constData());
    }
};

QTEST_GUILESS_MAIN(TestLogSink)
#include "tst_logsink.moc"
