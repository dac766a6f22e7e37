// A Qt application that has the daemon start a core and follows its output.
//   tarn-follow [--socket PATH] ID EXECUTABLE [ARGUMENTS...]
// Exits with the core's exit code, or 3 when the daemon cannot be reached or is lost.

#include <tarnclient.h>

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    TarnClient client;
    // After a crash of the daemon (which takes the core with it) the core starts again on ready.
    client.setAutoReconnect(true);
    if (args.size() >= 2 && args.first() == QLatin1String("--socket")) {
        client.setSocketPath(args.at(1));
        args = args.mid(2);
    }
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: tarn-follow [--socket PATH] ID EXECUTABLE [ARGUMENTS...]\n";
        return 2;
    }
    const QString id = args.takeFirst();
    const QString executable = args.takeFirst();
    QTextStream out(stdout), err(stderr);

    // Output arrives as events of the process this client started; only its owner hears them.
    QObject::connect(&client, &TarnClient::processOutput, [&](const QString &pid, const QString &text) {
        if (pid == id)
            out << "[" << id << "] " << text << Qt::flush;
    });
    QObject::connect(&client, &TarnClient::processErrorOutput, [&](const QString &pid, const QString &text) {
        if (pid == id)
            err << "[" << id << "!] " << text << Qt::flush;
    });
    QObject::connect(&client, &TarnClient::processFinished, [&](const QString &pid, int code) {
        if (pid == id) {
            out << "[" << id << "] finished with exit code " << code << Qt::endl;
            QCoreApplication::exit(code);
        }
    });
    QObject::connect(&client, &TarnClient::daemonLost, [&](const QString &reason) {
        err << "tarn-follow: " << reason << Qt::endl;
        QCoreApplication::exit(3);
    });

    // Once connected (and greeted), ask for the start; the answer comes back asynchronously.
    QObject::connect(&client, &TarnClient::ready, [&] {
        out << "connected to tarnd " << client.daemonVersion() << Qt::endl;
        TarnStartOptions options;
        options.autoRestart = true;
        options.maxRestartAttempts = 2;
        client.request(TarnClient::startRequest(id, executable, args, options), &app, [&](const TarnReply &reply) {
            if (!reply.isOk()) {
                err << "tarn-follow: " << reply.errorString() << Qt::endl;
                QCoreApplication::exit(1);
            }
        });
    });
    client.open();
    return app.exec();
}
