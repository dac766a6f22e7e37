#pragma once

#include "daemon/execpolicy.h"
#include "daemon/processscan.h"
#include "ipc/communicationserver.h"
#include "process/processkey.h"
#include "service/jobqueue.h"
#include "service/logfile.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class PrivilegeManager;
class ProcessManager;
struct ProcessInfo;
struct Request;
class SessionBackend;

// The daemon's core: owns the process manager, the communication server and the privilege
// manager, answers client requests, and routes process events to the client that owns them.
class TarnDaemon : public QObject
{
    Q_OBJECT
public:
    // While an owner has more than this sent and not yet taken, none of its processes' output
    // is read or sent (the children slow down instead of the daemon growing); both resume
    // below the second bound. The bound is looked at before every event, so the queue stays
    // within it plus one event, far under the limit at which a stalled client is dropped.
    static constexpr qint64 HoldOutputAboveBytes = 8 * 1024 * 1024;
    static constexpr qint64 ResumeOutputBelowBytes = 2 * 1024 * 1024;

    struct Limits
    {
        // Processes alive at once that were started from one session, by all its clients.
        int processesPerSession = 64;
        // What clients may hold in the daemon; a process's stdin queue counts as its owner's.
        CommunicationServer::Limits clients;
    };

    explicit TarnDaemon(QObject *parent = nullptr);
    // For tests: a session backend of their own (owned by the daemon from then on).
    TarnDaemon(QObject *parent, SessionBackend *sessions);
    TarnDaemon(QObject *parent, SessionBackend *sessions, Limits limits);
    ~TarnDaemon() override;

    // Serves each session's socket under the base name (socketpath.h).
    bool start(const QString &socketBase = QStringLiteral("tarnd"));
    void stop();

    ProcessManager *processes() const { return m_processManager; }
    // In place of the policy file's (for tests).
    void setExecutablePolicy(const ExecPolicy &policy) { m_policy = policy; }
    CommunicationServer *communication() const { return m_communicationServer; }

    // Ends the stale proxy processes of a session: the swept names, in that session, running as
    // the given user (none known: no process that has an owner). Children the daemon supervises
    // for a client still connected are left to that client. The pass over the machine's
    // processes runs on a thread of its own; the kills follow on this one, logged as they are.
    void killStaleProcesses(uint sessionId, std::optional<quint32> user);

public Q_SLOTS:
    void broadcastClientShutdown();
    void handleClientMessage(const QString &clientId, const QJsonObject &message);
    void onClientConnected(const QString &clientId);
    void onClientDisconnected(const QString &clientId, uint sessionId);
    void onClientTimedOut(const QString &clientId, uint sessionId);
    void broadcastProcessEvent(const QJsonObject &event, const ProcessKey &key);
    // A process's output event, as the frame to send, to the client that owns the process.
    void sendToOwner(const ProcessKey &key, const QByteArray &frame);
    void onProcessFinished(const ProcessKey &key, int exitCode);

private:
    void handleHello(const QString &clientId, const Request &request);
    // The hello's answer, once its folder is made.
    void greet(const QString &clientId, const Request &request, const logfile::Identity &owner);
    void handleStart(const QString &clientId, const Request &request);
    // Answers a start that would take its session past its limit of processes.
    bool refusedOverLimit(const QString &clientId, const Request &request);
    void launchFor(const QString &clientId, const Request &request, const ProcessInfo &process);
    // work runs at the client's paths, off this thread: a file system there may be slow or not
    // answer at all. Each user has a thread of its own for it, so what waits there holds up
    // only that user's later work; then follows on this thread, unless the client has gone.
    void atClientPaths(const QString &clientId, std::function<void()> work, std::function<void()> then);
    void reply(const QString &clientId, const Request &request, const QJsonObject &response);
    void clearLogs(const QString &clientId, const Request &request);
    // A client names the processes of its own session, whoever started them there; root /
    // LocalSystem too (through another session's socket it is in that session). Another
    // session's process is not found under any name.
    ProcessKey keyOf(const QString &clientId, const QString &processId) const;
    quint32 sessionOf(const QString &clientId) const;
    // The self-restart for a newer client: the session that asked has its processes stopped;
    // the quit waits until no other session has a process.
    void restartFor(quint32 session);
    void restartWhenFree();
    std::optional<logfile::Identity> identityOf(const QString &clientId) const;
    // Whose client it is: its principal (uid, SID), or the client itself when that cannot be had.
    QString userOf(const QString &clientId) const;
    void handleDeparture(const QString &clientId, uint sessionId, const char *ownedBy);
    void onClientBytesWritten(const QString &clientId);
    void holdOutputOf(const QString &clientId, bool held);
    QString ownerOf(const ProcessKey &key) const;
    void route(const ProcessKey &key, const QByteArray &frame, const QString &event);
    void scanForStale();
    // A process a pass found under the swept names, with its session as the pass told it.
    struct Found
    {
        processscan::Entry entry;
        std::optional<quint32> session;
    };
    // The processes a scan found (or why it found none), judged and ended.
    void sweepStale(uint sessionId, std::optional<quint32> user, const std::vector<Found> &found, const QString &failure);

    const Limits m_limits;
    ExecPolicy m_policy;
    ProcessManager *m_processManager;
    CommunicationServer *m_communicationServer;
    PrivilegeManager *m_privilegeManager;
    JobQueue m_scans; // one pass at a time, waited for before the daemon goes
    std::map<std::string, std::unique_ptr<JobQueue>> m_pathWork; // by principal
    // Whether this daemon still takes what a job at a client's path hands back: such a job may
    // come back after the daemon has gone (it was let go on a file system that did not answer).
    struct Taking
    {
        std::mutex mutex;
        bool open = true;
    };
    std::shared_ptr<Taking> m_taking = std::make_shared<Taking>();
    bool m_scanning = false; // a pass is under way, or its result not yet taken
    QList<std::pair<uint, std::optional<quint32>>> m_sweepsWaiting; // for the next pass
    QHash<ProcessKey, QString> m_processOwners; // -> client id
    // The starts being made (-> client id), whose "started" goes to the client asking before it
    // owns anything.
    QHash<ProcessKey, QString> m_starting;
    QSet<quint32> m_restartSessions; // sessions whose newer client asked for the restart
    bool m_restartArmed = false;
    QSet<QString> m_heldOwners; // clients so far behind that their processes' output waits
};
