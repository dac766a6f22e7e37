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
    std::unique_lock<std::mutex> lock(m_writers->mutex);
    m_writers->quit = true;
    m_writers->held = false;
    m_writers->changed.notify_all();
    const auto allEnded = [this] {
        for (const auto &[key, writer] : m_writers->byKey)
            if (writer->thread.joinable() && !writer->ended)
                return false;
        return true;
    };
    m_writers->changed.wait_for(lock, std::chrono::milliseconds(WriterEndWaitMs), allEnded);
    m_writers->abandoned = true;
    // A writer in the middle of a report is inside this sink (or the handler that leads to it)
    // and is let finish: it waits on nothing a file system holds, only on standard error, as
    // every thread that logs does.
    m_writers->changed.wait(lock, [this] { return m_writers->reporting == 0; });
    for (auto &[key, writer] : m_writers->byKey) {
        if (!writer->thread.joinable())
            continue;
        // One still in a call to a file system that does not answer may never come back.
        if (writer->ended)
            writer->thread.join();
        else
            writer->thread.detach();
    }
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
            return {{m_override, m_owner, QString()}, count};
    }
    return {{defaultPath(), logfile::Identity(), QString()}, count, true};
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
                                const logfile::Identity &owner, const QString &writer)
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
        chosen.append({client, {path, owner, writer}, lines});
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
        std::lock_guard<std::mutex> lock(m_writers->mutex);
        if (m_writers->quit)
            return;
        std::unique_ptr<Writer> &slot = m_writers->byKey[target.writer.toStdString()];
        if (!slot)
            slot = std::make_unique<Writer>();
        Writer &writer = *slot;
        if (writer.queue.size() >= std::size_t(m_bounds.lines) || writer.queuedBytes + line.size() > m_bounds.bytes) {
            ++writer.dropped;
            return;
        }
        if (!writer.thread.joinable()) {
            try {
                writer.thread = std::thread(writerLoop, m_writers, &writer, this);
            } catch (const std::system_error &) {
                ++writer.dropped; // no thread to be had yet: counted as lost, and the next line tries again
                return;
            }
        }
        writer.queue.push_back({target.path.toStdString(), std::move(target.owner), line, count, ownFolder});
        writer.queuedBytes += line.size();
    }
    m_writers->changed.notify_all();
}

bool LogSink::flush(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_writers->mutex);
    return m_writers->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        for (const auto &[key, writer] : m_writers->byKey)
            if (!writer->queue.empty() || !writer->writing.empty())
                return false;
        return true;
    });
}

void LogSink::holdWriter(bool held)
{
    {
        std::lock_guard<std::mutex> lock(m_writers->mutex);
        m_writers->held = held;
    }
    m_writers->changed.notify_all();
}

void LogSink::discardPending(const QString &path, int timeoutMs)
{
    const std::string file = path.toStdString();
    std::unique_lock<std::mutex> lock(m_writers->mutex);
    for (auto &[key, writer] : m_writers->byKey) {
        for (auto it = writer->queue.begin(); it != writer->queue.end();) {
            if (it->path == file) {
                writer->queuedBytes -= it->line.size();
                it = writer->queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    m_writers->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto &[key, writer] : m_writers->byKey)
            if (writer->writing == file)
                return false;
        return true;
    });
}

void LogSink::writerLoop(const std::shared_ptr<Writers> &writers, Writer *writer, LogSink *sink)
{
    Writers &w = *writers;
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        w.changed.wait(lock, [&] { return w.quit || (!w.held && !writer->queue.empty()); });
        if (writer->queue.empty() || w.held) {
            if (w.quit)
                break;
            continue;
        }
        const Pending next = std::move(writer->queue.front());
        writer->queue.pop_front();
        writer->queuedBytes -= next.line.size();
        writer->writing = next.path;
        lock.unlock();
        const bool failed = writeOut(w, next);
        lock.lock();
        writer->writing.clear();
        w.changed.notify_all();
        if (w.abandoned)
            return; // the sink is gone: nothing of it may be touched
        const int dropped = writer->queue.empty() && !w.quit ? std::exchange(writer->dropped, 0) : 0;
        if (!failed && dropped == 0)
            continue;
        ++w.reporting;
        lock.unlock();
        if (failed)
            qCWarning(lcTarnd) << "The log file" << QString::fromStdString(next.path)
                               << "cannot be written with the rights of the client that chose it;"
                                  " log lines go to standard error only";
        // Into the sink's own file (whatever handler is installed): this queue has room again.
        if (dropped > 0)
            sink->write(QtWarningMsg, QStringLiteral("%1 log line(s) were left out of the log file, which could not keep up")
                                          .arg(dropped));
        lock.lock();
        --w.reporting;
        w.changed.notify_all();
    }
    writer->ended = true;
    w.changed.notify_all();
}

bool LogSink::writeOut(Writers &writers, const Pending &p)
{
    const std::string bytes = p.line.toStdString();
    bool written = logfile::append(p.path, bytes, p.owner);
    // The daemon's own folder is made here, on the writer's thread, when a line finds it missing
    // (at the first line, or after somebody removed it), not looked for at every line written.
    if (!written && p.ownFolder) {
        const std::string::size_type slash = p.path.find_last_of("/\\");
        if (slash != std::string::npos && logfile::makePath(p.path.substr(0, slash)))
            written = logfile::append(p.path, bytes, p.owner);
    }
    if ((p.count % RotationCheckEvery == 0 || p.line.size() >= CheckAfterLineBytes)
        && logfile::size(p.path, p.owner) > RotateAboveBytes) {
        const std::string old = p.path + ".old";
        logfile::remove(old, p.owner);
        logfile::rename(p.path, old, p.owner);
    }
    if (written || p.owner.daemon)
        return false;
    std::lock_guard<std::mutex> lock(writers.mutex);
    // Bounded however many paths clients name.
    if (writers.failuresReported.size() >= 64 && !writers.failuresReported.count(p.path))
        writers.failuresReported.clear();
    return writers.failuresReported.insert(p.path).second;
}
