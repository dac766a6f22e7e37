#include "process/processinfo.h"

#include <QJsonArray>

#include <algorithm>

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
    restartDelayMs = std::max(MinRestartDelayMs, spec.value("restart-delay-ms").toInt(1000));
    sessionId = static_cast<quint32>(spec.value("session-id").toInt(0));
}

QString ProcessInfo::validate(const QJsonObject &spec)
{
    if (spec.value("process-id").toString().isEmpty())
        return QStringLiteral("Missing or empty process-id");
    if (spec.value("process-id").toString().size() > MaxProcessIdChars)
        return QStringLiteral("Invalid process-id: longer than %1 characters").arg(MaxProcessIdChars);
    if (spec.value("executable").toString().isEmpty())
        return QStringLiteral("Missing or empty executable");
    // The system's calls end a text at a NUL: what followed it would be silently dropped.
    const auto holdsNul = [](const QString &s) { return s.contains(QChar(0)); };
    if (holdsNul(spec.value("executable").toString()))
        return QStringLiteral("Invalid executable: contains a NUL character");
    const QJsonArray arguments = spec.value("arguments").toArray();
    if (std::any_of(arguments.begin(), arguments.end(), [&](const QJsonValue &v) { return holdsNul(v.toString()); }))
        return QStringLiteral("Invalid arguments: an argument contains a NUL character");
    if (holdsNul(spec.value("working-dir").toString()))
        return QStringLiteral("Invalid working-dir: contains a NUL character");
    // A negative budget or delay would leave a record that neither restarts nor finishes.
    for (const char *key : {"max-restart-attempts", "restart-delay-ms"}) {
        if (spec.value(QLatin1String(key)).toInt(0) < 0)
            return QStringLiteral("Invalid %1: must not be negative").arg(QLatin1String(key));
    }
    return QString();
}
