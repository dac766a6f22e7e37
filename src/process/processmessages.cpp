#include "process/processmessages.h"

#include <QDateTime>

namespace processmessages {

QString timestamp()
{
    return QDateTime::currentDateTime().toString(Qt::ISODate);
}

QJsonObject makeErrorResponse(const QString &error)
{
    return QJsonObject{{"status", "error"}, {"error", error}, {"timestamp", timestamp()}};
}

QJsonObject makeStatusResponse(const QString &status, const QString &message)
{
    QJsonObject o{{"status", status}, {"timestamp", timestamp()}};
    if (!message.isEmpty())
        o.insert("message", message);
    return o;
}

QJsonObject makeEvent(const QString &processId, const QString &event, const QString &data)
{
    QJsonObject o{{"process-id", processId}, {"event", event}, {"timestamp", timestamp()}};
    if (!data.isEmpty())
        o.insert("data", data);
    return o;
}

} // namespace processmessages
