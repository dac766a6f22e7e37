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

    if (!daemon->start()) {
        qCCritical(lcTarnd) << "Failed to start daemon";
        daemon.reset();
        parser.reset();
        app.reset();
        service.reportStopped(1);
        return;
    }

    qCInfo(lcTarnd) << "Daemon ready for connections";
    service.reportRunning();
    QCoreApplication::exec();

    qCInfo(lcTarnd) << "Event loop exited, stopping daemon...";
    daemon->stop();
    qCInfo(lcTarnd) << "Daemon cleanup complete, reporting service stopped";
    service.reportStopped(0);
    // The handler refers to the daemon: withdraw it before the daemon goes.
    service.setCustomControlHandler({});
    daemon.reset();
    parser.reset();
    app.reset();
}
