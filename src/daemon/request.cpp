#include "daemon/request.h"

#include <QHash>

namespace {

Request::Action actionNamed(const QString &name)
{
    using A = Request::Action;
    static const QHash<QString, A> actions{
        {QStringLiteral("client-hello"), A::Hello}, {QStringLiteral("heartbeat"), A::Heartbeat},
        {QStringLiteral("start"), A::Start},        {QStringLiteral("stop"), A::Stop},
        {QStringLiteral("kill"), A::Kill},          {QStringLiteral("restart"), A::Restart},
        {QStringLiteral("status"), A::Status},      {QStringLiteral("list"), A::List},
        {QStringLiteral("stdin"), A::Stdin},        {QStringLiteral("clear-logs"), A::ClearLogs},
    };
    return actions.value(name, A::Unknown);
}

} // namespace

Request Request::read(const QJsonObject &message)
{
    Request r;
    r.actionName = message.value("action").toString();
    r.action = actionNamed(r.actionName);
    r.requestId = message.value("request-id");
    r.processId = message.value("process-id").toString();
    switch (r.action) {
    case Action::Hello:
        r.logPath = message.value("log-path").toString();
        r.version = message.value("version").toString();
        break;
    case Action::Start:
        r.problem = r.process.read(message);
        break;
    case Action::Stdin:
        r.input = message.value("data").toString().toUtf8();
        break;
    default:
        break;
    }
    return r;
}
