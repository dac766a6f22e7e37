#include "process/processworkers.h"
#include "process/childprocess.h"
#include "service/logging.h"

ProcessMonitorWorker::ProcessMonitorWorker(std::shared_ptr<childprocess::Child> child)
    : m_child(std::move(child))
{
}

ProcessMonitorWorker::~ProcessMonitorWorker()
{
    stopMonitoring();
}

void ProcessMonitorWorker::startMonitoring()
{
    if (!m_child)
        return;
    m_running = true;
    qCDebug(lcTarnd) << "[ProcessMonitorWorker] Starting process monitoring";
    int exitCode = 0;
    const bool exited = m_child->waitForExit(&exitCode);
    if (!m_running.load()) {
        qCDebug(lcTarnd) << "[ProcessMonitorWorker] Monitoring stopped";
        return;
    }
    if (exited) {
        qCDebug(lcTarnd) << "[ProcessMonitorWorker] Process exited with code:" << static_cast<quint32>(exitCode)
                         << "- about to emit signal";
        Q_EMIT processExited(exitCode);
    } else {
        qCWarning(lcTarnd) << "[ProcessMonitorWorker] Waiting for the process failed:" << m_child->lastError();
    }
    m_running = false;
}

void ProcessMonitorWorker::stopMonitoring()
{
    // The flag goes first: a wait that returns now reports nothing.
    if (m_running.exchange(false)) {
        qCDebug(lcTarnd) << "[ProcessMonitorWorker] Signaling stop event";
        m_child->stopWaiting();
    } else if (m_child) {
        m_child->stopWaiting();
    }
}

void OutputGate::consumed(qint64 bytes)
{
    m_inFlight -= bytes;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

void OutputGate::setHeld(bool held)
{
    m_held = held;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

bool OutputGate::waitUntilOpen()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_stopped.load() || open(); });
    return !m_stopped.load();
}

void OutputGate::stop()
{
    m_stopped = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

ProcessIOWorker::ProcessIOWorker(const QString &processId, std::shared_ptr<childprocess::Child> child,
                                 std::shared_ptr<OutputGate> gate)
    : m_processId(processId)
    , m_child(std::move(child))
    , m_gate(std::move(gate))
{
}

ProcessIOWorker::~ProcessIOWorker()
{
    m_running = false;
}

void ProcessIOWorker::startReading()
{
    m_running = true;
    std::string out, err;
    bool more = true;
    while (more && m_running.load()) {
        if (!m_gate->waitUntilOpen())
            break;
        out.clear();
        err.clear();
        more = m_child->readOutput(out, err, ReadChunkBytes, -1);
        if (!out.empty()) {
            m_gate->add(qint64(out.size()));
            Q_EMIT stdoutReady(m_processId, QByteArray(out.data(), qsizetype(out.size())));
        }
        if (!err.empty()) {
            m_gate->add(qint64(err.size()));
            Q_EMIT stderrReady(m_processId, QByteArray(err.data(), qsizetype(err.size())));
        }
    }
    if (!more)
        Q_EMIT readingFinished();
    m_running = false;
}

void ProcessIOWorker::stopReading()
{
    m_running = false;
    m_gate->stop();
    m_child->wakeReader();
}
