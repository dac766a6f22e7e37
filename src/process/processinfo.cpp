#include "process/processinfo.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

QString ProcessInfo::read(const QJsonObject &spec)
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
    const int delay = spec.value("restart-delay-ms").toInt(1000);
    restartDelayMs = std::max(MinRestartDelayMs, delay);
    sessionId = static_cast<quint32>(spec.value("session-id").toInt(0));
    const QJsonObject dns = spec.value("tun-dns-override").toObject();
    dnsAddress = dns.value("address").toString();
    dnsInterface = dns.value("iface").toString();

    if (processId.isEmpty())
        return QStringLiteral("Missing or empty process-id");
    if (processId.size() > MaxProcessIdChars)
        return QStringLiteral("Invalid process-id: longer than %1 characters").arg(MaxProcessIdChars);
    if (executable.isEmpty())
        return QStringLiteral("Missing or empty executable");
    // The system's calls end a text at a NUL: what followed it would be silently dropped.
    const auto holdsNul = [](const QString &s) { return s.contains(QChar(0)); };
    if (holdsNul(executable))
        return QStringLiteral("Invalid executable: contains a NUL character");
    if (std::any_of(arguments.cbegin(), arguments.cend(), holdsNul))
        return QStringLiteral("Invalid arguments: an argument contains a NUL character");
    if (holdsNul(workingDir))
        return QStringLiteral("Invalid working-dir: contains a NUL character");
    qsizetype kept = executable.size() + workingDir.size() + privileges.size() + dnsAddress.size()
                     + dnsInterface.size();
    if (!environment.isEmpty())
        kept += QJsonDocument(environment).toJson(QJsonDocument::Compact).size();
    for (const QString &argument : std::as_const(arguments))
        kept += argument.size();
    if (kept > MaxKeptChars)
        return QStringLiteral("Invalid start: its texts are longer than %1 characters together").arg(MaxKeptChars);
    // A negative budget or delay would leave a record that neither restarts nor finishes.
    if (maxRestartAttempts < 0)
        return QStringLiteral("Invalid max-restart-attempts: must not be negative");
    if (delay < 0)
        return QStringLiteral("Invalid restart-delay-ms: must not be negative");
    return QString();
}
