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

void ProcessManager::startProcess(const QJsonObject &spec, Answer answer)
{
    if (m_stopping)
        return answer(makeErrorResponse(QStringLiteral("Daemon is shutting down")));
    const QString problem = ProcessInfo::validate(spec);
    if (!problem.isEmpty())
        return answer(makeErrorResponse(problem));
    const QString id = spec.value("process-id").toString();
    if (m_processes.contains(id) || m_pendingStarts.contains(id))
        return answer(makeErrorResponse(QStringLiteral("Process already exists: ") + id));
    if (id != QLatin1String(TunProcessId))
        return answer(launch(spec));

    // The new core must not meet the adapter of a previous run. Meanwhile the id is taken.
    auto *scope = new QObject(this);
    m_pendingStarts.insert(id, PendingStart{spec, std::move(answer), scope});
    removeTunDevice(QString::fromLatin1(TunInterfaceName), scope, [this, id] { launchPending(id); });
}

void ProcessManager::launchPending(const QString &processId)
{
    if (!m_pendingStarts.contains(processId))
        return;
    const PendingStart pending = m_pendingStarts.take(processId);
    pending.scope->deleteLater();
    pending.answer(m_stopping ? makeErrorResponse(QStringLiteral("Daemon is shutting down")) : launch(pending.spec));
}

void ProcessManager::cancelStart(const QString &processId)
{
    if (!m_pendingStarts.contains(processId))
        return;
    const PendingStart pending = m_pendingStarts.take(processId);
    qCInfo(lcTarnd) << "[ProcessManager] Start of" << processId << "cancelled while it waited for the TUN device removal";
    delete pending.scope;
    pending.answer(makeErrorResponse(QStringLiteral("Process start cancelled: ") + processId));
}

QJsonObject ProcessManager::launch(const QJsonObject &spec)
{
    const QString id = spec.value("process-id").toString();
    auto *process = new ManagedProcess(id, this, m_timing.exitDrainMs);
    connect(process, &ManagedProcess::processStarted, this, &ProcessManager::onProcessStarted);
    connect(process, &ManagedProcess::processFinished, this, &ProcessManager::onProcessFinished);
    connect(process, &ManagedProcess::outputReady, this, [this](const QString &id) { flushOutput(id, false); });
    process->setSpec(spec);
    if (!process->launch()) {
        process->deleteLater();
        return makeErrorResponse(QStringLiteral("Failed to start process: ") + id);
    }
    m_processes.insert(id, process);
    armDnsOverride(id, spec);
    return makeStatusResponse(QStringLiteral("started"), QStringLiteral("Process started successfully"));
}

QJsonObject ProcessManager::stopProcess(const QString &processId)
{
    qCDebug(lcTarnd) << "[ProcessManager] stopProcess called for" << processId;
    ManagedProcess *p = m_processes.value(processId);
    if (!p) {
        qCWarning(lcTarnd) << "[ProcessManager] Process not found:" << clientText(processId);
        return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
    }
    qCDebug(lcTarnd) << "[ProcessManager] Calling stop() on process" << processId;
    cancelDnsOverride(processId, "is stopping");
    p->stop(m_timing.stopBudgetMs);
    return makeStatusResponse(QStringLiteral("stopping"), QStringLiteral("Process stop requested"));
}

QJsonObject ProcessManager::killProcess(const QString &processId)
{
    ManagedProcess *p = m_processes.value(processId);
    if (!p)
        return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
    cancelDnsOverride(processId, "was killed");
    p->kill();
    return makeStatusResponse(QStringLiteral("killed"), QStringLiteral("Process killed"));
}

QJsonObject ProcessManager::restartProcess(const QString &processId)
{
    ManagedProcess *p = m_processes.value(processId);
    if (!p)
        return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
    cancelDnsOverride(processId, "is stopping");
    p->stop(m_timing.stopBudgetMs);
    return makeStatusResponse(QStringLiteral("restarting"), QStringLiteral("Process restart initiated"));
}

QJsonObject ProcessManager::getProcessStatus(const QString &processId) const
{
    const ManagedProcess *p = m_processes.value(processId);
    if (!p)
        return makeErrorResponse(QStringLiteral("Process not found: ") + processId);
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

QJsonObject ProcessManager::listProcesses() const
{
    QJsonArray list;
    for (const ManagedProcess *p : m_processes) {
        const ProcessInfo info = p->getInfo();
        list.append(QJsonObject{{"process-id", info.processId},
                                {"state", info.state},
                                {"pid", info.pid},
                                {"running", p->running()}});
    }
    QJsonObject r = makeStatusResponse(QStringLiteral("success"));
    r.insert("processes", list);
    return r;
}

bool ProcessManager::writeToProcess(const QString &processId, const QByteArray &data)
{
    ManagedProcess *p = m_processes.value(processId);
    return p && p->writeInput(data);
}

qint64 ProcessManager::queuedInput(const QString &processId) const
{
    const ManagedProcess *p = m_processes.value(processId);
    return p ? p->queuedInputBytes() : 0;
}

void ProcessManager::setOutputHeld(const QString &processId, bool held)
{
    ManagedProcess *p = m_processes.value(processId);
    if (!p)
        return;
    p->setOutputHeld(held);
    // What waited goes on from the event loop: the caller may be walking its own tables.
    if (!held)
        QMetaObject::invokeMethod(this, [this, processId] {
            flushOutput(processId, false);
            finishWhenFlushed(processId);
        }, Qt::QueuedConnection);
}

qint64 ProcessManager::childPid(const QString &processId) const
{
    const ManagedProcess *p = m_processes.value(processId);
    return p ? p->childPid() : -1;
}

bool ProcessManager::anyProcess(const std::function<bool(const ManagedProcess *)> &test) const
{
    return std::any_of(m_processes.cbegin(), m_processes.cend(), test);
}

void ProcessManager::stopAll(int timeoutMs)
{
    m_stopping = true;
    for (const QString &id : m_pendingStarts.keys()) {
        const PendingStart pending = m_pendingStarts.take(id);
        delete pending.scope;
        pending.answer(makeErrorResponse(QStringLiteral("Daemon is shutting down")));
    }
    for (const QString &id : m_dnsOverrides.keys())
        cancelDnsOverride(id, "is stopping with the daemon");
    if (m_processes.isEmpty()) {
        qCInfo(lcTarnd) << "[ProcessManager] No processes to stop";
        return;
    }
    qCInfo(lcTarnd) << "[ProcessManager] Stopping all" << m_processes.size() << "managed processes...";
    // A stop can end a process on the spot and take it out of the table: walk a copy.
    const QList<QString> ids = m_processes.keys();
    for (const QString &id : ids) {
        if (ManagedProcess *p = m_processes.value(id)) {
            qCInfo(lcTarnd) << "[ProcessManager] Stopping process:" << id;
            p->stop(timeoutMs);
        }
    }
    const auto running = [](const ManagedProcess *p) { return p->running(); };
    serveEventsUntil([&] { return !anyProcess(running); }, timeoutMs + 1000, 100);

    int killed = 0;
    for (const QString &id : m_processes.keys()) {
        ManagedProcess *p = m_processes.value(id);
        if (!p || !p->running())
            continue;
        qCWarning(lcTarnd) << "[ProcessManager] Process" << id << "still running after timeout, force killing...";
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

void ProcessManager::onProcessStarted(const QString &processId)
{
    Q_EMIT processEvent(makeEvent(processId, QStringLiteral("started")));
}

void ProcessManager::onProcessFinished(const QString &processId, int exitCode)
{
    cancelDnsOverride(processId, "has ended");
    m_dnsInterfaces.remove(processId);
    m_finishing.insert(processId, Finishing{exitCode});
    finishWhenFlushed(processId);
}

void ProcessManager::finishWhenFlushed(const QString &processId)
{
    const auto f = m_finishing.find(processId);
    if (f == m_finishing.end() || f->step == Finishing::Step::RemovingDevice)
        return;
    flushOutput(processId, true);
    if (const ManagedProcess *p = m_processes.value(processId); p && p->holdsOutput())
        return; // held: it comes back here once the receiver has caught up
    Finishing &finishing = m_finishing[processId];
    if (processId == QLatin1String(TunProcessId) && finishing.step == Finishing::Step::Flushing) {
        finishing.step = Finishing::Step::RemovingDevice;
        finishing.scope = new QObject(this);
        removeTunDevice(QString::fromLatin1(TunInterfaceName), finishing.scope, [this, processId] {
            Finishing &f = m_finishing[processId];
            f.step = Finishing::Step::Done;
            f.scope->deleteLater();
            f.scope = nullptr;
            finishWhenFlushed(processId);
        });
        return;
    }
    const int exitCode = m_finishing.take(processId).exitCode;
    Q_EMIT processEvent(makeEvent(processId, QStringLiteral("finished"), QString::number(exitCode)));
    if (ManagedProcess *p = m_processes.take(processId))
        p->deleteLater();
}

void ProcessManager::flushOutputBuffers()
{
    const QList<QString> ids = m_processes.keys();
    for (const QString &id : ids)
        flushOutput(id, true);
    const QList<QString> finishing = m_finishing.keys();
    for (const QString &id : finishing)
        finishWhenFlushed(id);
}

void ProcessManager::flushOutput(const QString &processId, bool closeOpen)
{
    ManagedProcess *p = m_processes.value(processId);
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
        Q_EMIT processOutput(processId, frames[next]);
    }
    if (next < frames.size())
        p->giveBackOutput(frames.mid(next));
    if (sent > 0)
        p->outputConsumed(sent);
    if (pending && !m_flushTimer->isActive())
        m_flushTimer->start();
}
