#include "service/rundaemon.h"
#include "daemon/tarnddaemon.h"
#include "service/logging.h"
#include "service/logsink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMetaObject>

#include <memory>

void requestDaemonStop()
{
    qCInfo(lcTarnd) << "Service stop requested, quitting event loop...";
    QCoreApplication::quit();
}

void runDaemon(int argc, char **argv, ServiceControl &service)
{
    qInstallMessageHandler(LogSink::messageHandler);
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARND_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Quillon"));

    auto parser = std::make_unique<QCommandLineParser>();
    parser->setApplicationDescription(QStringLiteral("Tarn Proxy Client Service"));
    parser->addHelpOption();
    parser->addVersionOption();
    parser->process(*app);

    QLoggingCategory::setFilterRules(QStringLiteral("tarnd.debug=false"));

    auto daemon = std::make_unique<TarnDaemon>();
    TarnDaemon *target = daemon.get();
    service.setCustomControlHandler([target](quint32 code) {
        if (code != ShutdownClientsControl)
            return;
        qCInfo(lcTarnd) << "Received SERVICE_CONTROL_SHUTDOWN_CLIENTS from installer";
        QMetaObject::invokeMethod(target, "broadcastClientShutdown", Qt::QueuedConnection);
    });
    // One way out for both ends: the handler refers to the daemon and is withdrawn first; the
    // host lets go of what it holds of the application (its notifier) when told of the stop;
    // then the rest goes in the reverse order of its making.
    const auto tearDown = [&](quint32 exitCode) {
        service.setCustomControlHandler({});
        service.reportStopped(exitCode);
        daemon.reset();
        parser.reset();
        app.reset();
    };

    if (!daemon->start()) {
        qCCritical(lcTarnd) << "Failed to start daemon";
        tearDown(1);
        return;
    }

    qCInfo(lcTarnd) << "Daemon ready for connections";
    service.reportRunning();
    QCoreApplication::exec();

    qCInfo(lcTarnd) << "Event loop exited, stopping daemon...";
    daemon->stop();
    qCInfo(lcTarnd) << "Daemon cleanup complete, reporting service stopped";
    tearDown(0);
}
