#include "service/logsink.h"
#include "service/logfile.h"
#include "service/logging.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <system_error>

LogSink::LogSink(const QString &defaultDataDir)
    : LogSink(defaultDataDir, QueueBounds{})
{
}

LogSink::LogSink(const QString &defaultDataDir, QueueBounds bounds)
    : m_defaultDataDir(defaultDataDir)
    , m_bounds(bounds)
{
}

LogSink::~LogSink()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_quit = true;
        m_held = false;
    }
    m_queueChanged.notify_all();
    if (m_writer.joinable())
        m_writer.join();
}

LogSink &LogSink::instance()
{
    static LogSink sink;
    return sink;
}

void LogSink::messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    instance().write(type, message);
}

QString LogSink::levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QStringLiteral("DEBUG");
    case QtInfoMsg: return QStringLiteral("INFO");
    case QtWarningMsg: return QStringLiteral("WARNING");
    case QtCriticalMsg: return QStringLiteral("CRITICAL");
    case QtFatalMsg: return QStringLiteral("FATAL");
    }
    return QString();
}

QString LogSink::formatLine(const QString &timestamp, QtMsgType type, const QString &message)
{
    // One pass over the pattern: markers inside the message are never expanded.
    return QStringLiteral("[%1] %2: %3\n").arg(timestamp, levelName(type), message);
}

namespace {
// The session the lines of this thread are about, while a SessionScope says so.
thread_local std::optional<quint32> t_session;
} // namespace

LogSink::SessionScope::SessionScope(std::optional<quint32> session)
    : m_outer(t_session)
{
    t_session = session;
}

LogSink::SessionScope::~SessionScope()
{
    t_session = m_outer;
}

QString LogSink::logFilePath() const
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_override.isEmpty())
            return m_override;
    }
    return defaultPath();
}

QString LogSink::defaultPath() const
{
    const QString base = m_defaultDataDir.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        : m_defaultDataDir;
    if (base.isEmpty())
        return QString();
    return QDir::toNativeSeparators(base + QStringLiteral("/Tarn/logs/tarnd.log"));
}

LogSink::Next LogSink::nextLine()
{
    quint32 count = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (t_session) {
            const auto it = m_sessions.find(*t_session);
            if (it != m_sessions.end())
                return {it->last().target, ++it->last().lines};
        }
        count = ++m_ownLines;
        if (!m_override.isEmpty())
            return {{m_override, m_owner}, count};
    }
    return {{defaultPath(), logfile::Identity()}, count, true};
}

void LogSink::setLogFilePath(const QString &path, const logfile::Identity &owner)
{
    {
        QMutexLocker lock(&m_mutex);
        m_override = path;
        m_owner = owner;
    }
    qCDebug(lcTarnd) << "Daemon log path set to:" << path;
}

void LogSink::setSessionLogPath(quint32 session, const QString &client, const QString &path,
                                const logfile::Identity &owner)
{
    {
        QMutexLocker lock(&m_mutex);
        QList<Chosen> &chosen = m_sessions[session];
        // The same file named again keeps its count, so hellos cannot put off its rotation.
        quint32 lines = 0;
        chosen.removeIf([&](const Chosen &c) {
            if ((c.client == client || c.left) && c.target.path == path)
                lines = c.lines;
            return c.client == client || c.left;
        });
        chosen.append({client, {path, owner}, lines});
    }
    qCDebug(lcTarnd) << "Daemon log path set to:" << path;
}

void LogSink::forgetClient(const QString &client)
{
    QMutexLocker lock(&m_mutex);
    // A client that leaves takes its choice with it while another of the session has made one;
    // the last choice stays the session's (a hello from tarnctl is a client of its own).
    for (QList<Chosen> &chosen : m_sessions) {
        if (chosen.size() == 1 && chosen.first().client == client)
            chosen.first().left = true;
        else
            chosen.removeIf([&client](const Chosen &c) { return c.client == client; });
    }
}

void LogSink::forgetSession(quint32 session)
{
    QMutexLocker lock(&m_mutex);
    m_sessions.remove(session);
}

void LogSink::forgetClients()
{
    QMutexLocker lock(&m_mutex);
    m_sessions.clear();
}

LogSink::Target LogSink::sessionLogFile(quint32 session) const
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_sessions.constFind(session);
    return it == m_sessions.cend() ? Target() : it->last().target;
}

void LogSink::write(QtMsgType type, const QString &message)
{
    const QString timestamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    const QByteArray line = formatLine(timestamp, type, message).toUtf8();

    std::fprintf(stderr, "%s", line.constData());
    std::fflush(stderr);

    auto [target, count, ownFolder] = nextLine();
    ++m_counter;
    if (target.path.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_quit)
            return;
        if (m_queue.size() >= std::size_t(m_bounds.lines) || m_queuedBytes + line.size() > m_bounds.bytes) {
            ++m_dropped;
            return;
        }
        if (!m_writer.joinable()) {
            try {
                m_writer = std::thread([this] { writerLoop(); });
            } catch (const std::system_error &) {
                ++m_dropped; // no thread to be had yet: counted as lost, and the next line tries again
                return;
            }
        }
        m_queue.push_back({target.path.toStdString(), std::move(target.owner), line, count, ownFolder});
        m_queuedBytes += line.size();
    }
    m_queueChanged.notify_all();
}

bool LogSink::flush(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_queueMutex);
    return m_queueChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return m_queue.empty() && !m_writing; });
}

void LogSink::holdWriter(bool held)
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_held = held;
    }
    m_queueChanged.notify_all();
}

void LogSink::discardPending(const QString &path, int timeoutMs)
{
    const std::string file = path.toStdString();
    std::unique_lock<std::mutex> lock(m_queueMutex);
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->path == file) {
            m_queuedBytes -= it->line.size();
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
    m_queueChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_writing; });
}

void LogSink::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_queueMutex);
    for (;;) {
        m_queueChanged.wait(lock, [this] { return m_quit || (!m_held && !m_queue.empty()); });
        if (m_queue.empty() || m_held) {
            if (m_quit)
                return;
            continue;
        }
        const Pending next = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= next.line.size();
        m_writing = true;
        lock.unlock();
        writeOut(next);
        lock.lock();
        m_writing = false;
        if (m_queue.empty() && m_dropped > 0) {
            const int dropped = std::exchange(m_dropped, 0);
            lock.unlock();
            // Into this sink's own file (whatever handler is installed): the queue has room again.
            write(QtWarningMsg, QStringLiteral("%1 log line(s) were left out of the log file, which could not keep up")
                                    .arg(dropped));
            lock.lock();
        }
        m_queueChanged.notify_all();
    }
}

void LogSink::writeOut(const Pending &p)
{
    bool reportFailure = false;
    const std::string bytes = p.line.toStdString();
    bool written = logfile::append(p.path, bytes, p.owner);
    // The daemon's own folder is made here, on the writer's thread, when a line finds it missing
    // (at the first line, or after somebody removed it), not looked for at every line written.
    if (!written && p.ownFolder) {
        const std::string::size_type slash = p.path.find_last_of("/\\");
        if (slash != std::string::npos && logfile::makePath(p.path.substr(0, slash)))
            written = logfile::append(p.path, bytes, p.owner);
    }
    if (!written && !p.owner.daemon) {
        QMutexLocker lock(&m_mutex);
        const QString path = QString::fromStdString(p.path);
        reportFailure = !m_failuresReported.contains(path);
        if (reportFailure) {
            // Bounded however many paths clients name.
            if (m_failuresReported.size() >= 64)
                m_failuresReported.clear();
            m_failuresReported.insert(path);
        }
    }
    if ((p.count % RotationCheckEvery == 0 || p.line.size() >= CheckAfterLineBytes)
        && logfile::size(p.path, p.owner) > RotateAboveBytes) {
        const std::string old = p.path + ".old";
        logfile::remove(old, p.owner);
        logfile::rename(p.path, old, p.owner);
    }
    if (reportFailure) {
        qCWarning(lcTarnd) << "The log file" << QString::fromStdString(p.path)
                           << "cannot be written with the rights of the client that chose it;"
                              " log lines go to standard error only";
    }
}
