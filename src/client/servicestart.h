#pragma once

// The start of the daemon's service on a client's demand, for a session whose socket is not
// there yet: systemd's StartUnit over D-Bus on Linux (polkit decides), the service control
// manager on Windows (the service's access list lets signed-in users start it).

#include <QObject>
#include <QString>

#include <functional>

namespace servicestart {

// Asks for the start and returns at once; done runs later on this thread, with an empty text
// when the service manager took the start, or else what stopped it. Nothing runs once context
// is gone.
void startService(QObject *context, std::function<void(const QString &refusal)> done);

} // namespace servicestart
