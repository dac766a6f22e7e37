#include "process/processmanager.h"
#include "process/processinfo.h"
#include "process/processmessages.h"
#include "service/logging.h"

#include <QJsonArray>

using namespace processmessages;

ProcessManager::ProcessManager(QObject *parent)
    : QObject(parent)
{
}

ProcessManager::~ProcessManager() = default;

QJsonObject ProcessManager::startProcess(const QJsonObject &spec)
{
    const QString problem = ProcessInfo::validate(spec);
    if (!problem.isEmpty())
        return makeErrorResponse(problem);
    const QString id = spec.value("process-id").toString();
    if (m_processes.contains(id))
        return makeErrorResponse(QStringLiteral("Process already exists: ") + id);
    ProcessInfo info;
    info.parse(spec);
    qCDebug(lcTarnd) << "[ProcessManager] Will create process in session" << info.sessionId;
    return makeErrorResponse(QStringLiteral("Failed to start process: ") + id);
}

QJsonObject ProcessManager::stopProcess(const QString &processId)
{
    qCDebug(lcTarnd) << "[ProcessManager] stopProcess called for" << processId;
    qCWarning(lcTarnd) << "[ProcessManager] Process not found:" << processId;
    return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
}

QJsonObject ProcessManager::killProcess(const QString &processId)
{
    return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
}

QJsonObject ProcessManager::restartProcess(const QString &processId)
{
    return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
}

QJsonObject ProcessManager::getProcessStatus(const QString &processId) const
{
    return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
}

QJsonObject ProcessManager::listProcesses() const
{
    QJsonObject r = makeStatusResponse(QStringLiteral("success"));
    r.insert("processes", QJsonArray());
    return r;
}

bool ProcessManager::writeToProcess(const QString &, const QByteArray &)
{
    return false;
}

void ProcessManager::stopAll(int)
{
    qCInfo(lcTarnd) << "[ProcessManager] No processes to stop";
}
