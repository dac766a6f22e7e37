#pragma once

#include "service/logfile.h"

#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <utility>

class QMessageLogContext;

// Renders every message as "[timestamp] LEVEL: message", writes it to standard error and
// appends it to the log file, rotating that file to one ".old" generation.
class LogSink
{
public:
    static constexpr qint64 RotateAboveBytes = 1024 * 1024;
    static constexpr int RotationCheckEvery = 100;

    // defaultDataDir: the folder under which "Tarn/logs" is made; empty means the generic
    // data folder of the account the daemon runs as.
    explicit LogSink(const QString &defaultDataDir = QString());

    // The process-wide sink behind messageHandler.
    static LogSink &instance();
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    static QString levelName(QtMsgType type);
    static QString formatLine(const QString &timestamp, QtMsgType type, const QString &message);

    void write(QtMsgType type, const QString &message);

    QString logFilePath() const;
    // owner: whose rights every create, append, rename and delete of that file runs with.
    void setLogFilePath(const QString &path, const logfile::Identity &owner = logfile::Identity());
    logfile::Identity logFileOwner() const;

    int messageCount() const { return m_counter.load(); }

private:
    std::pair<QString, logfile::Identity> target() const;

    QString m_defaultDataDir;
    mutable QMutex m_mutex; // guards m_override and keeps file writes and rotation apart
    QString m_override;
    logfile::Identity m_owner;
    bool m_failureReported = false; // one warning per chosen path that cannot be written
    std::atomic<int> m_counter{0};
};
