#include "service/logging.h"

#include <QString>

Q_LOGGING_CATEGORY(lcTarnd, "tarnd", QtDebugMsg)

QString clientText(const QString &text)
{
    if (text.size() <= MaxLoggedClientChars)
        return text;
    return text.left(MaxLoggedClientChars) + QStringLiteral("\u2026 (%1 characters)").arg(text.size());
}
