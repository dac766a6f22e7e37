#include "process/processinfo.h"

#include <QJsonArray>

void ProcessInfo::parse(const QJsonObject &spec)
{
    processId = spec.value("process-id").toString();
    executable = spec.value("executable").toString();
    arguments.clear();
    for (const QJsonValue &v : spec.value("arguments").toArray())
        arguments.append(v.toString());
    workingDir = spec.value("working-dir").toString();
    environment = spec.value("environment").toObject();
    privileges = spec.value("privileges").toString();
    autoRestart = spec.value("auto-restart").toBool(false);
    maxRestartAttempts = spec.value("max-restart-attempts").toInt(3);
    restartDelayMs = spec.value("restart-delay-ms").toInt(1000);
    sessionId = static_cast<quint32>(spec.value("session-id").toInt(0));
}

QString ProcessInfo::validate(const QJsonObject &spec)
{
    if (spec.value("process-id").toString().isEmpty())
        return QStringLiteral("Missing or empty process-id");
    if (spec.value("executable").toString().isEmpty())
        return QStringLiteral("Missing or empty executable");
    return QString();
}
