// tarnctl: a command-line client of tarnd.
//   tarnctl [--socket PATH] hello LOG-PATH [VERSION]
//   tarnctl [--socket PATH] run ID EXECUTABLE [ARGUMENTS...]   start, print its output, exit with its code
//   tarnctl [--socket PATH] start ID EXECUTABLE [ARGUMENTS...]
//   tarnctl [--socket PATH] stop|kill|restart|status ID
//   tarnctl [--socket PATH] stdin ID TEXT
//   tarnctl [--socket PATH] list | heartbeat | clear-logs
//   tarnctl [--socket PATH] raw JSON

#include "tarnclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

namespace {

void print(FILE *to, const QJsonObject &o)
{
    std::fprintf(to, "%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
}

QJsonObject startRequest(const QStringList &args)
{
    QJsonArray arguments;
    for (const QString &a : args.mid(3))
        arguments.append(a);
    return QJsonObject{{"action", "start"}, {"process-id", args.value(1)}, {"executable", args.value(2)},
                       {"arguments", arguments}};
}

// Starts the process and relays its events until it has finished.
int run(TarnClient &client, const QStringList &args)
{
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, &client,
                     [&client] { client.send(QJsonObject{{"action", "heartbeat"}}); });
    heartbeat.start(3000);
    const QString id = args.value(1);
    const QJsonObject started = client.call(startRequest(args));
    if (started.value("status").toString() != QLatin1String("started")) {
        print(stderr, started);
        return 1;
    }
    for (;;) {
        const QJsonObject event = client.waitForEvent(
            [&id](const QJsonObject &e) { return e.value("process-id").toString() == id; }, 24 * 3600 * 1000);
        if (event.isEmpty())
            return 1;
        const QString kind = event.value("event").toString();
        const QByteArray data = event.value("data").toString().toUtf8();
        if (kind == QLatin1String("stdout"))
            std::fwrite(data.constData(), 1, data.size(), stdout);
        else if (kind == QLatin1String("stderr"))
            std::fwrite(data.constData(), 1, data.size(), stderr);
        else if (kind == QLatin1String("finished"))
            return data.toInt();
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnctl"));
    // The session lookup shared with the daemon speaks through its category; keep it quiet here.
    QLoggingCategory::setFilterRules(QStringLiteral("tarnd.debug=false\ntarnd.info=false"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Command-line client of tarnd"));
    parser.addHelpOption();
    QCommandLineOption socketOption(QStringLiteral("socket"), QStringLiteral("The daemon's socket."),
                                    QStringLiteral("path"), TarnClient::defaultSocketPath());
    parser.addOption(socketOption);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("hello, run, start, stop, kill, restart, status, stdin, list, "
                                                "heartbeat, clear-logs or raw"));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        parser.showHelp(1);

    TarnClient client;
    if (!client.connectToDaemon(parser.value(socketOption))) {
        std::fprintf(stderr, "tarnctl: cannot connect to %s\n", qPrintable(parser.value(socketOption)));
        return 1;
    }
    client.waitForEvent([](const QJsonObject &e) { return e.value("event").toString() == QLatin1String("connected"); },
                        5000);

    const QString command = args.first();
    QJsonObject request;
    if (command == QLatin1String("run"))
        return run(client, args);
    if (command == QLatin1String("hello"))
        request = QJsonObject{{"action", "client-hello"}, {"log-path", args.value(1)}, {"version", args.value(2)}};
    else if (command == QLatin1String("start"))
        request = startRequest(args);
    else if (command == QLatin1String("stdin"))
        request = QJsonObject{{"action", "stdin"}, {"process-id", args.value(1)}, {"data", args.value(2)}};
    else if (command == QLatin1String("raw"))
        request = QJsonDocument::fromJson(args.value(1).toUtf8()).object();
    else if (QStringList{"stop", "kill", "restart", "status"}.contains(command))
        request = QJsonObject{{"action", command}, {"process-id", args.value(1)}};
    else
        request = QJsonObject{{"action", command}};

    const QJsonObject response = client.call(request);
    if (response.isEmpty()) {
        std::fprintf(stderr, "tarnctl: no response\n");
        return 1;
    }
    print(stdout, response);
    const QString status = response.value("status").toString();
    return status == QLatin1String("error") ? 1 : 0;
}
