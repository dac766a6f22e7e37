#include "process/managedprocess.h"
#include "process/childprocess.h"
#include "process/processworkers.h"
#include "service/logging.h"

#include <QFuture>
#include <QPromise>

ManagedProcess::ManagedProcess(const QString &processId, QObject *parent, int exitDrainMs)
    : QObject(parent)
    , m_processId(processId)
    , m_exitDrainMs(exitDrainMs)
    , m_channel(std::make_shared<OutputChannel>(processId, OutputFrames::MaxFrameBytes))
{
    m_info.processId = processId;
    m_killTimer.setSingleShot(true);
    m_restartTimer.setSingleShot(true);
    m_drainTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, &ManagedProcess::kill);
    connect(&m_restartTimer, &QTimer::timeout, this, &ManagedProcess::attemptRestart);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::Exiting)
            finishExit();
    });
    connect(&m_inputTimer, &QTimer::timeout, this, &ManagedProcess::pumpInput);
}

ManagedProcess::~ManagedProcess()
{
    stopWorkers(5000);
    if (m_child) {
        if (m_phase == Phase::Running)
            sendCtrlC();
        releaseHandles();
    }
}

void ManagedProcess::setInfo(const ProcessInfo &info)
{
    m_info = info;
    qCDebug(lcTarnd) << "[ProcessManager] Will create process in session" << m_info.sessionId;
}

qint64 ManagedProcess::childPid() const
{
    return m_child ? m_child->pid() : -1;
}

bool ManagedProcess::launch()
{
    childprocess::LaunchSpec spec;
    spec.executable = m_info.executable.toStdString();
    for (const QString &a : std::as_const(m_info.arguments))
        spec.arguments.push_back(a.toStdString());
    spec.workingDir = m_info.workingDir.toStdString();
    qCDebug(lcTarnd) << "[ProcessManager] Starting process in session" << m_info.sessionId;
    qCDebug(lcTarnd) << "[ProcessManager] Command line:" << m_info.executable << m_info.arguments;

    childprocess::LaunchError error;
    std::unique_ptr<childprocess::Child> child = childprocess::Child::launch(spec, &error);
    if (!child) {
        if (error.step == "create process")
            qCCritical(lcTarnd) << "[ProcessManager] CreateProcess failed:" << error.code;
        else
            qCCritical(lcTarnd).noquote() << "[ProcessManager] Failed to create" << QString::fromStdString(error.step) + ":"
                                          << error.code;
        return false;
    }
    m_child = std::move(child);
    m_channel->reopen();
    m_channel->setHeld(m_outputHeld);

    m_monitorWorker = new ProcessMonitorWorker(m_child);
    connect(m_monitorWorker, &ProcessMonitorWorker::processExited, this, &ManagedProcess::onWindowsProcessExited,
            Qt::DirectConnection);
    m_monitorThread = std::make_unique<WorkerThread>([worker = m_monitorWorker] { worker->startMonitoring(); });
    m_ioWorker = new ProcessIOWorker(m_child, m_channel);
    connect(m_ioWorker, &ProcessIOWorker::outputReady, this, [this] { Q_EMIT outputReady(m_processId); });
    connect(m_ioWorker, &ProcessIOWorker::readingFinished, this, &ManagedProcess::onReadingFinished);
    m_ioThread = std::make_unique<WorkerThread>([worker = m_ioWorker] { worker->startReading(); });
    if (!m_monitorThread->started() || !m_ioThread->started()) {
        // Nobody would see this child's exit or read its output: it is ended, as a launch that
        // failed, and the machine's lack of threads costs this start only.
        const int code = m_monitorThread->started() ? m_ioThread->error() : m_monitorThread->error();
        qCCritical(lcTarnd) << "[ProcessManager] Failed to create worker thread:" << code;
        m_child->terminate();
        if (m_monitorThread->started()) {
            m_monitorThread->finish(2000); // it sees the exit of the kill
        } else {
            int exitCode = 0;
            m_child->waitForExit(&exitCode);
        }
        releaseHandles();
        return false;
    }

    m_info.pid = m_child->pid();
    m_info.state = 2;
    m_info.startTime = QDateTime::currentDateTime();
    m_phase = Phase::Running;
    qCDebug(lcTarnd) << "[ProcessManager] Process started with PID:" << m_info.pid;
    Q_EMIT processStarted(m_processId);
    return true;
}

void ManagedProcess::onWindowsProcessExited(int exitCode)
{
    // On the monitor thread: hand the exit to the main thread.
    QTimer::singleShot(0, this, [this, exitCode] { handleProcessExit(exitCode); });
}

void ManagedProcess::handleProcessExit(int exitCode)
{
    // Only the exit of the child now running counts.
    if (m_phase != Phase::Running)
        return;
    qCDebug(lcTarnd) << "[ProcessManager::handleProcessExit] Processing in main thread for" << m_processId;
    m_killTimer.stop();
    m_phase = Phase::Exiting;
    m_info.state = 0;
    m_info.pid = -1;
    m_exitCode = exitCode;
    dropInput();
    // What the child wrote before it exited goes out before its exit is reported. A pipe held
    // open by something the child left behind gets a bounded wait only.
    if (m_channel->ended())
        finishExit();
    else
        m_drainTimer.start(m_exitDrainMs);
}

void ManagedProcess::onReadingFinished()
{
    // A late report of an earlier run's reader finds its channel reopened, and is no end.
    if (m_phase == Phase::Exiting && m_channel->ended()) {
        m_drainTimer.stop();
        finishExit();
    }
}

void ManagedProcess::readRemainingOutput()
{
    // The reader has stopped, held back or waiting for a pipe that something else keeps open:
    // everything the child wrote is in the pipes by now, and is read without waiting, up to a
    // bound against a leftover that keeps writing. It goes the reader's way, through the
    // channel, so that it is counted like the rest once it has been sent. Not past the bound on
    // what waits unsent: the reader of the next run stops there, and the reads at each exit of a
    // child restarted over and over for a client that takes nothing would add up without end.
    std::string out, err;
    std::size_t left = ExitDrainBytes;
    while (left > 0) {
        if (m_channel->inFlight() >= OutputChannel::MaxInFlightBytes) {
            qCWarning(lcTarnd) << "[ProcessManager] What" << m_processId
                               << "left in its pipes at its exit is not read: its client has not taken what came before";
            return;
        }
        out.clear();
        err.clear();
        const bool more = m_child->readOutput(out, err, std::min(left, ProcessIOWorker::ReadChunkBytes), 0);
        const std::size_t got = out.size() + err.size();
        m_channel->push(out, err);
        left -= std::min(left, got);
        if (!more || got == 0)
            break;
    }
}

void ManagedProcess::finishExit()
{
    const int exitCode = m_exitCode;
    qCDebug(lcTarnd) << "[ProcessManager] Process" << m_processId << "exited with code" << exitCode
                     << "- autoRestart:" << m_info.autoRestart << "restartAttempts:" << m_info.restartAttempts
                     << "maxRestartAttempts:" << m_info.maxRestartAttempts;
    stopWorkers(2000);
    if (m_child)
        readRemainingOutput();
    // Nothing more of this run will come: a character it left cut is not completed by the next.
    m_channel->endRun();
    releaseHandles();
    // Its output goes before its exit or restart is reported.
    Q_EMIT outputReady(m_processId);

    if (m_info.autoRestart && exitCode != 0) {
        if (m_info.restartAttempts < m_info.maxRestartAttempts) {
            ++m_info.restartAttempts;
            qCInfo(lcTarnd) << "[ProcessManager] Process" << m_processId << "crashed (exit code" << exitCode
                            << "), scheduling restart attempt" << m_info.restartAttempts << "of"
                            << m_info.maxRestartAttempts << "in" << m_info.restartDelayMs << "ms";
            m_phase = Phase::RestartPending;
            m_restartTimer.start(m_info.restartDelayMs);
            return;
        }
        qCWarning(lcTarnd) << "[ProcessManager] Process" << m_processId << "exceeded max restart attempts ("
                           << m_info.maxRestartAttempts << "), giving up";
    }
    finish(exitCode);
}

void ManagedProcess::finish(int exitCode)
{
    m_phase = Phase::Finished;
    Q_EMIT processFinished(m_processId, exitCode);
}

void ManagedProcess::stopKillTimer()
{
    m_killTimer.stop();
}

void ManagedProcess::attemptRestart()
{
    if (m_phase != Phase::RestartPending)
        return;
    qCInfo(lcTarnd) << "[ProcessManager] Attempting to restart process" << m_processId << "(attempt"
                    << m_info.restartAttempts << "of" << m_info.maxRestartAttempts << ")";
    if (launch()) {
        qCInfo(lcTarnd) << "[ProcessManager] Process" << m_processId << "restarted successfully";
        return;
    }
    qCWarning(lcTarnd) << "[ProcessManager] Failed to restart process" << m_processId;
    if (m_info.restartAttempts >= m_info.maxRestartAttempts) {
        qCWarning(lcTarnd) << "[ProcessManager] Process" << m_processId << "exceeded max restart attempts, giving up";
        finish(-1);
        return;
    }
    ++m_info.restartAttempts;
    qCInfo(lcTarnd) << "[ProcessManager] Scheduling another restart attempt in" << m_info.restartDelayMs << "ms";
    m_restartTimer.start(m_info.restartDelayMs);
}

void ManagedProcess::stop(int timeoutMs)
{
    qCDebug(lcTarnd) << "[ManagedProcess::stop] Called for process" << m_processId << "with timeout" << timeoutMs;
    if (m_restartTimer.isActive()) {
        qCDebug(lcTarnd) << "[ManagedProcess::stop] Canceling pending restart for process" << m_processId;
        m_restartTimer.stop();
    }
    m_info.autoRestart = false;
    m_info.restartAttempts = 0;
    if (m_phase == Phase::RestartPending) {
        // Nothing runs and nothing will: the process ends here, with the code of its last exit,
        // and its id is free again.
        finish(m_exitCode);
        return;
    }
    if (m_phase != Phase::Running) {
        qCDebug(lcTarnd) << "[ManagedProcess::stop] Process" << m_processId << "already not running (no handle)";
        return;
    }
    qCDebug(lcTarnd) << "[ManagedProcess::stop] Terminating Windows process" << m_processId << "with PID" << m_info.pid;
    // What still waits goes now: left to an ending child, whose owner may be gone already, it
    // would be memory that nobody answers for.
    dropInput();
    const auto armKill = [this, timeoutMs] {
        if (timeoutMs >= 1) {
            m_killTimer.start(timeoutMs);
            qCDebug(lcTarnd) << "[ManagedProcess::stop] Kill timer started for" << timeoutMs << "ms";
        }
    };
    if (!childprocess::Child::interruptWaits()) {
        if (sendCtrlC())
            armKill();
        else
            killAfterFailedCtrlC();
        return;
    }
    // Where the Ctrl+C may wait for the child's console (up to a second for a child that has
    // none), it goes out on a thread of its own, or every other client would wait with it. Its
    // outcome comes back here; the kill timer runs meanwhile. Not a pool's thread: a pool that
    // cannot make one leaves the job unsent for good, and its wait at the exit never ends. Where
    // no thread can be had, it is sent here and waited for.
    qCDebug(lcTarnd) << "[ProcessManager] Sending Ctrl+C to process" << m_info.pid;
    armKill();
    const std::shared_ptr<childprocess::Child> child = m_child;
    auto interrupted = std::make_shared<QPromise<Interrupted>>();
    QFuture<Interrupted> outcome = interrupted->future();
    interrupted->start();
    const auto send = [child, interrupted] {
        Interrupted result;
        result.sent = child->interrupt(&result.notes);
        interrupted->addResult(std::move(result));
        interrupted->finish();
    };
    if (const WorkerThread sender(send); !sender.started())
        send();
    outcome.then(this, [this, which = child.get()](const Interrupted &result) {
        logNotes(result.notes);
        // Only a failure for the run still going matters: an ending child needs no kill.
        if (!result.sent && m_phase == Phase::Running && m_child.get() == which)
            killAfterFailedCtrlC();
    });
}

void ManagedProcess::killAfterFailedCtrlC()
{
    qCWarning(lcTarnd) << "[ManagedProcess::stop] Failed to send Ctrl+C to process" << m_processId
                       << ", killing immediately (handle:" << (m_child ? "valid" : "null") << ")";
    forceKill();
}

bool ManagedProcess::sendCtrlC()
{
    if (m_phase != Phase::Running)
        return false;
    qCDebug(lcTarnd) << "[ProcessManager] Sending Ctrl+C to process" << m_info.pid;
    Interrupted result;
    result.sent = m_child->interrupt(&result.notes);
    logNotes(result.notes);
    return result.sent;
}

void ManagedProcess::logNotes(const std::vector<childprocess::LogNote> &notes) const
{
    for (const childprocess::LogNote &note : notes) {
        if (note.level == childprocess::LogNote::Level::Warning)
            qCWarning(lcTarnd).noquote() << QString::fromStdString(note.text);
        else
            qCDebug(lcTarnd).noquote() << QString::fromStdString(note.text);
    }
}

void ManagedProcess::kill()
{
    m_killTimer.stop();
    if (m_phase != Phase::Running)
        return;
    qCDebug(lcTarnd) << "Killing process" << m_processId << "with PID" << m_info.pid;
    forceKill();
}

void ManagedProcess::forceKill()
{
    if (m_phase != Phase::Running) {
        qCWarning(lcTarnd) << "[ProcessManager] Cannot kill process" << m_processId << "- no handle";
        return;
    }
    qCInfo(lcTarnd) << "[ProcessManager] Forcefully terminating process" << m_processId << "with PID" << m_info.pid;
    // Either way the exit monitor goes on watching: the end, when it comes, is handled like any
    // other exit, and until then the record tells the truth (still running).
    if (m_child->terminate())
        qCInfo(lcTarnd) << "[ProcessManager] TerminateProcess succeeded for" << m_processId;
    else
        qCWarning(lcTarnd) << "[ProcessManager] TerminateProcess failed for" << m_processId
                           << "with error:" << m_child->lastError();
}

void ManagedProcess::stopWorkers(int waitMs)
{
    if (m_monitorWorker)
        m_monitorWorker->stopMonitoring();
    if (m_ioWorker)
        m_ioWorker->stopReading();
    const auto dispose = [this, waitMs](std::unique_ptr<WorkerThread> &thread, auto *&worker) {
        if (thread && !thread->finish(waitMs)) {
            // Still inside the worker: leaving both is better than freeing them under it.
            qCWarning(lcTarnd) << "[ManagedProcess] A worker thread of" << m_processId << "did not stop in time";
        } else {
            delete worker;
        }
        thread.reset();
        worker = nullptr;
    };
    dispose(m_monitorThread, m_monitorWorker);
    dispose(m_ioThread, m_ioWorker);
}

void ManagedProcess::releaseHandles()
{
    stopWorkers(2000);
    m_child.reset();
    dropInput();
    m_info.pid = -1;
    m_info.state = 0;
}

bool ManagedProcess::writeInput(const QByteArray &data)
{
    if (m_phase != Phase::Running || m_input.size() + data.size() > MaxQueuedInputBytes)
        return false;
    // Grown to the byte, so that what the queue is counted as is what it holds.
    m_input.reserve(m_input.size() + data.size());
    m_input.append(data);
    return pumpInput();
}

void ManagedProcess::dropInput()
{
    m_input = QByteArray();
    m_inputSent = 0;
    m_inputTimer.stop();
}

bool ManagedProcess::pumpInput()
{
    // One pipe's worth a turn: a child that reads as fast as the daemon writes would otherwise
    // hold the daemon here until its whole queue had gone, every other client waiting.
    std::int64_t n = 0;
    if (m_inputSent < m_input.size() && m_child) {
        n = m_child->writeInput(m_input.constData() + m_inputSent, std::size_t(m_input.size() - m_inputSent));
        if (n < 0) {
            qCWarning(lcTarnd) << "[ProcessManager] stdin of" << m_processId << "is closed; dropping"
                               << m_input.size() - m_inputSent << "bytes";
            dropInput();
            return false;
        }
        m_inputSent += qsizetype(n);
    }
    // A child that takes a little at a time must not leave the queue's memory at its peak.
    if (m_inputSent == m_input.size()) {
        dropInput();
        return true;
    }
    if (m_inputSent > m_input.size() / 2) {
        m_input = m_input.mid(m_inputSent);
        m_inputSent = 0;
    }
    // The rest goes on the next turn if the pipe took something; a full pipe is retried a little
    // later, never waited on.
    m_inputTimer.start(n > 0 ? 0 : InputRetryMs);
    return true;
}

void ManagedProcess::setOutputHeld(bool held)
{
    m_outputHeld = held;
    m_channel->setHeld(held);
}

void ManagedProcess::outputConsumed(qint64 bytes)
{
    m_channel->consumed(bytes);
}

QList<QByteArray> ManagedProcess::takeOutput(bool closeOpen, bool *pending)
{
    return m_channel->take(closeOpen, pending);
}

void ManagedProcess::giveBackOutput(QList<QByteArray> frames)
{
    m_channel->giveBack(std::move(frames));
}

bool ManagedProcess::holdsOutput() const
{
    return !m_channel->empty();
}
