// The process manager's tunnel interface support: waiting for the TUN interface, its DNS
// override, and the removal of a stale TUN device around the TUN core. Every tool runs through
// runTool, so the main thread goes on serving all sessions while one of them waits.

#include "daemon/processscan.h"
#include "process/managedprocess.h"
#include "process/processmanager.h"
#include "service/logging.h"
#include "tunnel/toolrun.h"

#include <QHostAddress>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

QString trimmedError(const ToolResult &r)
{
    return r.started ? QString::fromUtf8(r.err).trimmed() : r.error;
}

} // namespace

void ProcessManager::armDnsOverride(const ProcessKey &key, const ProcessInfo &process)
{
    const QString &processId = key.id;
    const QString &address = process.dnsAddress;
    const QString &iface = process.dnsInterface;
    if (address.isEmpty() || iface.isEmpty())
        return;
    // Both go into the command line of a tool run with the service's rights.
    const QHostAddress ip(address);
    if (ip.isNull()) {
        qCWarning(lcTarnd) << "[ProcessManager] Refusing the DNS override of" << clientText(processId) << "-"
                           << clientText(address) << "is not an IP address";
        return;
    }
    if (!m_tools.acceptsInterfaceName(iface)) {
        qCWarning(lcTarnd) << "[ProcessManager] Refusing the DNS override of" << clientText(processId) << "-"
                           << clientText(iface) << "is not an interface name";
        return;
    }
    cancelDnsOverride(key, "is starting again");
    auto *scope = new QObject(this);
    m_dnsOverrides.insert(key, scope);
    QTimer::singleShot(m_timing.dnsDelayMs, scope, [this, key, scope, dns = ip.toString(), iface] {
        setInterfaceDns(key, dns, iface, scope, [this, key, scope] {
            if (m_dnsOverrides.value(key) == scope)
                m_dnsOverrides.remove(key);
            scope->deleteLater();
        });
    });
}

void ProcessManager::cancelDnsOverride(const ProcessKey &key, const char *why)
{
    QObject *scope = m_dnsOverrides.take(key);
    if (!scope)
        return;
    qCInfo(lcTarnd) << "[ProcessManager] DNS override of" << key.id << "given up: the process" << why;
    delete scope;
}

void ProcessManager::waitForInterfaceUp(const QString &interfaceName, int timeoutMs, QObject *scope,
                                        std::function<void(bool up, bool tun)> done)
{
    qCInfo(lcTarnd) << "[ProcessManager] Waiting for interface" << interfaceName << "to be UP (max" << timeoutMs
                    << "ms)";
    InterfaceWait wait{interfaceName, timeoutMs, m_tools.readinessProbe(interfaceName), {}, scope, std::move(done)};
    wait.clock.start();
    if (wait.clock.elapsed() >= timeoutMs)
        return interfaceNotUp(wait);
    probeInterface(wait);
}

void ProcessManager::probeInterface(const InterfaceWait &wait)
{
    runTool(wait.scope, wait.probe, m_timing.probeLimitMs, m_timing.probeReapMs, [this, wait](const ToolResult &r) {
        if (m_tools.reportsUp(r)) {
            qCInfo(lcTarnd) << "[ProcessManager] Interface" << wait.name << "is UP after" << wait.clock.elapsed()
                            << "ms";
            return wait.done(true, m_tools.reportsTun(r));
        }
        QTimer::singleShot(m_timing.probePauseMs, wait.scope, [this, wait] {
            if (wait.clock.elapsed() >= wait.timeoutMs)
                interfaceNotUp(wait);
            else
                probeInterface(wait);
        });
    });
}

void ProcessManager::interfaceNotUp(const InterfaceWait &wait)
{
    qCWarning(lcTarnd) << "[ProcessManager] Interface" << wait.name << "not UP after" << wait.clock.elapsed()
                       << "ms (timeout:" << wait.timeoutMs << "ms)";
    wait.done(false, false);
}

QList<ProcessKey> ProcessManager::usersOfInterface(const QString &interfaceName) const
{
    QList<ProcessKey> users = m_dnsInterfaces.keys(interfaceName);
    if (interfaceName == QLatin1String(TunInterfaceName))
        for (const ProcessKey &key : m_processes.keys())
            if (key.id == QLatin1String(TunProcessId))
                users.append(key);
    return users;
}

void ProcessManager::setInterfaceDns(const ProcessKey &key, const QString &dnsAddress, const QString &interfaceName,
                                     QObject *scope, std::function<void()> done)
{
    qCInfo(lcTarnd) << "[ProcessManager] Configuring DNS for interface" << interfaceName << "to" << dnsAddress;
    waitForInterfaceUp(interfaceName, m_timing.interfaceWaitMs, scope, [=](bool up, bool tun) {
        if (!up) {
            qCWarning(lcTarnd) << "[ProcessManager] Cannot set DNS - interface" << interfaceName << "not found";
            return done();
        }
        // The DNS of the machine's other interfaces is every user's, set here with the service's rights.
        if (!tun) {
            qCWarning(lcTarnd) << "[ProcessManager] Cannot set DNS - interface" << interfaceName << "is not a TUN device";
            return done();
        }
        const QList<ProcessKey> users = usersOfInterface(interfaceName);
        if (std::any_of(users.cbegin(), users.cend(), [&](const ProcessKey &u) { return u.session != key.session; })) {
            qCWarning(lcTarnd) << "[ProcessManager] Cannot set DNS - interface" << interfaceName
                               << "is in use by another session";
            return done();
        }
        // The device the process made, as the override asks for: not one of the machine's own
        // (a system VPN's, say), which a client would otherwise steer with the service's rights.
        const ManagedProcess *process = m_processes.value(key);
        if (!process || !process->running()
            || !processscan::groupHoldsTun(process->childPid(), interfaceName.toStdString())) {
            qCWarning(lcTarnd) << "[ProcessManager] Cannot set DNS - interface" << interfaceName
                               << "is not held by the process";
            return done();
        }
        // Claimed before the tool runs, so that another session's override cannot slip in meanwhile.
        m_dnsInterfaces.insert(key, interfaceName);
        const ToolCommand command = m_tools.dnsCommand(interfaceName, dnsAddress);
        runTool(scope, command, m_timing.commandLimitMs, 0, [=](const ToolResult &r) {
            if (r.started && !r.finished)
                qCWarning(lcTarnd).noquote() << "[ProcessManager]" << m_tools.dnsToolName()
                                             << "DNS command timed out - killing process";
            else if (r.finished && r.exitCode == 0)
                qCInfo(lcTarnd) << "[ProcessManager] DNS server set successfully to" << dnsAddress << "for interface"
                                << interfaceName;
            else
                qCWarning(lcTarnd) << "[ProcessManager] Failed to set DNS server:" << trimmedError(r);
            done();
        });
    });
}

void ProcessManager::getInterfaceGuid(const QString &interfaceName, QObject *scope,
                                      std::function<void(const QString &)> done)
{
    runTool(scope, m_tools.deviceLookup(interfaceName), m_timing.commandLimitMs, 0, [=](const ToolResult &r) {
        // What a lookup cut off at its limit had written proves nothing.
        if (r.started && !r.finished) {
            qCWarning(lcTarnd) << "[ProcessManager] Interface lookup for" << interfaceName << "timed out after"
                               << m_timing.commandLimitMs << "ms - taken as not found";
            return done({});
        }
        const QString device = m_tools.deviceFound(r);
        if (device.isEmpty()) {
            if (r.finished && r.exitCode == 0 && !r.out.trimmed().isEmpty())
                qCWarning(lcTarnd).noquote() << "[ProcessManager] Interface lookup for" << interfaceName
                                             << "answered no" << m_tools.deviceWord() << "but"
                                             << clientText(QString::fromUtf8(r.out.trimmed()));
            return done({});
        }
        qCDebug(lcTarnd) << qUtf8Printable(u"[ProcessManager] Found interface "_s + m_tools.deviceWord() + u':') << device;
        done(device);
    });
}

void ProcessManager::removeTunDevice(const QString &interfaceName, QObject *scope, std::function<void()> done)
{
    getInterfaceGuid(interfaceName, scope, [=](const QString &device) {
        if (device.isEmpty()) {
            qCDebug(lcTarnd) << "[ProcessManager] No TUN interface found to cleanup for:" << interfaceName;
            return done();
        }
        qCInfo(lcTarnd) << qUtf8Printable(u"[ProcessManager] Cleaning up TUN interface with "_s + m_tools.deviceWord() + u':')
                        << m_tools.deviceLabel(device);
        runTool(scope, m_tools.deviceRemoval(device), m_timing.commandLimitMs, 0, [=](const ToolResult &r) {
            if (r.finished && r.exitCode == 0)
                qCInfo(lcTarnd) << "[ProcessManager] TUN interface removed successfully";
            else if (r.started && !r.finished)
                qCWarning(lcTarnd) << "[ProcessManager] Failed to remove TUN interface: no answer in"
                                   << m_timing.commandLimitMs << "ms";
            else
                qCWarning(lcTarnd) << "[ProcessManager] Failed to remove TUN interface:" << trimmedError(r);
            done();
        });
    });
}
