#pragma once

#include "process/processinfo.h"
#include "process/processkey.h"
#include "tunnel/tuntools.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

class ManagedProcess;
class QTimer;

// The daemon's supervisor of child processes: the table of supervised processes keyed by the
// client-chosen process id within its session (ProcessKey), and the JSON answers and events
// about them. Answers and events name a process by its id alone, as its client knows it.
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
    // session: where the start comes from; the process is known by its id within it. The TUN
    // core has one adapter per machine: while it runs in one session, another's start is refused.
    // outputHeld: its output is held back from the first byte, as setOutputHeld does later.
    // process: as read from a start request that ProcessInfo::read found no problem in.
    void startProcess(const ProcessInfo &process, Answer answer, quint32 session = 0, bool outputHeld = false);
    // A start still waiting is answered with an error and launches nothing.
    void cancelStart(const ProcessKey &key);
    QJsonObject stopProcess(const ProcessKey &key);
    QJsonObject killProcess(const ProcessKey &key);
    QJsonObject restartProcess(const ProcessKey &key);
    QJsonObject getProcessStatus(const ProcessKey &key) const;
    // The processes of one session; without one, every process, each entry with its "session".
    QJsonObject listProcesses(std::optional<quint32> session = std::nullopt) const;
    bool writeToProcess(const ProcessKey &key, const QByteArray &data);
    // The processes in the table: launched, and their "finished" not yet sent.
    QList<ProcessKey> processKeys() const { return m_processes.keys(); }
    bool contains(const ProcessKey &key) const { return m_processes.contains(key); }
    // The memory a process's stdin queue holds; 0 for an unknown process.
    qint64 queuedInput(const ProcessKey &key) const;
    // Stops every process and waits for them. From here on starts are refused: the daemon is
    // going away.
    void stopAll(int timeoutMs);

    // Stops or resumes both the reading and the sending of a process's output, while whoever
    // receives it is behind. What is held back stays in the daemon, bounded per process, and a
    // held process's "finished" waits until its last output has gone out.
    void setOutputHeld(const ProcessKey &key, bool held);
    // The number of the child the process's record holds, or -1.
    qint64 childPid(const ProcessKey &key) const;

    // Tunnel interface support. None of them waits on a tool: each answers through done (or
    // only through the log), from the event loop. Everything they run and arm belongs to
    // scope: deleting it cancels them, and then done is not called.
    // tun: the probe that found it up shows a TUN device.
    void waitForInterfaceUp(const QString &interfaceName, int timeoutMs, QObject *scope,
                            std::function<void(bool up, bool tun)> done);
    // For key's override: only a TUN device that no process of another session uses has its DNS
    // set.
    void setInterfaceDns(const ProcessKey &key, const QString &dnsAddress, const QString &interfaceName,
                         QObject *scope, std::function<void()> done);
    // The processes that use the interface: the TUN core its adapter, and each whose DNS
    // override has set it, until they end.
    QList<ProcessKey> usersOfInterface(const QString &interfaceName) const;
    // The adapter's GUID without braces (on Linux: the device's name), or empty.
    void getInterfaceGuid(const QString &interfaceName, QObject *scope, std::function<void(const QString &)> done);
    void removeTunDevice(const QString &interfaceName, QObject *scope, std::function<void()> done);

Q_SIGNALS:
    void processEvent(const QJsonObject &event, const ProcessKey &key);
    // Right after its "finished" event: the process has left the table for good.
    void processFinished(const ProcessKey &key, int exitCode);
    // A "stdout" or "stderr" event, as the finished frame to send.
    void processOutput(const ProcessKey &key, const QByteArray &frame);

private Q_SLOTS:
    void flushOutputBuffers();

private:
    struct PendingStart
    {
        ProcessInfo process;
        Answer answer;
        QObject *scope; // the device removal it waits for
        bool outputHeld;
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
    void onProcessStarted(const ProcessKey &key);
    void onProcessFinished(const ProcessKey &key, int exitCode);
    QJsonObject launch(const ProcessKey &key, const ProcessInfo &process, bool outputHeld);
    void launchPending(const ProcessKey &key);
    void armDnsOverride(const ProcessKey &key, const ProcessInfo &process);
    void cancelDnsOverride(const ProcessKey &key, const char *why);
    void probeInterface(const InterfaceWait &wait);
    void interfaceNotUp(const InterfaceWait &wait);
    // Sends the process's finished frames, and with closeOpen those still open too; nothing
    // more once it is held. Arms the flush timer for output left open.
    void flushOutput(const ProcessKey &key, bool closeOpen);
    // Sends "finished" once the process's output is all out, and drops the process.
    void finishWhenFlushed(const ProcessKey &key);
    bool anyProcess(const std::function<bool(const ManagedProcess *)> &test) const;

    const Timing m_timing;
    const TunTools &m_tools;
    QHash<ProcessKey, ManagedProcess *> m_processes;
    QHash<ProcessKey, Finishing> m_finishing;
    QHash<ProcessKey, PendingStart> m_pendingStarts;
    QHash<ProcessKey, QObject *> m_dnsOverrides; // the scope of a process's DNS step
    QHash<ProcessKey, QString> m_dnsInterfaces; // the interface a process's override has set
    QTimer *m_flushTimer; // runs only while output waits in an open frame
    bool m_stopping = false;
};
