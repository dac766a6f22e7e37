#pragma once

#include "process/processinfo.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// A client's request, read once where it arrives: what the daemon does with it works on these
// fields, never on the JSON object again. Fields an action does not use stay empty.
struct Request
{
    enum class Action { Unknown, Hello, Heartbeat, Start, Stop, Kill, Restart, Status, List, Stdin, ClearLogs };

    Action action = Action::Unknown;
    QString actionName;   // as sent: an unknown one is named in its answer
    QJsonValue requestId; // undefined when the request has none; otherwise echoed in the answer
    QString processId;    // the process a start, stdin, stop, kill, restart or status is about
    QByteArray input;     // stdin: what to write, as UTF-8
    QString logPath;      // client-hello
    QString version;      // client-hello: the client's, empty when it gave none
    ProcessInfo process;  // start: what to run
    QString problem;      // start: why it may not run as asked, or empty

    static Request read(const QJsonObject &message);
};
