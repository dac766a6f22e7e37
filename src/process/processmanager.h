#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

class ManagedProcess;
class QTimer;

// The daemon's supervisor of child processes: the table of supervised processes keyed by the
// client-chosen process id, and the JSON answers and events about them.
class ProcessManager : public QObject
{
    Q_OBJECT
public:
    // No "stdout"/"stderr" event carries more than this; a stream that gathers as much is
    // flushed at once instead of at the next tick.
    static constexpr qsizetype MaxEventBytes = 1024 * 1024;
    static constexpr int FlushIntervalMs = 100;

    explicit ProcessManager(QObject *parent = nullptr);
    ~ProcessManager() override;

    QJsonObject startProcess(const QJsonObject &spec);
    QJsonObject stopProcess(const QString &processId);
    QJsonObject killProcess(const QString &processId);
    QJsonObject restartProcess(const QString &processId);
    QJsonObject getProcessStatus(const QString &processId) const;
    QJsonObject listProcesses() const;
    bool writeToProcess(const QString &processId, const QByteArray &data);
    void stopAll(int timeoutMs);

    // Stops or resumes reading a process's output, while whoever receives it is behind.
    void setOutputHeld(const QString &processId, bool held);

    // The number of bytes at the end of data that begin a UTF-8 sequence still incomplete.
    static int incompleteUtf8Tail(const QByteArray &data);

Q_SIGNALS:
    void processEvent(const QJsonObject &event);

private Q_SLOTS:
    void onProcessStarted(const QString &processId);
    void onProcessFinished(const QString &processId, int exitCode);
    void onProcessStdout(const QString &processId, const QByteArray &data);
    void onProcessStderr(const QString &processId, const QByteArray &data);
    void flushOutputBuffers();

private:
    struct OutputBuffers
    {
        QByteArray out;
        QByteArray err;
    };
    void append(const QString &processId, QByteArray OutputBuffers::*stream, const QByteArray &data);
    // Emits what a stream holds, whole characters only unless final; at most MaxEventBytes an event.
    void flushStream(const QString &processId, QByteArray OutputBuffers::*stream, bool final);

    QHash<QString, ManagedProcess *> m_processes;
    QHash<QString, OutputBuffers> m_outputBuffers;
    QTimer *m_flushTimer;
};
