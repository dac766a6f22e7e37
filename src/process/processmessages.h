#pragma once
// The JSON shapes the process manager answers and announces with.

#include <QJsonObject>
#include <QString>

namespace processmessages {

QString timestamp();
QJsonObject makeErrorResponse(const QString &error);
QJsonObject makeStatusResponse(const QString &status, const QString &message = QString());
QJsonObject makeEvent(const QString &processId, const QString &event, const QString &data = QString());

} // namespace processmessages
