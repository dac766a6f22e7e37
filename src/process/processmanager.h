#pragma once

#include "tunnel/tuntools.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class ManagedProcess;
class QTimer;

// The daemon's supervisor of child processes: the table of supervised processes keyed by the
// client-chosen process id, and the JSON answers and events about them.
class ProcessManager : public QObject
{
    Q_OBJECT
public:
    // Output waits at most this long for its event; a frame that fills up (OutputFrames'
    // bound) goes at once.
    static constexpr int FlushIntervalMs = 100;

    struct Timing
    {
        int stopBudgetMs = 10000; // from the Ctrl+C of a stop or restart to the forced kill
        int exitDrainMs = 500;    // at most, for the end of a child's output after its exit
        // The tunnel operations' tools: the wait for an interface and its probes, and the
        // other commands (DNS, device lookup and removal).
        int dnsDelayMs = 100;
        int interfaceWaitMs = 10000;
        int probeLimitMs = 3000;
        int probeReapMs = 500;
        int probePauseMs = 200;
        int commandLimitMs = 5000;
    };
    using Answer = std::function<void(const QJsonObject &response)>;

    explicit ProcessManager(QObject *parent = nullptr);
    // tools: what the tunnel operations run, by default the platform's own.
    ProcessManager(QObject *parent, Timing timing, const TunTools &tools = nativeTunTools());
    ~ProcessManager() override;

    // Answered at once, before this returns, unless the TUN core's stale device must go first:
    // then once it has, the event loop running meanwhile. Answered exactly once in any case.
    void startProcess(const QJsonObject &spec, Answer answer);
    // A start still waiting is answered with an error and launches nothing.
    void cancelStart(const QString &processId);
    QJsonObject stopProcess(const QString &processId);
    QJsonObject killProcess(const QString &processId);
    QJsonObject restartProcess(const QString &processId);
    QJsonObject getProcessStatus(const QString &processId) const;
    QJsonObject listProcesses() const;
    bool writeToProcess(const QString &processId, const QByteArray &data);
    // The memory a process's stdin queue holds; 0 for an unknown process.
    qint64 queuedInput(const QString &processId) const;
    // Stops every process and waits for them. From here on starts are refused: the daemon is
    // going away.
    void stopAll(int timeoutMs);

    // Stops or resumes both the reading and the sending of a process's output, while whoever
    // receives it is behind. What is held back stays in the daemon, bounded per process, and a
    // held process's "finished" waits until its last output has gone out.
    void setOutputHeld(const QString &processId, bool held);
    // The number of the child the process's record holds, or -1.
    qint64 childPid(const QString &processId) const;

    // Tunnel interface support. None of them waits on a tool: each answers through done (or
    // only through the log), from the event loop. Everything they run and arm belongs to
    // scope: deleting it cancels them, and then done is not called.
    // tun: the probe that found it up shows a TUN device.
    void waitForInterfaceUp(const QString &interfaceName, int timeoutMs, QObject *scope,
                            std::function<void(bool up, bool tun)> done);
    // For processId's override: only a TUN device that no other session uses has its DNS set.
    void setInterfaceDns(const QString &processId, const QString &dnsAddress, const QString &interfaceName,
                         QObject *scope, std::function<void()> done);
    // Whether a process of a session other than processId's uses the interface (the daemon
    // knows the sessions; without this test, no interface is anybody else's).
    using InterfaceTest = std::function<bool(const QString &processId, const QString &interfaceName)>;
    void setInterfaceUsedElsewhere(InterfaceTest test) { m_usedElsewhere = std::move(test); }
    // The processes that use the interface: the TUN core its adapter, and each whose DNS
    // override has set it, until they end.
    QStringList usersOfInterface(const QString &interfaceName) const;
    // The adapter's GUID without braces (on Linux: the device's name), or empty.
    void getInterfaceGuid(const QString &interfaceName, QObject *scope, std::function<void(const QString &)> done);
    void removeTunDevice(const QString &interfaceName, QObject *scope, std::function<void()> done);

Q_SIGNALS:
    void processEvent(const QJsonObject &event);
    // A "stdout" or "stderr" event, as the finished frame to send.
    void processOutput(const QString &processId, const QByteArray &frame);

private Q_SLOTS:
    void onProcessStarted(const QString &processId);
    void onProcessFinished(const QString &processId, int exitCode);
    void flushOutputBuffers();

private:
    struct PendingStart
    {
        QJsonObject spec;
        Answer answer;
        QObject *scope; // the device removal it waits for
    };
    // A process gone for good: its last output goes out, then (the TUN core) its device, then
    // its "finished".
    struct Finishing
    {
        enum class Step { Flushing, RemovingDevice, Done };
        int exitCode = 0;
        Step step = Step::Flushing;
        QObject *scope = nullptr;
    };
    struct InterfaceWait
    {
        QString name;
        int timeoutMs;
        ToolCommand probe;
        QElapsedTimer clock;
        QObject *scope;
        std::function<void(bool, bool)> done;
    };
    QJsonObject launch(const QJsonObject &spec);
    void launchPending(const QString &processId);
    void armDnsOverride(const QString &processId, const QJsonObject &spec);
    void cancelDnsOverride(const QString &processId, const char *why);
    void probeInterface(const InterfaceWait &wait);
    void interfaceNotUp(const InterfaceWait &wait);
    // Sends the process's finished frames, and with closeOpen those still open too; nothing
    // more once it is held. Arms the flush timer for output left open.
    void flushOutput(const QString &processId, bool closeOpen);
    // Sends "finished" once the process's output is all out, and drops the process.
    void finishWhenFlushed(const QString &processId);
    bool anyProcess(const std::function<bool(const ManagedProcess *)> &test) const;

    const Timing m_timing;
    const TunTools &m_tools;
    QHash<QString, ManagedProcess *> m_processes;
    QHash<QString, Finishing> m_finishing;
    QHash<QString, PendingStart> m_pendingStarts;
    QHash<QString, QObject *> m_dnsOverrides; // process id -> the scope of its DNS step
    QHash<QString, QString> m_dnsInterfaces;  // process id -> the interface its override has set
    InterfaceTest m_usedElsewhere;
    QTimer *m_flushTimer; // runs only while output waits in an open frame
    bool m_stopping = false;
};
