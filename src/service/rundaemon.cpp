#include "service/rundaemon.h"
#include "daemon/tarnddaemon.h"
#include "ipc/sessionbackend.h"
#include "service/logging.h"
#include "service/logsink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMetaObject>

#include <memory>
#include <mutex>

namespace {

// Set by the build (TARND_TEST_HOOKS) for test builds only; production honours no test option.
constexpr bool TestHooks = TARND_TEST_HOOKS;

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
    // Qt's own event loop rather than GLib's, where Qt has the choice (Unix): every frame sent
    // arms and disarms a socket notifier, which GLib makes a walk of its list of descriptors,
    // and a request cost the daemon a quarter more time for it. The choice is the main
    // thread's alone; the children get the environment as it was given.
    const bool givenSet = qEnvironmentVariableIsSet("QT_NO_GLIB");
    const QByteArray given = qgetenv("QT_NO_GLIB");
    qputenv("QT_NO_GLIB", "1");
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    if (givenSet)
        qputenv("QT_NO_GLIB", given);
    else
        qunsetenv("QT_NO_GLIB");
    QCoreApplication::setApplicationName(QStringLiteral("tarnd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARND_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Quillon"));

    auto parser = std::make_unique<QCommandLineParser>();
    parser->setApplicationDescription(QStringLiteral("Tarn Proxy Client Service"));
    parser->addHelpOption();
    parser->addVersionOption();
    // A test build's options: a session where the platform lists none (wine), a socket name of
    // the test's own, and (Windows) the run from a console instead of the service manager, which
    // the host has seen to; the Linux host always runs in the foreground.
    QCommandLineOption testSession(QStringLiteral("test-session"), QString(), QStringLiteral("N"));
    QCommandLineOption testSocketBase(QStringLiteral("test-socket-base"), QString(), QStringLiteral("NAME"));
    QCommandLineOption console(QStringLiteral("console"));
    const QList<QCommandLineOption *> testOptions{&testSession, &testSocketBase, &console};
    for (QCommandLineOption *option : testOptions) {
        option->setFlags(QCommandLineOption::HiddenFromHelp);
        parser->addOption(*option);
    }
    // A service's options come with its start request ("sc start TarnService ARG..."), where
    // nobody reads a console: a bad one fails the start with a log line instead of ending the
    // process unreported.
    const QStringList startArguments = service.startArguments();
    QString refusal;
    if (startArguments.isEmpty())
        parser->process(*app);
    else if (!parser->parse(QStringList(QCoreApplication::arguments().value(0)) + startArguments))
        refusal = parser->errorText();
    publishApplication(app.get());

    QLoggingCategory::setFilterRules(QStringLiteral("tarnd.debug=false"));

    for (const QCommandLineOption *option : testOptions)
        if (refusal.isEmpty() && !TestHooks && parser->isSet(*option))
            refusal = QStringLiteral("--%1 is for test builds only").arg(option->names().constFirst());
    SessionBackend *sessions = nullptr; // the platform's
    if (refusal.isEmpty() && parser->isSet(testSession)) {
        bool ok = false;
        const uint id = parser->value(testSession).toUInt(&ok);
        if (!ok || id == 0)
            refusal = QStringLiteral("--test-session needs a session number above 0");
        else
            sessions = new InjectedSessionBackend(id);
    }
    const QString socketBase = parser->isSet(testSocketBase) ? parser->value(testSocketBase) : QStringLiteral("tarnd");
    if (refusal.isEmpty() && socketBase.isEmpty())
        refusal = QStringLiteral("--test-socket-base needs a name");

    auto daemon = std::make_unique<TarnDaemon>(nullptr, sessions);
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

    if (!refusal.isEmpty()) {
        qCCritical(lcTarnd).noquote() << "Refusing to start:" << refusal;
        tearDown(1);
        return;
    }
    if (!daemon->start(socketBase)) {
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
