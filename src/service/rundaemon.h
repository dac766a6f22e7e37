#pragma once

#include <QStringList>
#include <QtGlobal>

#include <functional>

// What the run body needs of whatever hosts it: the Windows service runtime, or the Linux
// foreground host that systemd runs.
class ServiceControl
{
public:
    virtual ~ServiceControl() = default;
    // Called on the host's control thread with user-defined control codes (128: shut clients down).
    virtual void setCustomControlHandler(std::function<void(quint32)> handler) = 0;
    virtual void reportRunning() = 0;
    // exitCode 0 after a normal run, 1 when the daemon failed to start.
    virtual void reportStopped(quint32 exitCode) = 0;
    // The options of the start request, apart from the program's command line (Windows:
    // StartServiceW's arguments); none by default.
    virtual QStringList startArguments() const { return {}; }
};

// The service's main function: from the application object to the daemon's shutdown.
void runDaemon(int argc, char **argv, ServiceControl &service);

// The host's reaction to a stop or shutdown control; safe from any thread.
void requestDaemonStop();

constexpr quint32 ShutdownClientsControl = 128;
