#pragma once

#include <QLoggingCategory>

// The daemon's one logging category. Debug lines are filtered by "tarnd.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcTarnd)
