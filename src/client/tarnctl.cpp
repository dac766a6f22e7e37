// tarnctl: the command-line client of tarnd. One table of commands drives the parser, the help
// texts and the bash completion, so that they cannot drift apart.
// Exit status: 0 success, 1 an error answer, 2 a usage error, 3 the daemon cannot be reached.

#include "tarnclient.h"
#include "terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <QTextStream>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

enum Exit { Ok = 0, ErrorAnswer = 1, Usage = 2, Unreachable = 3 };

struct Option
{
    QString name;
    QString valueName; // empty: a flag
    QString help;
};

struct Context;

struct Command
{
    QString name;
    QString arguments; // for the synopsis
    QString summary;
    QString details;
    QList<Option> options;
    int minPositional;
    int maxPositional; // -1: any number
    std::function<int(Context &)> run;
};

struct Context
{
    Context(QCommandLineParser &p, const QStringList &args)
        : parser(p)
        , positional(args)
    {
    }
    QCommandLineParser &parser;
    QStringList positional;
    bool json = false;
    TarnClient client;
};

void out(const QString &text)
{
    Terminal::writeAll(1, text.toUtf8());
}

void err(const QString &text)
{
    Terminal::writeAll(2, text.toUtf8());
}

void printJson(const QJsonObject &o)
{
    Terminal::writeAll(1, QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
}

QString socketOf(const QCommandLineParser &parser)
{
    if (parser.isSet("socket"))
        return parser.value("socket");
    const QString fromEnv = qEnvironmentVariable("TARND_SOCKET");
    return fromEnv.isEmpty() ? TarnClient::defaultSocketPath() : fromEnv;
}

int unreachable(const Context &c)
{
    err(QStringLiteral("tarnctl: cannot reach tarnd at %1: %2\n"
                       "Is tarnd running, and is this the socket of your session? Another socket is chosen with "
                       "--socket PATH or the TARND_SOCKET variable.\n")
            .arg(c.client.socketPath(), c.client.errorString()));
    return Unreachable;
}

bool connectClient(Context &c)
{
    c.client.setSocketPath(socketOf(c.parser));
    c.client.setAutoStart(!c.parser.isSet("no-start"));
    return c.client.connectToDaemon(QString(), 10000);
}

// One request, one answer: printed as JSON, or as the human line that human() makes of it.
int ask(Context &c, const QJsonObject &request, const std::function<QString(const QJsonObject &)> &human)
{
    if (!connectClient(c))
        return unreachable(c);
    const QJsonObject answer = c.client.call(request);
    if (answer.isEmpty())
        return unreachable(c);
    const bool failed = answer.value("status").toString() == QLatin1String("error");
    if (c.json)
        printJson(answer);
    else if (failed)
        err(QStringLiteral("tarnctl: %1\n").arg(answer.value("error").toString()));
    else
        out(human(answer));
    return failed ? ErrorAnswer : Ok;
}

QString duration(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1m%2s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 86400)
        return QStringLiteral("%1h%2m").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1d%2h").arg(seconds / 86400).arg(seconds / 3600 % 24, 2, 10, QLatin1Char('0'));
}

QString stateName(const QJsonObject &p)
{
    if (p.value("running").toBool())
        return QStringLiteral("running");
    return QStringLiteral("not running");
}

QString runningFor(const QJsonObject &p)
{
    const QDateTime started = QDateTime::fromString(p.value("start-time").toString(), Qt::ISODate);
    if (!p.value("running").toBool() || !started.isValid())
        return QStringLiteral("-");
    return duration(std::max<qint64>(0, started.secsTo(QDateTime::currentDateTime())));
}

QString pidText(const QJsonObject &p)
{
    const qint64 pid = p.value("pid").toInteger(-1);
    return pid > 0 ? QString::number(pid) : QStringLiteral("-");
}

int listCommand(Context &c)
{
    if (!connectClient(c))
        return unreachable(c);
    QJsonObject answer = c.client.call({{"action", "list"}});
    if (answer.isEmpty())
        return unreachable(c);
    // A list entry has no start time or restart count; each process's status has them.
    QJsonArray processes;
    for (const QJsonValue &v : answer.value("processes").toArray()) {
        QJsonObject p = v.toObject();
        const QJsonObject st = c.client.call({{"action", "status"}, {"process-id", p.value("process-id")}});
        for (const char *key : {"start-time", "restarts"})
            if (st.contains(key))
                p.insert(key, st.value(key));
        processes.append(p);
    }
    answer.insert("processes", processes);
    if (c.json) {
        printJson(answer);
        return Ok;
    }
    QList<QStringList> rows{{"ID", "STATE", "PID", "RUNNING", "STARTED", "RESTARTS"}};
    for (const QJsonValue &v : processes) {
        const QJsonObject p = v.toObject();
        rows << QStringList{p.value("process-id").toString(), stateName(p), pidText(p), runningFor(p),
                            p.value("start-time").toString(QStringLiteral("-")),
                            p.contains("restarts") ? QString::number(p.value("restarts").toInt()) : "-"};
    }
    QList<int> widths(rows.first().size(), 0);
    for (const QStringList &r : rows)
        for (int i = 0; i < r.size(); ++i)
            widths[i] = std::max(widths[i], int(r[i].size()));
    QString table;
    for (const QStringList &r : rows) {
        QString line;
        for (int i = 0; i < r.size(); ++i)
            line += i + 1 < r.size() ? r[i].leftJustified(widths[i] + 2) : r[i];
        table += line + '\n';
    }
    out(table);
    if (processes.isEmpty())
        out(QStringLiteral("(no processes of this session)\n"));
    return Ok;
}

QString statusLine(const QJsonObject &p)
{
    return QStringLiteral("%1: %2, pid %3, started %4, running for %5, restarts %6\n")
        .arg(p.value("process-id").toString(), stateName(p), pidText(p), p.value("start-time").toString(),
             runningFor(p))
        .arg(p.value("restarts").toInt());
}

int runCommand(Context &c)
{
    const QString id = c.positional.value(0);
    const QString executable = c.positional.value(1);
    const QStringList arguments = c.positional.mid(2);
    TarnStartOptions options;
    options.autoRestart = c.parser.isSet("auto-restart");
    bool ok = true;
    const auto number = [&](const QString &name, int *to) {
        if (!c.parser.isSet(name))
            return;
        bool good = false;
        *to = c.parser.value(name).toInt(&good);
        if (!good || *to < 0) {
            err(QStringLiteral("tarnctl run: --%1 needs a number that is not negative\n").arg(name));
            ok = false;
        }
    };
    number("max-restart-attempts", &options.maxRestartAttempts);
    number("restart-delay-ms", &options.restartDelayMs);
    options.workingDir = c.parser.value("cwd");
    options.tunDns = c.parser.value("tun-dns");
    options.tunInterface = c.parser.value("tun-iface");
    if (options.tunDns.isEmpty() != options.tunInterface.isEmpty()) {
        err(QStringLiteral("tarnctl run: --tun-dns and --tun-iface go together\n"));
        ok = false;
    }
    if (!ok)
        return Usage;

    Terminal terminal;
    if (!connectClient(c))
        return unreachable(c);
    TarnClient &client = c.client;
    int exitCode = -1;
    int starts = 0;
    bool finished = false;
    QEventLoop loop;
    const auto end = [&](int code) {
        exitCode = code;
        finished = true;
        loop.exit();
    };

    QObject::connect(&client, &TarnClient::eventReceived, &loop, [&](const QJsonObject &e) {
        if (e.value("process-id").toString() != id)
            return;
        const QString kind = e.value("event").toString();
        if (c.json)
            printJson(e);
        else if (kind == QLatin1String("stdout"))
            Terminal::writeAll(1, e.value("data").toString().toUtf8());
        else if (kind == QLatin1String("stderr"))
            Terminal::writeAll(2, e.value("data").toString().toUtf8());
        if (kind == QLatin1String("started") && ++starts > 1 && !c.json)
            err(QStringLiteral("tarnctl: %1 was restarted after a crash (restart %2)\n").arg(id).arg(starts - 1));
        if (kind == QLatin1String("finished"))
            end(e.value("data").toString().toInt());
    });
    QObject::connect(&client, &TarnClient::daemonLost, &loop, [&](const QString &reason) {
        err(QStringLiteral("tarnctl: lost the daemon: %1\n").arg(reason));
        end(Unreachable);
    });

    int interrupts = 0;
    QObject::connect(&terminal, &Terminal::interrupted, &loop, [&] {
        const bool kill = ++interrupts > 1;
        if (!c.json)
            err(kill ? QStringLiteral("tarnctl: killing %1\n").arg(id)
                     : QStringLiteral("tarnctl: stopping %1 (again to kill it)\n").arg(id));
        client.send({{"action", kill ? "kill" : "stop"}, {"process-id", id}});
    });

    // What arrives on standard input goes to the child; its end closes nothing there. One piece
    // is in flight at a time and reading pauses while a megabyte waits, so that the order holds
    // and a large file piped in waits here. The daemon refuses a piece that would overfill its
    // queue for the child (16 MiB) without keeping any of it: that piece is offered again a little
    // later, for as long as RetryLimit allows, since a child that closed its input refuses forever.
    constexpr qsizetype MaxPendingInput = 1024 * 1024;
    constexpr int RetryDelayMs = 100;
    constexpr int RetryLimit = 300;
    QStringDecoder decoder(QStringDecoder::Utf8);
    bool inputOpen = terminal.hasInput();
    bool reading = false; // a piece of input is asked for
    bool startAnswered = false;
    bool busy = false; // a piece is in flight or waits to be offered again
    int refusals = 0;
    QByteArray pending;
    QString outgoing;
    const auto updateInput = [&] {
        if (!reading && inputOpen && startAnswered && !finished && pending.size() < MaxPendingInput) {
            reading = true;
            terminal.readInput();
        }
    };
    std::function<void()> sendInput = [&] {
        if (busy || finished)
            return;
        if (outgoing.isEmpty()) {
            outgoing = decoder(pending);
            pending.clear();
            updateInput();
        }
        if (outgoing.isEmpty())
            return;
        busy = true;
        client.request({{"action", "stdin"}, {"process-id", id}, {"data", outgoing}}, &loop, [&](const TarnReply &r) {
            if (r.isOk()) {
                busy = false;
                refusals = 0;
                outgoing.clear();
                sendInput();
                return;
            }
            if (r.outcome() != TarnReply::Outcome::Answered || finished)
                return; // the loss or the end is reported on its own
            if (++refusals <= RetryLimit) {
                QTimer::singleShot(RetryDelayMs, &loop, [&] {
                    busy = false;
                    sendInput();
                });
                return;
            }
            err(QStringLiteral("tarnctl: input no longer passed to %1: %2\n").arg(id, r.errorString()));
            inputOpen = false;
            pending.clear();
            outgoing.clear();
            updateInput();
        });
    };
    QObject::connect(&terminal, &Terminal::inputRead, &loop, [&](const QByteArray &piece) {
        reading = false;
        pending.append(piece);
        updateInput();
        sendInput();
    });
    QObject::connect(&terminal, &Terminal::inputEnded, &loop, [&] {
        reading = false;
        inputOpen = false;
        sendInput();
    });

    client.request(TarnClient::startRequest(id, executable, arguments, options), &loop, [&](const TarnReply &r) {
        if (c.json)
            printJson(r.isFinished() && !r.response().isEmpty() ? r.response()
                                                                : QJsonObject{{"status", "error"}, {"error", r.errorString()}});
        if (!r.isOk()) {
            if (!c.json)
                err(QStringLiteral("tarnctl: %1\n").arg(r.errorString()));
            if (!finished)
                end(r.outcome() == TarnReply::Outcome::Answered ? ErrorAnswer : Unreachable);
            return;
        }
        startAnswered = true;
        updateInput();
    });
    if (!finished)
        loop.exec();
    return exitCode;
}

// stop, kill and restart: the process id in, the daemon's "message" out.
std::function<int(Context &)> answeredWithMessage(const char *action)
{
    return [action](Context &c) {
        return ask(c, {{"action", action}, {"process-id", c.positional[0]}},
                   [](const QJsonObject &a) { return a.value("message").toString() + '\n'; });
    };
}

QList<Command> commands()
{
    return {
        {"run", "ID [options] -- EXECUTABLE [ARGUMENTS...]", "Start a process and stay attached to it",
         "Starts the process and stays attached as its owner. Only the owner, the client that started a\n"
         "process, receives its output: its stdout and stderr are copied here byte for byte as they arrive.\n"
         "Standard input is passed to the process; the end of this input closes nothing there.\n"
         "The first Ctrl+C (or SIGTERM) asks the process to stop (its Ctrl+C, then a kill 10 s later), a\n"
         "second kills it at once. A restart after a crash is reported on stderr.\n"
         "Exits with the process's exit code when it has finished (128+N for a death by signal N, 130 for\n"
         "a stop it did not handle, 1 for a kill, that of the last run when the restarts ran out, 255 when\n"
         "a relaunch could not be launched), 1 when the start is refused, 3 when the daemon is lost.\n"
         "With --json, every answer and event is printed as one JSON object per line instead.",
         {{"auto-restart", "", "Relaunch the process when it crashes."},
          {"max-restart-attempts", "N", "How many relaunches in all (the daemon's default: 3)."},
          {"restart-delay-ms", "MS", "Wait before a relaunch (the daemon's default: 1000; at least 100)."},
          {"cwd", "DIR", "Working folder of the process."},
          {"tun-dns", "ADDR", "DNS server to set on the TUN interface once it is up."},
          {"tun-iface", "NAME", "The TUN interface the process creates."}},
         2, -1, runCommand},
        {"list", "", "List the processes of this session", "Shows id, state, pid, running time, start time and restarts.",
         {}, 0, 0, listCommand},
        {"status", "ID", "Show one process", "", {}, 1, 1,
         [](Context &c) {
             return ask(c, {{"action", "status"}, {"process-id", c.positional[0]}}, statusLine);
         }},
        {"stop", "ID", "Stop a process: its Ctrl+C, then a kill 10 s later", "", {}, 1, 1,
         answeredWithMessage("stop")},
        {"kill", "ID", "Kill a process at once", "", {}, 1, 1,
         answeredWithMessage("kill")},
        {"restart", "ID", "Ask for a restart: the process is stopped as by stop",
         "The daemon stops the process as stop does, and answers \"restarting\"; starting it again is up to\n"
         "its owner.",
         {}, 1, 1,
         answeredWithMessage("restart")},
        {"send", "ID TEXT", "Write text to a process's standard input", "",
         {{"newline", "", "Append a newline to the text."}}, 2, 2,
         [](Context &c) {
             const QString text = c.positional[1] + (c.parser.isSet("newline") ? QStringLiteral("\n") : QString());
             return ask(c, {{"action", "stdin"}, {"process-id", c.positional[0]}, {"data", text}},
                        [text](const QJsonObject &) {
                            return QStringLiteral("%1 bytes sent\n").arg(text.toUtf8().size());
                        });
         }},
        {"clear-logs", "", "Delete the daemon's log files", "", {}, 0, 0,
         [](Context &c) {
             return ask(c, {{"action", "clear-logs"}}, [](const QJsonObject &) { return QStringLiteral("Log files cleared\n"); });
         }},
        {"hello", "--log-path PATH", "Tell the daemon where to write its log",
         "The file is written with your own rights and must be your own regular file.",
         {{"log-path", "PATH", "Absolute path of the log file."},
          {"client-version", "VERSION", "A version to announce (a newer one than the daemon's restarts it)."}},
         0, 0,
         [](Context &c) {
             if (c.parser.value("log-path").isEmpty()) {
                 err(QStringLiteral("tarnctl hello: --log-path is required\n"));
                 return int(Usage);
             }
             c.client.setLogPath(c.parser.value("log-path"));
             c.client.setClientVersion(c.parser.value("client-version"));
             // A refused hello fails the connection as well; only the hello's answer tells the two apart.
             connectClient(c);
             const QJsonObject answer = c.client.helloResponse();
             if (answer.isEmpty())
                 return unreachable(c);
             const QString status = answer.value("status").toString();
             if (c.json)
                 printJson(answer);
             else if (status == QLatin1String("error"))
                 err(QStringLiteral("tarnctl: %1\n").arg(answer.value("error").toString()));
             else if (status == QLatin1String("restarting"))
                 out(QStringLiteral("The daemon restarts: %1\n").arg(answer.value("reason").toString()));
             else
                 out(QStringLiteral("Log path set to %1\n").arg(c.parser.value("log-path")));
             return status == QLatin1String("error") ? int(ErrorAnswer) : int(Ok);
         }},
        {"version", "", "Show the versions of tarnctl and of the daemon", "", {}, 0, 0,
         [](Context &c) {
             if (!connectClient(c))
                 return unreachable(c);
             const QJsonObject o{{"tarnctl", QStringLiteral(TARND_VERSION)},
                                 {"daemon-version", c.client.daemonVersion()},
                                 {"privilege-level", c.client.privilegeLevel().toInt()}};
             if (c.json)
                 printJson(o);
             else
                 out(QStringLiteral("tarnctl %1\ntarnd %2 (privilege level %3)\n")
                         .arg(QStringLiteral(TARND_VERSION), c.client.daemonVersion(), c.client.privilegeLevel()));
             return int(Ok);
         }},
        {"completion", "bash", "Print a bash completion script", "Use: source <(tarnctl completion bash)", {}, 1, 1,
         nullptr},
    };
}

const QList<Option> CommonOptions{
    {"socket", "PATH", "The daemon's socket (default: $TARND_SOCKET, else this session's)."},
    {"json", "", "Print the daemon's answers as JSON, one object per line."},
    {"no-start", "", "Do not start the service when this session's socket is absent."},
};

QString bashCompletion(const QList<Command> &table)
{
    QStringList names;
    QString cases;
    for (const Command &cmd : table) {
        names << cmd.name;
        QStringList words{"--help"};
        for (const Option &o : cmd.options + CommonOptions)
            words << "--" + o.name;
        cases += QStringLiteral("        %1) words=\"%2\" ;;\n").arg(cmd.name, words.join(' '));
    }
    return QStringLiteral(
               "# bash completion for tarnctl: source <(tarnctl completion bash)\n"
               "_tarnctl() {\n"
               "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd= words= i\n"
               "    case $prev in --socket|--log-path|--cwd) COMPREPLY=($(compgen -f -- \"$cur\")); return ;; esac\n"
               "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
               "        case ${COMP_WORDS[i]} in --socket) ((i++)) ;; -*) ;; *) cmd=${COMP_WORDS[i]}; break ;; esac\n"
               "    done\n"
               "    case $cmd in\n"
               "        '') words=\"%1 --help --socket --json\" ;;\n"
               "%2"
               "    esac\n"
               "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
               "}\n"
               "complete -F _tarnctl tarnctl\n")
        .arg(names.join(' '), cases);
}

QString overview(const QList<Command> &table)
{
    QString text = QStringLiteral("Usage: tarnctl [--socket PATH] [--json] [--no-start] COMMAND [ARGUMENTS]\n\n"
                                  "The command-line client of tarnd. Commands:\n");
    for (const Command &cmd : table)
        text += QStringLiteral("  %1%2\n").arg(cmd.name.leftJustified(12), cmd.summary);
    text += QStringLiteral("\n'tarnctl COMMAND --help' tells more. Exit status: 0 success, 1 an error answer, "
                           "2 a usage error, 3 the daemon cannot be reached.\n");
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARND_VERSION));
    // The session lookup shared with the daemon speaks through its category; keep it quiet here.
    QLoggingCategory::setFilterRules(QStringLiteral("tarnd.debug=false\ntarnd.info=false"));
    const QList<Command> table = commands();

    // The command is the first word that is neither an option nor the value of --socket.
    QStringList args = app.arguments();
    int at = -1;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--socket")) {
            ++i;
            continue;
        }
        if (args[i] == QLatin1String("--"))
            break;
        if (!args[i].startsWith('-')) {
            at = i;
            break;
        }
    }
    if (at < 0) {
        const bool help = args.contains("--help") || args.contains("-h");
        const bool version = args.contains("--version");
        if (version)
            out(QStringLiteral("tarnctl %1\n").arg(QStringLiteral(TARND_VERSION)));
        else
            (help ? out : err)(overview(table));
        return help || version ? Ok : Usage;
    }
    const auto found = std::find_if(table.begin(), table.end(), [&](const Command &c) { return c.name == args[at]; });
    if (found == table.end()) {
        err(QStringLiteral("tarnctl: unknown command '%1'\n\n").arg(args[at]) + overview(table));
        return Usage;
    }
    const Command &cmd = *found;
    args.removeAt(at);

    QCommandLineParser parser;
    parser.setApplicationDescription(cmd.summary + '.' + (cmd.details.isEmpty() ? QString() : "\n\n" + cmd.details));
    parser.addHelpOption();
    for (const Option &o : cmd.options + CommonOptions)
        parser.addOption(QCommandLineOption(o.name, o.help, o.valueName));
    if (!cmd.arguments.isEmpty())
        parser.addPositionalArgument(cmd.name, QString(), cmd.name + ' ' + cmd.arguments);
    if (!parser.parse(args)) {
        err(QStringLiteral("tarnctl %1: %2\nTry 'tarnctl %1 --help'.\n").arg(cmd.name, parser.errorText()));
        return Usage;
    }
    if (parser.isSet("help")) {
        // The parser names the program by the path it was started with.
        QString help = parser.helpText();
        help.replace(QCoreApplication::arguments().constFirst(), QStringLiteral("tarnctl"));
        // The synopsis names the arguments already; the parser's list of them would be one bare word.
        const qsizetype arguments = help.indexOf(QLatin1String("\nArguments:\n"));
        if (arguments >= 0)
            help.truncate(arguments + 1);
        out(help);
        return Ok;
    }
    Context c{parser, parser.positionalArguments()};
    c.json = parser.isSet("json");
    if (c.positional.size() < cmd.minPositional || (cmd.maxPositional >= 0 && c.positional.size() > cmd.maxPositional)) {
        err(QStringLiteral("tarnctl %1: expected %2\nTry 'tarnctl %1 --help'.\n")
                .arg(cmd.name, cmd.arguments.isEmpty() ? QStringLiteral("no arguments") : cmd.arguments));
        return Usage;
    }
    if (cmd.name == QLatin1String("completion")) {
        if (c.positional[0] != QLatin1String("bash")) {
            err(QStringLiteral("tarnctl completion: only bash is known\n"));
            return Usage;
        }
        out(bashCompletion(table));
        return Ok;
    }
    return cmd.run(c);
}
