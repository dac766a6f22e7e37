#include "service/logsink.h"
#include "service/logfile.h"
#include "service/logging.h"

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
    {
        QMutexLocker lock(&m_mutex);
        if (!m_override.isEmpty())
            return m_override;
    }
    const QString base = m_defaultDataDir.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        : m_defaultDataDir;
    if (base.isEmpty())
        return QString();
    const QString dir = base + QDir::separator() + QStringLiteral("Tarn") + QDir::separator() + QStringLiteral("logs");
    logfile::makePath(QDir::toNativeSeparators(dir).toStdString());
    return QDir::toNativeSeparators(dir + QDir::separator() + QStringLiteral("tarnd.log"));
}

void LogSink::setLogFilePath(const QString &path)
{
    {
        QMutexLocker lock(&m_mutex);
        m_override = path;
    }
    qCDebug(lcTarnd) << "Daemon log path set to:" << path;
}

void LogSink::write(QtMsgType type, const QString &message)
{
    const QString timestamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    const QByteArray line = formatLine(timestamp, type, message).toUtf8();

    std::fprintf(stderr, "%s", line.constData());
    std::fflush(stderr);

    const std::string path = logFilePath().toStdString();
    const int count = ++m_counter;

    if (path.empty())
        return;
    QMutexLocker lock(&m_mutex);
    logfile::append(path, line.toStdString());
    if (count % RotationCheckEvery == 0 && logfile::size(path) > RotateAboveBytes) {
        const std::string old = path + ".old";
        logfile::remove(old);
        logfile::rename(path, old);
    }
}
