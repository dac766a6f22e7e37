#pragma once

#include "process/childprocess.h"
#include "process/processinfo.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <memory>

class OutputChannel;
class ProcessIOWorker;
class ProcessMonitorWorker;
class WorkerThread;

// One supervised child: its record, its two worker threads, its stdin queue, stopping and the
// crash restarts. Everything here runs on the main thread but onWindowsProcessExited, which the
// exit monitor calls on its own thread.
//
// Life cycle (phase):
//   Idle ──launch──▶ Running ──exit seen──▶ Exiting ──output ended──▶ (released)
//                                                  ├─ crash, attempts left ─▶ RestartPending
//                                                  └─ otherwise ─▶ Finished
//   RestartPending ──relaunch──▶ Running; ── relaunch failed ─▶ RestartPending or Finished;
//                  ──stop──▶ Finished.
// Every exit, forced or not, passes through Exiting, so each run ends in a relaunch or in
// processFinished. From the moment the exit is seen the record reads as not running and
// nothing is sent to its pid any more.
class ManagedProcess : public QObject
{
    Q_OBJECT
public:
    enum class Phase {
        Idle,           // never launched
        Running,        // the child runs; a stop may have sent Ctrl+C and armed the kill timer
        Exiting,        // its exit is seen; the rest of its output is being read
        RestartPending, // crashed; the restart timer runs
        Finished,       // processFinished has been emitted; nothing more happens
    };

    // Bytes waiting for a child's stdin; a write past this is refused.
    static constexpr qsizetype MaxQueuedInputBytes = 16 * 1024 * 1024;
    static constexpr int InputRetryMs = 10; // while the child's stdin pipe is full
    // What is still read from the pipes once the reader has stopped after an exit.
    static constexpr std::size_t ExitDrainBytes = 4 * 1024 * 1024;

    // exitDrainMs: how long an exit waits for the end of the output, when something the child
    // left behind holds its pipes open.
    ManagedProcess(const QString &processId, QObject *parent, int exitDrainMs);
    ~ManagedProcess() override;

    // What to launch, now and at each restart.
    void setInfo(const ProcessInfo &info);
    bool launch();

    // Ctrl+C now, the kill after timeoutMs (none when below 1), at once if the Ctrl+C cannot go
    // out. Where the Ctrl+C may wait (Child::interruptWaits), returns before it has gone out.
    void stop(int timeoutMs);
    void forceKill();
    void releaseHandles();

    ProcessInfo getInfo() const { return m_info; }
    Phase phase() const { return m_phase; }
    bool running() const { return m_phase == Phase::Running; }
    bool killPending() const { return m_killTimer.isActive(); }
    // The number of the child this record still holds (running or exiting), else -1.
    qint64 childPid() const;

    // Queues bytes for the child's stdin without ever blocking. False when the child is not
    // running, its stdin is broken, or the queue is full. A stop drops what is queued.
    bool writeInput(const QByteArray &data);
    // The memory the stdin queue holds.
    qint64 queuedInputBytes() const { return m_input.size(); }
    // Flow control of the output: held while the receiving client is behind.
    void setOutputHeld(bool held);
    bool outputHeld() const { return m_outputHeld; }
    void outputConsumed(qint64 bytes);
    // The output's finished event frames, in order (OutputChannel::take), and those of them
    // not sent, given back.
    QList<QByteArray> takeOutput(bool closeOpen, bool *pending);
    void giveBackOutput(QList<QByteArray> frames);
    // Whether output of this process still waits to be sent.
    bool holdsOutput() const;

Q_SIGNALS:
    void processStarted(const QString &processId);
    void processFinished(const QString &processId, int exitCode);
    // Event frames wait to be taken, or output waits in a frame not yet finished.
    void outputReady(const QString &processId);

public Q_SLOTS:
    void onWindowsProcessExited(int exitCode);
    void handleProcessExit(int exitCode);
    void stopKillTimer();
    void attemptRestart();
    void kill();

private:
    // What a Ctrl+C's delivery tells: whether it went out, and the lines for the log.
    struct Interrupted
    {
        bool sent = false;
        std::vector<childprocess::LogNote> notes;
    };
    bool sendCtrlC(); // waits for the delivery: where it cannot wait long, or at the record's end
    void killAfterFailedCtrlC();
    void logNotes(const std::vector<childprocess::LogNote> &notes) const;
    void onReadingFinished();
    void finishExit();
    void readRemainingOutput();
    void finish(int exitCode);
    void stopWorkers(int waitMs);
    bool pumpInput();
    void dropInput();

    const QString m_processId;
    const int m_exitDrainMs;
    Phase m_phase = Phase::Idle;
    ProcessInfo m_info;
    int m_exitCode = 0; // of the last exit
    QTimer m_killTimer;
    QTimer m_restartTimer;
    QTimer m_drainTimer;
    QTimer m_inputTimer;
    std::shared_ptr<childprocess::Child> m_child;
    std::shared_ptr<OutputChannel> m_channel;
    bool m_outputHeld = false;
    std::unique_ptr<WorkerThread> m_monitorThread;
    ProcessMonitorWorker *m_monitorWorker = nullptr;
    std::unique_ptr<WorkerThread> m_ioThread;
    ProcessIOWorker *m_ioWorker = nullptr;
    QByteArray m_input;          // the stdin queue, written to the child from m_inputSent on
    qsizetype m_inputSent = 0;
};
