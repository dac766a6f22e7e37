#include "service/logsink.h"
#include "service/logfile.h"
#include "service/logging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QStandardPaths>

#include <cstdio>

Q_LOGGING_CATEGORY(lcTarnd, "tarnd", QtDebugMsg)

LogSink::LogSink(const QString &defaultDataDir)
    : m_defaultDataDir(defaultDataDir)
{
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

QString LogSink::logFilePath() const
{
    return target().first;
}

std::pair<QString, logfile::Identity> LogSink::target() const
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_override.isEmpty())
            return {m_override, m_owner};
    }
    const QString base = m_defaultDataDir.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        : m_defaultDataDir;
    if (base.isEmpty())
        return {};
    const QString dir = base + QDir::separator() + QStringLiteral("Tarn") + QDir::separator() + QStringLiteral("logs");
    logfile::makePath(QDir::toNativeSeparators(dir).toStdString());
    return {QDir::toNativeSeparators(dir + QDir::separator() + QStringLiteral("tarnd.log")), logfile::Identity()};
}

logfile::Identity LogSink::logFileOwner() const
{
    return target().second;
}

void LogSink::setLogFilePath(const QString &path, const logfile::Identity &owner)
{
    {
        QMutexLocker lock(&m_mutex);
        m_override = path;
        m_owner = owner;
        m_failureReported = false;
    }
    qCDebug(lcTarnd) << "Daemon log path set to:" << path;
}

void LogSink::write(QtMsgType type, const QString &message)
{
    const QString timestamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    const QByteArray line = formatLine(timestamp, type, message).toUtf8();

    std::fprintf(stderr, "%s", line.constData());
    std::fflush(stderr);

    const auto [chosen, owner] = target();
    const std::string path = chosen.toStdString();
    const int count = ++m_counter;

    if (path.empty())
        return;
    bool reportFailure = false;
    {
        QMutexLocker lock(&m_mutex);
        if (!logfile::append(path, line.toStdString(), owner) && !owner.daemon && !m_failureReported) {
            m_failureReported = true;
            reportFailure = true;
        }
        if (count % RotationCheckEvery == 0 && logfile::size(path, owner) > RotateAboveBytes) {
            const std::string old = path + ".old";
            logfile::remove(old, owner);
            logfile::rename(path, old, owner);
        }
    }
    // Inside a message handler Qt prints further messages past the handler, so the warning is
    // posted to the event loop and comes back through the sink from there.
    if (reportFailure && QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [chosen = chosen] {
                qCWarning(lcTarnd) << "The log file" << chosen
                                   << "cannot be written with the rights of the client that chose it;"
                                      " log lines go to standard error only";
            },
            Qt::QueuedConnection);
    }
}
