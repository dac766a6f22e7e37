#include "process/processworkers.h"
#include "process/childprocess.h"
#include "process/processmessages.h"
#include "service/logging.h"

#include <system_error>

WorkerThread::WorkerThread(std::function<void()> body)
{
    std::packaged_task<void()> task(std::move(body));
    m_done = task.get_future();
    try {
        m_thread = std::thread(std::move(task));
    } catch (const std::system_error &e) {
        m_error = e.code().value();
    }
}

WorkerThread::~WorkerThread()
{
    if (m_thread.joinable())
        m_thread.detach();
}

bool WorkerThread::finish(int waitMs)
{
    if (!m_thread.joinable())
        return true;
    if (m_done.wait_for(std::chrono::milliseconds(waitMs)) != std::future_status::ready)
        return false;
    m_thread.join();
    return true;
}

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

OutputChannel::OutputChannel(const QString &processId, qsizetype maxFrameBytes)
    : m_stdout(processId, QStringLiteral("stdout"), maxFrameBytes, processmessages::timestamp)
    , m_stderr(processId, QStringLiteral("stderr"), maxFrameBytes, processmessages::timestamp)
{
}

bool OutputChannel::push(const std::string &out, const std::string &err)
{
    // One pusher at a time: the main thread's after a reader that would not stop.
    std::lock_guard<std::mutex> pusher(m_pushMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_encoding = true;
    }
    const qint64 before = produced();
    QList<QByteArray> done;
    m_stdout.append(out.data(), qsizetype(out.size()), &done);
    m_stderr.append(err.data(), qsizetype(err.size()), &done);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_encoding = false;
    m_inFlight += produced() - before;
    m_frames.append(std::move(done));
    if (std::exchange(m_closeRequested, false))
        finishOpen(false);
    return tellLocked();
}

bool OutputChannel::tellLocked()
{
    if (m_told || (m_frames.isEmpty() && (m_openKnown || !hasOpen())))
        return false;
    m_told = true;
    return true;
}

void OutputChannel::finishOpen(bool final)
{
    const qint64 before = produced();
    m_stdout.finish(final, &m_frames);
    m_stderr.finish(final, &m_frames);
    m_inFlight += produced() - before;
}

void OutputChannel::finish()
{
    m_ended = true;
}

QList<QByteArray> OutputChannel::take(bool closeOpen, bool *pending)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (closeOpen) {
        if (m_encoding)
            m_closeRequested = true;
        else
            finishOpen(false);
    }
    // While the reader is at work, what it is making counts as open unless it is to finish it.
    m_openKnown = m_encoding ? !m_closeRequested : hasOpen();
    m_told = false;
    *pending = m_openKnown;
    return std::exchange(m_frames, QList<QByteArray>());
}

void OutputChannel::giveBack(QList<QByteArray> frames)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    frames.append(std::move(m_frames));
    m_frames = std::move(frames);
}

void OutputChannel::endRun()
{
    std::lock_guard<std::mutex> pusher(m_pushMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    finishOpen(true);
}

bool OutputChannel::empty()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_encoding && m_frames.isEmpty() && !hasOpen();
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
    childprocess::lowerReaderPriority();
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
