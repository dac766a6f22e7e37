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
    if (m_running.exchange(false))
        qCDebug(lcTarnd) << "[ProcessMonitorWorker] Signaling stop event";
    if (m_child)
        m_child->stopWaiting();
}

bool OutputChannel::push(const std::string &out, const std::string &err)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool wasEmpty = m_out.isEmpty() && m_err.isEmpty();
    m_out.append(out.data(), qsizetype(out.size()));
    m_err.append(err.data(), qsizetype(err.size()));
    m_inFlight += qint64(out.size() + err.size());
    return wasEmpty;
}

void OutputChannel::finish()
{
    m_ended = true;
}

void OutputChannel::take(QByteArray *out, QByteArray *err)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    *out = std::exchange(m_out, QByteArray());
    *err = std::exchange(m_err, QByteArray());
}

void OutputChannel::consumed(qint64 bytes)
{
    m_inFlight -= bytes;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

void OutputChannel::setHeld(bool held)
{
    m_held = held;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

bool OutputChannel::waitUntilOpen()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_stopped.load() || open(); });
    return !m_stopped.load();
}

void OutputChannel::stop()
{
    m_stopped = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

void OutputChannel::reopen()
{
    m_stopped = false;
    m_ended = false;
}

ProcessIOWorker::ProcessIOWorker(std::shared_ptr<childprocess::Child> child, std::shared_ptr<OutputChannel> channel)
    : m_child(std::move(child))
    , m_channel(std::move(channel))
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
        if (!m_channel->waitUntilOpen())
            break;
        out.clear();
        err.clear();
        more = m_child->readOutput(out, err, ReadChunkBytes, -1);
        if ((!out.empty() || !err.empty()) && m_channel->push(out, err))
            Q_EMIT outputReady();
    }
    if (!more) {
        m_channel->finish();
        Q_EMIT readingFinished();
    }
    m_running = false;
}

void ProcessIOWorker::stopReading()
{
    m_running = false;
    m_channel->stop();
    m_child->wakeReader();
}
