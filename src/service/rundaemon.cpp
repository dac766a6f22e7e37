#include "service/rundaemon.h"
#include "daemon/tarnddaemon.h"
#include "service/logging.h"
#include "service/logsink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMetaObject>

#include <memory>
#include <mutex>

namespace {

// A stop may come from the host's control thread at any moment: before the application object
// exists, before its event loop runs, or while it is torn down. It is a posted quit event,
// which the loop takes when it runs, sent only while the object is known to live.
std::mutex g_appLock;
QCoreApplication *g_app = nullptr;
bool g_stopRequested = false;

// Under g_appLock.
void quitIfAsked()
{
    if (g_app && g_stopRequested)
        QCoreApplication::postEvent(g_app, new QEvent(QEvent::Quit));
}

void publishApplication(QCoreApplication *app)
{
    const std::lock_guard<std::mutex> lock(g_appLock);
    g_app = app;
    quitIfAsked();
}

} // namespace

void requestDaemonStop()
{
    qCInfo(lcTarnd) << "Service stop requested, quitting event loop...";
    const std::lock_guard<std::mutex> lock(g_appLock);
    g_stopRequested = true;
    quitIfAsked();
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
    publishApplication(app.get());

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
        publishApplication(nullptr);
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
