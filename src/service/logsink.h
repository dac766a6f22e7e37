#pragma once

#include "service/logfile.h"

#include <QByteArray>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

class QMessageLogContext;

// Renders every message as "[timestamp] LEVEL: message", writes it to standard error and
// appends it to the log file, rotating that file to one ".old" generation.
//
// The file is written by a thread of the sink's own, through a bounded queue, so that a slow
// or stalled file system never holds up the thread that logs: past the bound, lines are left
// out of the file (standard error still has them) and counted, and the count is written once
// the queue has drained.
class LogSink
{
public:
    static constexpr qint64 RotateAboveBytes = 1024 * 1024;
    static constexpr int RotationCheckEvery = 100;
    // A line this long is followed by a size check of its own, so that long lines cannot carry
    // the file far past the rotation size between two checks.
    static constexpr int CheckAfterLineBytes = 4096;

    struct QueueBounds
    {
        int lines = 4096;
        qint64 bytes = 4 * 1024 * 1024;
    };

    // defaultDataDir: the folder under which "Tarn/logs" is made; empty means the generic
    // data folder of the account the daemon runs as.
    explicit LogSink(const QString &defaultDataDir = QString());
    LogSink(const QString &defaultDataDir, QueueBounds bounds);
    // Writes what is queued, then ends the writer.
    ~LogSink();
    LogSink(const LogSink &) = delete;
    LogSink &operator=(const LogSink &) = delete;

    // The process-wide sink behind messageHandler.
    static LogSink &instance();
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    static QString levelName(QtMsgType type);
    static QString formatLine(const QString &timestamp, QtMsgType type, const QString &message);

    void write(QtMsgType type, const QString &message);
    // Waits until every line queued so far is in the file (or left out); false on time-out.
    bool flush(int timeoutMs = 10000);
    // For tests: while held, the writer takes nothing from the queue.
    void holdWriter(bool held);

    QString logFilePath() const;
    // owner: whose rights every create, append, rename and delete of that file runs with.
    void setLogFilePath(const QString &path, const logfile::Identity &owner = logfile::Identity());
    logfile::Identity logFileOwner() const;

    int messageCount() const { return m_counter.load(); }

private:
    struct Pending
    {
        std::string path;
        logfile::Identity owner;
        QByteArray line;
        int count = 0; // the message counter's value for this line
    };

    std::pair<QString, logfile::Identity> target() const;
    void writerLoop();
    void writeOut(const Pending &p);

    const QString m_defaultDataDir;
    const QueueBounds m_bounds;
    mutable QMutex m_mutex; // guards m_override, m_owner and m_failuresReported
    QString m_override;
    logfile::Identity m_owner;
    QSet<QString> m_failuresReported; // one warning per chosen path that cannot be written
    std::atomic<int> m_counter{0};

    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<Pending> m_queue;
    qint64 m_queuedBytes = 0;
    int m_dropped = 0;
    bool m_writing = false;
    bool m_held = false;
    bool m_quit = false;
    std::thread m_writer; // started with the first line for the file
};
