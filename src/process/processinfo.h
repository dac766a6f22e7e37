#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What the daemon knows of one supervised process, as read from its start request.
struct ProcessInfo
{
    QString processId;
    QString executable;
    QStringList arguments;
    QString workingDir;
    QJsonObject environment; // kept, not applied: children run with the daemon's environment
    QString privileges;      // kept, not applied: children run as the daemon's account
    int state = 0;           // QProcess::ProcessState numbers: 0 not running, 2 running
    qint64 pid = -1;
    QDateTime startTime;
    bool autoRestart = false;
    int maxRestartAttempts = 3;
    int restartAttempts = 0;
    int restartDelayMs = 1000; // never below MinRestartDelayMs
    quint32 sessionId = 0;     // as the request says: for log lines only
    // "tun-dns-override": the DNS server to set on the interface once it is up; either empty
    // asks for nothing.
    QString dnsAddress;
    QString dnsInterface;

    // A crashing child is relaunched no faster than this, whatever its request says.
    static constexpr int MinRestartDelayMs = 100;
    // Ids appear in log lines and in every event: a longer one is refused at the start.
    static constexpr int MaxProcessIdChars = 256;
    // What a record keeps of its request for as long as the process lives, all texts together
    // (the environment as compact JSON): a system runs no command line longer, and one client's
    // records must not hold the daemon's memory.
    static constexpr qsizetype MaxKeptChars = 256 * 1024;

    // Reads every field of a start request (the restart count is left as it is); wrong types
    // give defaults. Returns the request's first problem, or an empty text when it may run.
    QString read(const QJsonObject &spec);
};
