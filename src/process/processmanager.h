#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

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

    struct Timing
    {
        int stopBudgetMs = 10000; // from the Ctrl+C of a stop or restart to the forced kill
        int exitDrainMs = 500;    // at most, for the end of a child's output after its exit
    };

    explicit ProcessManager(QObject *parent = nullptr);
    ProcessManager(QObject *parent, Timing timing);
    ~ProcessManager() override;

    QJsonObject startProcess(const QJsonObject &spec);
    QJsonObject stopProcess(const QString &processId);
    QJsonObject killProcess(const QString &processId);
    QJsonObject restartProcess(const QString &processId);
    QJsonObject getProcessStatus(const QString &processId) const;
    QJsonObject listProcesses() const;
    bool writeToProcess(const QString &processId, const QByteArray &data);
    // Stops every process and waits for them. From here on starts are refused: the daemon is
    // going away.
    void stopAll(int timeoutMs);

    // Stops or resumes both the reading and the sending of a process's output, while whoever
    // receives it is behind. What is held back stays in the daemon, bounded per process, and a
    // held process's "finished" waits until its last output has gone out.
    void setOutputHeld(const QString &processId, bool held);
    // The number of the child the process's record holds, or -1.
    qint64 childPid(const QString &processId) const;

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
    // Emits what a stream holds, whole characters only unless final; at most MaxEventBytes an
    // event, and nothing more once the process is held.
    void flushStream(const QString &processId, QByteArray OutputBuffers::*stream, bool final);
    // Sends "finished" once the process's output is all out, and drops the process.
    void finishWhenFlushed(const QString &processId);
    bool held(const QString &processId) const;
    bool anyProcess(const std::function<bool(const ManagedProcess *)> &test) const;

    const Timing m_timing;
    QHash<QString, ManagedProcess *> m_processes;
    QHash<QString, OutputBuffers> m_outputBuffers;
    QHash<QString, int> m_finishing; // process id -> exit code, while its last output waits
    QTimer *m_flushTimer;
    bool m_stopping = false;
};
