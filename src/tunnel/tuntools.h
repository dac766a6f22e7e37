#pragma once
// The tools that look at and change network interfaces, as command lines and as readings of
// what they answer: PowerShell and pnputil on Windows, ip and resolvectl on Linux. Nothing here
// runs anything (runTool does, tunnel operations decide what). Both sets build everywhere, so
// that either can be tested on any machine; nativeTunTools() is the daemon's, chosen by CMake
// (tuntools_unix.cpp, tuntools_winqt.cpp).
//
// Every text a client chose reaches a tool as one argument of its own, or (PowerShell) inside a
// single-quoted literal with its quotes doubled and its wildcards escaped: data, never code.

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>

// The TUN core, and the adapter it creates, whose stale copy goes before and after each run.
inline constexpr char TunProcessId[] = "sing-box-tun";
inline constexpr char TunInterfaceName[] = "tarn-tun";

struct ToolCommand
{
    QString program;
    QStringList arguments;
    QIODevice::OpenMode mode = QIODevice::ReadOnly;
};

struct ToolResult
{
    bool started = false;  // false: the tool could not be run at all (see error)
    bool finished = false; // false: it was killed at its time limit
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QString error;
};

class TunTools
{
public:
    virtual ~TunTools() = default;

    // How log lines name the DNS tool, and what a device lookup finds.
    virtual QString dnsToolName() const = 0;
    virtual QString deviceWord() const = 0;
    // Whether a client's interface name can be handed to these tools at all.
    virtual bool acceptsInterfaceName(const QString &name) const = 0;

    virtual ToolCommand readinessProbe(const QString &interfaceName) const = 0;
    virtual bool reportsUp(const ToolResult &probe) const = 0;
    // Whether a probe that reports the interface up shows a TUN device (Linux: ip's details
    // "tun type tun"; Windows: a Wintun adapter): no other interface has its DNS set.
    virtual bool reportsTun(const ToolResult &probe) const = 0;
    // dnsAddress is a checked IP address.
    virtual ToolCommand dnsCommand(const QString &interfaceName, const QString &dnsAddress) const = 0;
    virtual ToolCommand deviceLookup(const QString &interfaceName) const = 0;
    // The device a finished lookup names (a GUID without braces), or empty: none, or an answer
    // that is not shaped like one (it is never passed on).
    virtual QString deviceFound(const ToolResult &lookup) const = 0;
    // The device as the removal and its log line name it ("{GUID}").
    virtual QString deviceLabel(const QString &device) const = 0;
    virtual ToolCommand deviceRemoval(const QString &device) const = 0;
};

// Both sets on every platform. Windows: powershell.exe from the search path, pnputil.exe under
// %WINDIR%\System32. Linux: ip (iproute2) and resolvectl (systemd-resolved) from the search path.
const TunTools &windowsTunTools();
const TunTools &linuxTunTools();
// The daemon's.
const TunTools &nativeTunTools();
