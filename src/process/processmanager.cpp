#include "process/processmanager.h"
#include "process/managedprocess.h"
#include "process/processinfo.h"
#include "process/processmessages.h"
#include "service/eventwait.h"
#include "service/logging.h"

#include <QJsonArray>
#include <QTimer>

#include <algorithm>

using namespace processmessages;

namespace {

// Once the stop budget is over and the rest killed, how long the ends may take to be handled.
constexpr int SettleAfterKillMs = 2000;

} // namespace

ProcessManager::ProcessManager(QObject *parent)
    : ProcessManager(parent, Timing{})
{
}

ProcessManager::ProcessManager(QObject *parent, Timing timing, const TunTools &tools)
    : QObject(parent)
    , m_timing(timing)
    , m_tools(tools)
    , m_flushTimer(new QTimer(this))
{
    m_flushTimer->setSingleShot(true);
    m_flushTimer->setInterval(FlushIntervalMs);
    connect(m_flushTimer, &QTimer::timeout, this, &ProcessManager::flushOutputBuffers);
}

ProcessManager::~ProcessManager()
{
    for (ManagedProcess *p : std::as_const(m_processes))
        p->deleteLater();
    m_processes.clear();
}

void ProcessManager::startProcess(const ProcessInfo &process, Answer answer, quint32 session, bool outputHeld)
{
    if (m_stopping)
        return answer(makeErrorResponse(QStringLiteral("Daemon is shutting down")));
    const ProcessKey key(process.processId, session);
    const QString &id = key.id;
    if (m_processes.contains(key) || m_pendingStarts.contains(key))
        return answer(makeErrorResponse(QStringLiteral("Process already exists: ") + id));
    if (id != QLatin1String(TunProcessId))
        return answer(launch(key, process, outputHeld));
    // One adapter for the machine: the core of another session keeps it, and who that is stays
    // unsaid.
    const auto elsewhere = [&key](const ProcessKey &k) { return k.id == key.id && k.session != key.session; };
    const QList<ProcessKey> taken = m_processes.keys() + m_pendingStarts.keys();
    if (std::any_of(taken.cbegin(), taken.cend(), elsewhere)) {
        qCWarning(lcTarnd) << "[ProcessManager] Refused the TUN core of session" << session
                           << ": it runs in another session";
        return answer(makeErrorResponse(QStringLiteral("The TUN core is already running in another session")));
    }

    // The new core must not meet the adapter of a previous run. Meanwhile the id is taken.
    auto *scope = new QObject(this);
    m_pendingStarts.insert(key, PendingStart{process, std::move(answer), scope, outputHeld});
    removeTunDevice(QString::fromLatin1(TunInterfaceName), scope, [this, key] { launchPending(key); });
}

void ProcessManager::launchPending(const ProcessKey &key)
{
    if (!m_pendingStarts.contains(key))
        return;
    const PendingStart pending = m_pendingStarts.take(key);
    pending.scope->deleteLater();
    pending.answer(m_stopping ? makeErrorResponse(QStringLiteral("Daemon is shutting down"))
                              : launch(key, pending.process, pending.outputHeld));
}

void ProcessManager::cancelStart(const ProcessKey &key)
{
    if (!m_pendingStarts.contains(key))
        return;
    const PendingStart pending = m_pendingStarts.take(key);
    qCInfo(lcTarnd) << "[ProcessManager] Start of" << key.id << "cancelled while it waited for the TUN device removal";
    delete pending.scope;
    pending.answer(makeErrorResponse(QStringLiteral("Process start cancelled: ") + key.id));
}

QJsonObject ProcessManager::launch(const ProcessKey &key, const ProcessInfo &process, bool outputHeld)
{
    auto *child = new ManagedProcess(key.id, this, m_timing.exitDrainMs);
    connect(child, &ManagedProcess::processStarted, this, [this, key] { onProcessStarted(key); });
    connect(child, &ManagedProcess::processFinished, this,
            [this, key](const QString &, int exitCode) { onProcessFinished(key, exitCode); });
    connect(child, &ManagedProcess::outputReady, this, [this, key] { flushOutput(key, false); });
    child->setInfo(process);
    // Before the launch: the output reader may read before the answer is out.
    child->setOutputHeld(outputHeld);
    if (!child->launch()) {
        child->deleteLater();
        return makeErrorResponse(QStringLiteral("Failed to start process: ") + key.id);
    }
    m_processes.insert(key, child);
    armDnsOverride(key, process);
    return makeStatusResponse(QStringLiteral("started"), QStringLiteral("Process started successfully"));
}

QJsonObject ProcessManager::stopProcess(const ProcessKey &key)
{
    const QString &processId = key.id;
    qCDebug(lcTarnd) << "[ProcessManager] stopProcess called for" << processId;
    ManagedProcess *p = m_processes.value(key);
    if (!p) {
        qCWarning(lcTarnd) << "[ProcessManager] Process not found:" << clientText(processId);
        return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
    }
    qCDebug(lcTarnd) << "[ProcessManager] Calling stop() on process" << processId;
    cancelDnsOverride(key, "is stopping");
    p->stop(m_timing.stopBudgetMs);
    return makeStatusResponse(QStringLiteral("stopping"), QStringLiteral("Process stop requested"));
}

QJsonObject ProcessManager::killProcess(const ProcessKey &key)
{
    ManagedProcess *p = m_processes.value(key);
    if (!p)
        return makeErrorResponse(QStringLiteral("Process not found: ") + key.id);
    cancelDnsOverride(key, "was killed");
    p->kill();
    return makeStatusResponse(QStringLiteral("killed"), QStringLiteral("Process killed"));
}

QJsonObject ProcessManager::restartProcess(const ProcessKey &key)
{
    ManagedProcess *p = m_processes.value(key);
    if (!p)
        return makeErrorResponse(QStringLiteral("Process not found: ") + key.id);
    cancelDnsOverride(key, "is stopping");
    p->stop(m_timing.stopBudgetMs);
    return makeStatusResponse(QStringLiteral("restarting"), QStringLiteral("Process restart initiated"));
}

QJsonObject ProcessManager::getProcessStatus(const ProcessKey &key) const
{
    const ManagedProcess *p = m_processes.value(key);
    if (!p)
        return makeErrorResponse(QStringLiteral("Process not found: ") + key.id);
    const ProcessInfo info = p->getInfo();
    QJsonObject r = makeStatusResponse(QStringLiteral("success"));
    r.insert("process-id", info.processId);
    r.insert("state", info.state);
    r.insert("pid", info.pid);
    r.insert("start-time", info.startTime.toString(Qt::ISODate));
    r.insert("running", p->running());
    r.insert("restarts", info.restartAttempts);
    return r;
}

QJsonObject ProcessManager::listProcesses(std::optional<quint32> session) const
{
    QJsonArray list;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        if (session && it.key().session != *session)
            continue;
        const ManagedProcess *p = it.value();
        const ProcessInfo info = p->getInfo();
        QJsonObject entry{{"process-id", info.processId}, {"state", info.state}, {"pid", info.pid}, {"running", p->running()}};
        if (!session)
            entry.insert("session", qint64(it.key().session));
        list.append(entry);
    }
    QJsonObject r = makeStatusResponse(QStringLiteral("success"));
    r.insert("processes", list);
    return r;
}

bool ProcessManager::writeToProcess(const ProcessKey &key, const QByteArray &data)
{
    ManagedProcess *p = m_processes.value(key);
    return p && p->writeInput(data);
}

qint64 ProcessManager::queuedInput(const ProcessKey &key) const
{
    const ManagedProcess *p = m_processes.value(key);
    return p ? p->queuedInputBytes() : 0;
}

void ProcessManager::setOutputHeld(const ProcessKey &key, bool held)
{
    ManagedProcess *p = m_processes.value(key);
    if (!p)
        return;
    p->setOutputHeld(held);
    // What waited goes on from the event loop: the caller may be walking its own tables.
    if (!held)
        QMetaObject::invokeMethod(this, [this, key] {
            flushOutput(key, false);
            finishWhenFlushed(key);
        }, Qt::QueuedConnection);
}

qint64 ProcessManager::childPid(const ProcessKey &key) const
{
    const ManagedProcess *p = m_processes.value(key);
    return p ? p->childPid() : -1;
}

bool ProcessManager::anyProcess(const std::function<bool(const ManagedProcess *)> &test) const
{
    return std::any_of(m_processes.cbegin(), m_processes.cend(), test);
}

void ProcessManager::stopAll(int timeoutMs)
{
    m_stopping = true;
    for (const ProcessKey &key : m_pendingStarts.keys()) {
        const PendingStart pending = m_pendingStarts.take(key);
        delete pending.scope;
        pending.answer(makeErrorResponse(QStringLiteral("Daemon is shutting down")));
    }
    for (const ProcessKey &key : m_dnsOverrides.keys())
        cancelDnsOverride(key, "is stopping with the daemon");
    if (m_processes.isEmpty()) {
        qCInfo(lcTarnd) << "[ProcessManager] No processes to stop";
        return;
    }
    qCInfo(lcTarnd) << "[ProcessManager] Stopping all" << m_processes.size() << "managed processes...";
    // A stop can end a process on the spot and take it out of the table: walk a copy.
    const QList<ProcessKey> ids = m_processes.keys();
    for (const ProcessKey &id : ids) {
        if (ManagedProcess *p = m_processes.value(id)) {
            qCInfo(lcTarnd) << "[ProcessManager] Stopping process:" << id.id;
            p->stop(timeoutMs);
        }
    }
    const auto running = [](const ManagedProcess *p) { return p->running(); };
    serveEventsUntil([&] { return !anyProcess(running); }, timeoutMs + 1000, 100);

    int killed = 0;
    for (const ProcessKey &id : m_processes.keys()) {
        ManagedProcess *p = m_processes.value(id);
        if (!p || !p->running())
            continue;
        qCWarning(lcTarnd) << "[ProcessManager] Process" << id.id << "still running after timeout, force killing...";
        p->kill();
        ++killed;
    }
    if (killed > 0)
        qCWarning(lcTarnd) << "[ProcessManager] Force killed" << killed << "processes that didn't stop gracefully";
    else
        qCInfo(lcTarnd) << "[ProcessManager] All processes stopped gracefully";
    // The ends of the killed ones, and of those whose output is still being read, are handled
    // here too, so that their "finished" goes out and nothing of them is left when this returns.
    const auto ending = [](const ManagedProcess *p) {
        return p->running() || p->phase() == ManagedProcess::Phase::Exiting;
    };
    serveEventsUntil([&] { return !anyProcess(ending); }, m_timing.exitDrainMs + SettleAfterKillMs, 100);
    // The TUN core's adapter goes too, within the time its lookup and removal may take.
    const auto removingDevice = [this] {
        return std::any_of(m_finishing.cbegin(), m_finishing.cend(),
                           [](const Finishing &f) { return f.step == Finishing::Step::RemovingDevice; });
    };
    serveEventsUntil([&] { return !removingDevice(); }, 2 * m_timing.commandLimitMs + SettleAfterKillMs, 100);
}

void ProcessManager::onProcessStarted(const ProcessKey &key)
{
    Q_EMIT processEvent(makeEvent(key.id, QStringLiteral("started")), key);
}

void ProcessManager::onProcessFinished(const ProcessKey &key, int exitCode)
{
    cancelDnsOverride(key, "has ended");
    m_dnsInterfaces.remove(key);
    m_finishing.insert(key, Finishing{exitCode});
    finishWhenFlushed(key);
}

void ProcessManager::finishWhenFlushed(const ProcessKey &key)
{
    const QString &processId = key.id;
    const auto f = m_finishing.find(key);
    if (f == m_finishing.end() || f->step == Finishing::Step::RemovingDevice)
        return;
    flushOutput(key, true);
    if (const ManagedProcess *p = m_processes.value(key); p && p->holdsOutput())
        return; // held: it comes back here once the receiver has caught up
    Finishing &finishing = m_finishing[key];
    if (processId == QLatin1String(TunProcessId) && finishing.step == Finishing::Step::Flushing) {
        finishing.step = Finishing::Step::RemovingDevice;
        finishing.scope = new QObject(this);
        removeTunDevice(QString::fromLatin1(TunInterfaceName), finishing.scope, [this, key] {
            Finishing &f = m_finishing[key];
            f.step = Finishing::Step::Done;
            f.scope->deleteLater();
            f.scope = nullptr;
            finishWhenFlushed(key);
        });
        return;
    }
    const int exitCode = m_finishing.take(key).exitCode;
    Q_EMIT processEvent(makeEvent(processId, QStringLiteral("finished"), QString::number(exitCode)), key);
    if (ManagedProcess *p = m_processes.take(key))
        p->deleteLater();
    Q_EMIT processFinished(key, exitCode);
}

void ProcessManager::flushOutputBuffers()
{
    const QList<ProcessKey> ids = m_processes.keys();
    for (const ProcessKey &id : ids)
        flushOutput(id, true);
    const QList<ProcessKey> finishing = m_finishing.keys();
    for (const ProcessKey &id : finishing)
        finishWhenFlushed(id);
}

void ProcessManager::flushOutput(const ProcessKey &key, bool closeOpen)
{
    ManagedProcess *p = m_processes.value(key);
    if (!p || p->outputHeld())
        return;
    bool pending = false;
    const QList<QByteArray> frames = p->takeOutput(closeOpen, &pending);
    qint64 sent = 0;
    qsizetype next = 0;
    // The hold is looked at before every frame: a receiver that falls behind in the middle of
    // a flush gets no more than the frame that made it fall behind. Receivers may reach back
    // into this object, but a process is deleted only from the event loop.
    for (; next < frames.size() && !p->outputHeld(); ++next) {
        sent += frames[next].size();
        Q_EMIT processOutput(key, frames[next]);
    }
    if (next < frames.size())
        p->giveBackOutput(frames.mid(next));
    if (sent > 0)
        p->outputConsumed(sent);
    if (pending && !m_flushTimer->isActive())
        m_flushTimer->start();
}
