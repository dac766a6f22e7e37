#pragma once

#include "process/processinfo.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <memory>

class ProcessIOWorker;
class ProcessMonitorWorker;
class OutputGate;
class QThread;

namespace childprocess {
class Child;
}

// One supervised child: its record, its two worker threads, its stdin queue, stopping and the
// crash restarts.
class ManagedProcess : public QObject
{
    Q_OBJECT
public:
    // Bytes waiting for a child's stdin; a write past this is refused.
    static constexpr qsizetype MaxQueuedInputBytes = 16 * 1024 * 1024;
    // How long an exit waits for the rest of the output, when something else holds the pipes.
    static constexpr int ExitDrainMs = 500;

    ManagedProcess(const QString &processId, QObject *parent = nullptr);
    ~ManagedProcess() override;

    void setSpec(const QJsonObject &spec) { m_spec = spec; }
    void parseSpec();
    bool launch();

    void stop(int timeoutMs);
    bool sendCtrlC();
    void forceKill();
    void releaseHandles();

    ProcessInfo getInfo() const { return m_info; }
    bool running() const { return m_child && m_info.state == 2; }

    // Queues bytes for the child's stdin without ever blocking; false when the queue is full.
    bool writeInput(const QByteArray &data);
    // Flow control of the output: held while the receiving client is behind.
    void setOutputHeld(bool held);
    void outputConsumed(qint64 bytes);

Q_SIGNALS:
    void processStarted(const QString &processId);
    void processFinished(const QString &processId, int exitCode);
    void stdoutReady(const QString &processId, const QByteArray &data);
    void stderrReady(const QString &processId, const QByteArray &data);

public Q_SLOTS:
    void onWindowsProcessExited(int exitCode);
    void handleProcessExit(int exitCode);
    void stopKillTimer();
    void attemptRestart();
    void kill();

private:
    void onReadingFinished();
    void finishExit(int exitCode);
    void stopWorkers(int waitMs);
    void pumpInput();

    const QString m_processId;
    ProcessInfo m_info;
    QTimer m_killTimer;
    QTimer m_restartTimer;
    QTimer m_drainTimer;
    QTimer m_inputTimer;
    QJsonObject m_spec;
    std::shared_ptr<childprocess::Child> m_child;
    std::shared_ptr<OutputGate> m_gate;
    QThread *m_monitorThread = nullptr;
    ProcessMonitorWorker *m_monitorWorker = nullptr;
    QThread *m_ioThread = nullptr;
    ProcessIOWorker *m_ioWorker = nullptr;
    bool m_readingDone = false;
    bool m_exitPending = false;
    int m_pendingExitCode = 0;
    QByteArray m_input;
};
