#include "tunnel/tuntools.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

QString trimmedText(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.trimmed()).trimmed();
}

QString powerShell()
{
    return QStringLiteral("powershell.exe");
}

} // namespace

// Windows: powershell.exe from the search path, pnputil.exe under %WINDIR%\System32.
class WindowsTunTools : public TunTools
{
public:
    QString dnsToolName() const override;
    QString deviceWord() const override;
    bool acceptsInterfaceName(const QString &name) const override;
    ToolCommand readinessProbe(const QString &interfaceName) const override;
    bool reportsUp(const ToolResult &probe) const override;
    bool reportsTun(const ToolResult &probe) const override;
    ToolCommand dnsCommand(const QString &interfaceName, const QString &dnsAddress) const override;
    ToolCommand deviceLookup(const QString &interfaceName) const override;
    QString deviceFound(const ToolResult &lookup) const override;
    QString deviceLabel(const QString &device) const override;
    ToolCommand deviceRemoval(const QString &device) const override;

    // text as the content of a PowerShell single-quoted literal: every kind of single quote
    // PowerShell knows doubled.
    static QString quotedName(const QString &text);
};

// Linux: ip (iproute2) and resolvectl (systemd-resolved) from the search path.
class LinuxTunTools : public TunTools
{
public:
    QString dnsToolName() const override;
    QString deviceWord() const override;
    bool acceptsInterfaceName(const QString &name) const override;
    ToolCommand readinessProbe(const QString &interfaceName) const override;
    bool reportsUp(const ToolResult &probe) const override;
    bool reportsTun(const ToolResult &probe) const override;
    ToolCommand dnsCommand(const QString &interfaceName, const QString &dnsAddress) const override;
    ToolCommand deviceLookup(const QString &interfaceName) const override;
    QString deviceFound(const ToolResult &lookup) const override;
    QString deviceLabel(const QString &device) const override;
    ToolCommand deviceRemoval(const QString &device) const override;
};

const TunTools &windowsTunTools()
{
    static const WindowsTunTools tools;
    return tools;
}

const TunTools &linuxTunTools()
{
    static const LinuxTunTools tools;
    return tools;
}

// Windows

QString WindowsTunTools::dnsToolName() const
{
    return QStringLiteral("PowerShell");
}

QString WindowsTunTools::deviceWord() const
{
    return QStringLiteral("GUID");
}

bool WindowsTunTools::acceptsInterfaceName(const QString &name) const
{
    // The cmdlets take the name as a wildcard pattern: "*" would be every adapter of the machine.
    static const QRegularExpression wildcard(QStringLiteral("[*?\\[\\]`]"));
    return !name.isEmpty() && name.size() <= 256 && !hasControlCharacter(name) && !name.contains(wildcard);
}

QString WindowsTunTools::quotedName(const QString &text)
{
    // PowerShell ends a single-quoted literal at any of these, and reads two of them as one.
    static const QString quotes = QStringLiteral("'\u2018\u2019\u201A\u201B");
    QString out;
    out.reserve(text.size() + 2);
    for (QChar c : text) {
        out += c;
        if (quotes.contains(c))
            out += c;
    }
    return out;
}

ToolCommand WindowsTunTools::readinessProbe(const QString &interfaceName) const
{
    return {powerShell(),
            {QStringLiteral("-NoProfile"), QStringLiteral("-NonInteractive"), QStringLiteral("-Command"),
             // The device id says whether it is a Wintun adapter.
             QStringLiteral("Get-NetAdapter -Name '%1' -ErrorAction SilentlyContinue | Where-Object {$_.Status -eq 'Up'}"
                            " | Select-Object -ExpandProperty PnPDeviceID")
                 .arg(quotedName(interfaceName))}};
}

bool WindowsTunTools::reportsUp(const ToolResult &probe) const
{
    return probe.finished && probe.exitCode == 0 && !probe.out.isEmpty();
}

bool WindowsTunTools::reportsTun(const ToolResult &probe) const
{
    // "SWD\Wintun\{GUID}", the device pnputil removes.
    return trimmedText(probe.out).startsWith(QStringLiteral("SWD\\Wintun\\{"), Qt::CaseInsensitive);
}

ToolCommand WindowsTunTools::dnsCommand(const QString &interfaceName, const QString &dnsAddress) const
{
    return {powerShell(),
            {QStringLiteral("-Command"),
             QStringLiteral("Set-DnsClientServerAddress -InterfaceAlias '%1' -ServerAddresses ('%2')")
                 .arg(quotedName(interfaceName), quotedName(dnsAddress))}};
}

ToolCommand WindowsTunTools::deviceLookup(const QString &interfaceName) const
{
    return {powerShell(),
            {QStringLiteral("-Command"),
             QStringLiteral("Get-NetAdapter -Name '%1' -ErrorAction SilentlyContinue | Where-Object {$_.Status -ne ''} "
                            "| Select-Object -ExpandProperty InterfaceGuid")
                 .arg(quotedName(interfaceName))}};
}

QString WindowsTunTools::deviceFound(const ToolResult &lookup) const
{
    if (!lookup.finished || lookup.exitCode != 0)
        return {};
    QString text = trimmedText(lookup.out);
    if (text.startsWith(u'{') && text.endsWith(u'}'))
        text = text.mid(1, text.size() - 2).trimmed();
    // Whatever else it is, it goes into pnputil's command line only if it is a GUID.
    static const QRegularExpression guid(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    return guid.match(text).hasMatch() ? text : QString();
}

QString WindowsTunTools::deviceLabel(const QString &device) const
{
    return device.startsWith(u'{') ? device : u'{' + device + u'}';
}

ToolCommand WindowsTunTools::deviceRemoval(const QString &device) const
{
    QString windir = qEnvironmentVariable("WINDIR");
    if (windir.isEmpty())
        windir = QStringLiteral("C:\\Windows");
    return {windir + QStringLiteral("\\System32\\pnputil.exe"),
            {QStringLiteral("/remove-device"), QStringLiteral("SWD\\Wintun\\") + deviceLabel(device)},
            QIODevice::ReadWrite};
}

// Linux

QString LinuxTunTools::dnsToolName() const
{
    return QStringLiteral("resolvectl");
}

QString LinuxTunTools::deviceWord() const
{
    return QStringLiteral("name");
}

bool LinuxTunTools::acceptsInterfaceName(const QString &name) const
{
    // The kernel's own rule (at most 15 bytes, no "/", ":" or white space, not "." or ".."), and
    // no leading "-", which a tool would read as an option.
    const QByteArray bytes = name.toUtf8();
    if (bytes.isEmpty() || bytes.size() > 15 || name == u"." || name == u".." || name.startsWith(u'-'))
        return false;
    return !hasControlCharacter(name)
        && std::none_of(name.cbegin(), name.cend(), [](QChar c) { return c == u'/' || c == u':' || c.isSpace(); });
}

ToolCommand LinuxTunTools::readinessProbe(const QString &interfaceName) const
{
    // -d: the details name the kind of device.
    return {QStringLiteral("ip"), {QStringLiteral("-d"), QStringLiteral("-o"), QStringLiteral("link"),
                                   QStringLiteral("show"), QStringLiteral("dev"), interfaceName}};
}

bool LinuxTunTools::reportsUp(const ToolResult &probe) const
{
    if (!probe.finished || probe.exitCode != 0)
        return false;
    // "4: tarn-tun: <POINTOPOINT,MULTICAST,NOARP,UP,LOWER_UP> mtu 1500 ..."
    static const QRegularExpression flags(QStringLiteral("<([^>]*)>"));
    const QRegularExpressionMatch m = flags.match(QString::fromUtf8(probe.out));
    return m.hasMatch() && m.captured(1).split(u',').contains(QStringLiteral("UP"));
}

bool LinuxTunTools::reportsTun(const ToolResult &probe) const
{
    // "... \    tun type tun pi off vnet_hdr off persist off ..." (a TAP device says "type tap").
    static const QRegularExpression tun(QStringLiteral("(^|\\s)tun type tun(\\s|$)"));
    return tun.match(QString::fromUtf8(probe.out)).hasMatch();
}

ToolCommand LinuxTunTools::dnsCommand(const QString &interfaceName, const QString &dnsAddress) const
{
    return {QStringLiteral("resolvectl"), {QStringLiteral("dns"), interfaceName, dnsAddress}};
}

ToolCommand LinuxTunTools::deviceLookup(const QString &interfaceName) const
{
    return readinessProbe(interfaceName);
}

QString LinuxTunTools::deviceFound(const ToolResult &lookup) const
{
    if (!lookup.finished || lookup.exitCode != 0)
        return {};
    // "4: tarn-tun: <...>", or "4: tarn-tun@NONE: <...>" for a device with a peer.
    static const QRegularExpression line(QStringLiteral("^\\d+: ([^:@\\s]+)(@[^:\\s]*)?: "));
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(lookup.out));
    return m.hasMatch() && acceptsInterfaceName(m.captured(1)) ? m.captured(1) : QString();
}

QString LinuxTunTools::deviceLabel(const QString &device) const
{
    return device;
}

ToolCommand LinuxTunTools::deviceRemoval(const QString &device) const
{
    return {QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("delete"), QStringLiteral("dev"), device}};
}
