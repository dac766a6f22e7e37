#pragma once

#include <QLoggingCategory>

// The daemon's one logging category. Debug lines are filtered by "tarnd.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcTarnd)

class QString;

// A text a client chose (an id, a path, a version), as it may appear in a log line: at most
// MaxLoggedClientChars characters, and past that the start, an ellipsis and the full length,
// so that a few large requests cannot fill the disk through the log.
constexpr int MaxLoggedClientChars = 256;
QString clientText(const QString &text);
