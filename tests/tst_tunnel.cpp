// The tunnel operations against fake tools first on PATH: shell scripts that record each call
// and act out a case. The Windows tool set runs here too, its powershell.exe a script and its
// pnputil.exe one under a fake WINDIR.

#include "client/tarnclient.h"
#include "process/processmanager.h"
#include "testsupport.h"
#include "tunnel/tuntools.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);
const QString Guid = QStringLiteral("0A1B2C3D-0000-0000-0000-000000000001");

QJsonObject spec(const QString &id, const QStringList &args, const QJsonObject &dns = {})
{
    QJsonObject s{{"action", "start"}, {"process-id", id}, {"executable", Helper},
                  {"arguments", QJsonArray::fromStringList(args)}};
    if (!dns.isEmpty())
        s.insert("tun-dns-override", dns);
    return s;
}

// A folder of fake tools. Each call is one line of calls.log: the tool's file name and its
// arguments, separated by \x1f.
class FakeTools
{
public:
    FakeTools() { QDir(m_dir.path()).mkpath("bin"); }

    void add(const QString &name, const QByteArray &body)
    {
        const QString path = bin() + "/" + name;
        testsupport::writeFile(path, "#!/bin/sh\n"
                                     "{ printf '%s' \"${0##*/}\"; for a in \"$@\"; do printf '\\037%s' \"$a\"; done;"
                                     " printf '\\n'; } >> \"$TOOL_LOG\"\n"
                                     "here=\"${0%/*}\"\n"
                                         + body + "\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString bin() const { return m_dir.path() + "/bin"; }
    QString log() const { return m_dir.path() + "/calls.log"; }
    QStringList env() const
    {
        return {"PATH=" + bin() + ":" + qEnvironmentVariable("PATH"), "TOOL_LOG=" + log(),
                "QT_LOGGING_RULES=tarnd.debug=true"};
    }
    // For the tools run from this test process.
    void useHere() const
    {
        qputenv("PATH", (bin() + ":" + m_path).toUtf8());
        qputenv("TOOL_LOG", log().toUtf8());
    }

    QList<QStringList> calls(const QString &tool = QString()) const
    {
        QList<QStringList> out;
        for (const QString &line : QString::fromUtf8(testsupport::readFile(log())).split('\n', Qt::SkipEmptyParts)) {
            const QStringList call = line.split(QChar(0x1f));
            if (tool.isEmpty() || call.value(0) == tool)
                out << call;
        }
        return out;
    }

private:
    QTemporaryDir m_dir;
    const QString m_path = qEnvironmentVariable("PATH");
};

// The text of a PowerShell single-quoted literal that begins at text[from], as PowerShell reads
// it, and in *end where the literal ends.
QString readQuoted(const QString &text, qsizetype from, qsizetype *end)
{
    static const QString quotes = QStringLiteral("'\u2018\u2019\u201A\u201B");
    QString out;
    qsizetype i = from;
    for (; i < text.size(); ++i) {
        if (!quotes.contains(text[i])) {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && quotes.contains(text[i + 1])) {
            out += text[i];
            ++i;
            continue;
        }
        break;
    }
    *end = i;
    return out;
}

// A tool set for the process manager in this test process: the Windows one, whose pnputil is
// found under WINDIR.
const TunTools &windowsTools = windowsTunTools();

ProcessManager::Timing quick()
{
    ProcessManager::Timing t;
    t.commandLimitMs = 1500;
    return t;
}

} // namespace

class TestTunnel : public QObject
{
    Q_OBJECT
    QByteArray m_windir;
    QByteArray m_path;

private Q_SLOTS:
    void initTestCase()
    {
        m_windir = qgetenv("WINDIR");
        m_path = qgetenv("PATH");
        QLoggingCategory::setFilterRules(QStringLiteral("tarnd.debug=true"));
    }
    void cleanup()
    {
        qputenv("WINDIR", m_windir);
        qputenv("PATH", m_path);
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void commandLines()
    {
        const QString probeTail = QStringLiteral(" -ErrorAction SilentlyContinue | Where-Object {$_.Status -eq 'Up'}");
        ToolCommand probe = windowsTools.readinessProbe("tarn-tun");
        QCOMPARE(probe.program, QStringLiteral("powershell.exe"));
        QCOMPARE(probe.arguments, (QStringList{"-NoProfile", "-NonInteractive", "-Command",
                                               "Get-NetAdapter -Name 'tarn-tun'" + probeTail}));
        QCOMPARE(windowsTools.dnsCommand("tarn-tun", "1.1.1.1").arguments,
                 (QStringList{"-Command", "Set-DnsClientServerAddress -InterfaceAlias 'tarn-tun' -ServerAddresses ('1.1.1.1')"}));

        // Whatever quotes a name holds, PowerShell reads back exactly the name, and the command
        // around it is untouched.
        for (const QString &name : {QStringLiteral("x'; Remove-Item -Recurse C:\\; '"), QStringLiteral("a\u2019b''c"),
                                    QStringLiteral("'"), QStringLiteral("%2 %1")}) {
            QVERIFY2(windowsTools.acceptsInterfaceName(name), qPrintable(name));
            probe = windowsTools.readinessProbe(name);
            const QString text = probe.arguments.last();
            const QString head = QStringLiteral("Get-NetAdapter -Name '");
            QVERIFY(text.startsWith(head));
            qsizetype end = 0;
            QCOMPARE(readQuoted(text, head.size(), &end), name);
            QCOMPARE(text.mid(end + 1), probeTail);
            const QString dns = windowsTools.dnsCommand(name, name).arguments.last();
            const QString dnsHead = QStringLiteral("Set-DnsClientServerAddress -InterfaceAlias '");
            QCOMPARE(readQuoted(dns, dnsHead.size(), &end), name);
            const QString middle = QStringLiteral("' -ServerAddresses ('");
            QCOMPARE(dns.mid(end, middle.size()), middle);
            QCOMPARE(readQuoted(dns, end + middle.size(), &end), name);
            QCOMPARE(dns.mid(end), QStringLiteral("')"));
        }
        // A pattern would reach every adapter of the machine; control characters no adapter has.
        for (const QString name : {"*", "tarn?", "[ab]", "a`b", "a\nb", ""})
            QVERIFY2(!windowsTools.acceptsInterfaceName(name), qPrintable(name));

        // The lookup's answer: one GUID, with or without braces, or nothing at all.
        const auto found = [](const QByteArray &out, int code = 0) {
            ToolResult r;
            r.started = r.finished = true;
            r.exitCode = code;
            r.out = out;
            return windowsTools.deviceFound(r);
        };
        QCOMPARE(found("{" + Guid.toLatin1() + "}\r\n"), Guid);
        QCOMPARE(found("  " + Guid.toLower().toLatin1() + "\n"), Guid.toLower());
        QCOMPARE(found(Guid.toLatin1(), 1), QString());
        QCOMPARE(found(Guid.toLatin1() + "\r\n" + Guid.toLatin1()), QString());
        QCOMPARE(found("x} /remove-device *"), QString());
        QCOMPARE(found(""), QString());

        qputenv("WINDIR", "D:\\Win");
        QCOMPARE(windowsTools.deviceRemoval(Guid).program, QStringLiteral("D:\\Win\\System32\\pnputil.exe"));
        qunsetenv("WINDIR");
        const ToolCommand removal = windowsTools.deviceRemoval(Guid);
        QCOMPARE(removal.program, QStringLiteral("C:\\Windows\\System32\\pnputil.exe"));
        QCOMPARE(removal.arguments, (QStringList{"/remove-device", "SWD\\Wintun\\{" + Guid + "}"}));
        QCOMPARE(removal.mode, QIODevice::ReadWrite);

        // Linux: the UP flag itself, not LOWER_UP; the device as ip names it.
        const TunTools &lx = linuxTunTools();
        const auto up = [&lx](const QByteArray &out) {
            ToolResult r;
            r.started = r.finished = true;
            r.exitCode = 0;
            r.out = out;
            return lx.reportsUp(r);
        };
        QVERIFY(up("4: tarn-tun: <POINTOPOINT,MULTICAST,NOARP,UP,LOWER_UP> mtu 1500"));
        QVERIFY(!up("4: tarn-tun: <POINTOPOINT,NOARP,LOWER_UP> mtu 1500 state DOWN UP"));
        QVERIFY(!up(""));
        ToolResult listed;
        listed.started = listed.finished = true;
        listed.exitCode = 0;
        listed.out = "7: tarn-tun@NONE: <POINTOPOINT,UP> mtu 1500 qdisc noop";
        QCOMPARE(lx.deviceFound(listed), QStringLiteral("tarn-tun"));
        QVERIFY(lx.acceptsInterfaceName("a'b"));
        for (const QString name : {"-h", "a b", "a/b", "a:b", "..", "sixteen-bytes-xx", ""})
            QVERIFY2(!lx.acceptsInterfaceName(name), qPrintable(name));
    }

    void tunDeviceAroundTheCore_data()
    {
        QTest::addColumn<QByteArray>("printed");
        QTest::newRow("braces") << ("{" + Guid.toLatin1() + "}");
        QTest::newRow("bare") << Guid.toLatin1();
    }
    void tunDeviceAroundTheCore()
    {
        QFETCH(QByteArray, printed);
        FakeTools tools;
        tools.useHere();
        QTemporaryDir windir;
        qputenv("WINDIR", (windir.path() + "/win").toUtf8());
        tools.add("powershell.exe", "echo '" + printed + "'");
        // WINDIR\System32\pnputil.exe: on Linux one file name with backslashes in it.
        tools.add("../pnputil", "");
        QFile::rename(tools.bin() + "/../pnputil", windir.path() + "/win\\System32\\pnputil.exe");

        testsupport::LogCapture log;
        ProcessManager pm(nullptr, quick(), windowsTools);
        QList<QJsonObject> events;
        connect(&pm, &ProcessManager::processEvent, [&](const QJsonObject &e) {
            events << QJsonObject{{"event", e.value("event")}, {"calls", int(tools.calls().size())}};
        });
        const QJsonObject answer = testsupport::startNow(pm, spec(TunProcessId, {"exit", "0"}));
        QCOMPARE(answer.value("status").toString(), QStringLiteral("started"));
        QTRY_VERIFY_WITH_TIMEOUT(!events.isEmpty() && events.last().value("event") == "finished", 20000);

        // Looked up and removed before the start, and again before "finished".
        const QList<QStringList> calls = tools.calls();
        QCOMPARE(calls.size(), 4);
        QCOMPARE(calls[0].value(0), QStringLiteral("powershell.exe"));
        QVERIFY(calls[0].last().startsWith("Get-NetAdapter -Name 'tarn-tun' "));
        QCOMPARE(calls[1], (QStringList{"win\\System32\\pnputil.exe", "/remove-device", "SWD\\Wintun\\{" + Guid + "}"}));
        QCOMPARE(calls[3], calls[1]);
        QCOMPARE(events.first().value("event").toString(), QStringLiteral("started"));
        QCOMPARE(events.first().value("calls").toInt(), 2);
        QCOMPARE(events.last().value("calls").toInt(), 4);
        QCOMPARE(log.count("Cleaning up TUN interface with GUID: {" + Guid + "}"), 2);
        QCOMPARE(log.count("TUN interface removed successfully"), 2);
    }

    void tunDeviceFailures()
    {
        FakeTools tools;
        tools.useHere();
        QTemporaryDir windir;
        qputenv("WINDIR", (windir.path() + "/win").toUtf8());
        tools.add("../pnputil", "echo '  Failed to remove the device.  ' >&2; exit 5");
        QFile::rename(tools.bin() + "/../pnputil", windir.path() + "/win\\System32\\pnputil.exe");
        testsupport::LogCapture log;
        ProcessManager pm(nullptr, quick(), windowsTools);
        QObject scope;
        int removals = 0;
        const auto remove = [&] {
            removals = 0;
            pm.removeTunDevice(TunInterfaceName, &scope, [&] { ++removals; });
            QTRY_COMPARE_WITH_TIMEOUT(removals, 1, 20000);
        };

        // pnputil's own words, trimmed.
        tools.add("powershell.exe", "echo '" + Guid.toLatin1() + "'");
        remove();
        QVERIFY(log.contains("Failed to remove TUN interface: \"Failed to remove the device.\""));

        // A lookup cut off at its limit finds nothing, whatever it had printed by then.
        tools.add("powershell.exe", "echo '" + Guid.toLatin1() + "'; exec sleep 30");
        remove();
        QVERIFY(log.contains("timed out after 1500 ms - taken as not found"));
        // Text that is not a GUID never reaches pnputil.
        tools.add("powershell.exe", "echo 'x} /remove-device *'");
        remove();
        QVERIFY(log.contains("answered no GUID"));
        // No adapter at all.
        tools.add("powershell.exe", "exit 0");
        remove();
        QVERIFY(log.contains("No TUN interface found to cleanup for: \"tarn-tun\""));
        QCOMPARE(tools.calls("win\\System32\\pnputil.exe").size(), 1);
        QCOMPARE(tools.calls("powershell.exe").size(), 4);

        // Only the TUN core, spelled exactly, has its device removed.
        for (const QString id : {"Sing-Box-Tun", "sing-box-tun ", "xray"})
            QCOMPARE(testsupport::startNow(pm, spec(id, {"exit", "0"})).value("status").toString(),
                     QStringLiteral("started"));
        QTRY_VERIFY_WITH_TIMEOUT(pm.listProcesses().value("processes").toArray().isEmpty(), 20000);
        QCOMPARE(tools.calls("powershell.exe").size(), 4);

        // A zero wait gives up at once and runs nothing.
        bool up = true;
        pm.waitForInterfaceUp("tarn-tun", 0, &scope, [&up](bool u) { up = u; });
        QVERIFY(!up);
        QVERIFY(log.contains("not UP after"));
        QCOMPARE(tools.calls().size(), 5);
    }

    // The daemon itself, with ip and resolvectl faked.
    void dnsOnceTheInterfaceIsUp()
    {
        FakeTools tools;
        // Down for the first two seconds after the first probe, then up.
        tools.add("ip", "now=$(date +%s%3N); [ -f \"$here/first\" ] || echo $now > \"$here/first\"\n"
                        "if [ $((now - $(cat \"$here/first\"))) -ge 2000 ]; then\n"
                        "  echo \"9: $5: <POINTOPOINT,MULTICAST,NOARP,UP,LOWER_UP> mtu 1500 state UNKNOWN\"\n"
                        "else echo \"9: $5: <POINTOPOINT,MULTICAST,NOARP> mtu 1500 state DOWN\"; fi");
        tools.add("resolvectl", "exit 0");
        testsupport::Daemon d;
        QVERIFY(d.start(tools.env()));
        TarnClient c;
        QVERIFY(c.connectToDaemon(d.socketPath()));
        QCOMPARE(c.call(spec("core", {"noread"}, {{"address", "1.1.1.1"}, {"iface", "tarn-tun0"}})).value("status"),
                 QJsonValue("started"));
        QVERIFY(d.waitForLog("DNS server set successfully to \"1.1.1.1\" for interface \"tarn-tun0\"", 30000));
        QCOMPARE(tools.calls("resolvectl"), (QList<QStringList>{{"resolvectl", "dns", "tarn-tun0", "1.1.1.1"}}));
        const QList<QStringList> probes = tools.calls("ip");
        QVERIFY(probes.size() >= 2);
        QCOMPARE(probes.first(), (QStringList{"ip", "-o", "link", "show", "dev", "tarn-tun0"}));
        QVERIFY(testsupport::inOrder(d.log(), {"Configuring DNS for interface \"tarn-tun0\" to \"1.1.1.1\"",
                                                "Waiting for interface \"tarn-tun0\" to be UP (max 10000 ms)",
                                                "Interface \"tarn-tun0\" is UP after"}));
    }

    void dnsWaitStallsNobody()
    {
        FakeTools tools;
        // A probe that hangs: each is cut off at its limit.
        tools.add("ip", "exec sleep 20");
        tools.add("resolvectl", "exit 0");
        testsupport::Daemon d;
        QVERIFY(d.start(tools.env()));
        TarnClient owner;
        TarnClient other;
        QVERIFY(owner.connectToDaemon(d.socketPath()));
        QVERIFY(other.connectToDaemon(d.socketPath()));
        QCOMPARE(owner.call(spec("core", {"noread"}, {{"address", "1.1.1.1"}, {"iface", "tarn-tun"}})).value("status"),
                 QJsonValue("started"));
        QVERIFY(d.waitForLog("Waiting for interface"));

        // Heartbeats all through the wait, past the daemon's own heartbeat time-out.
        QList<qint64> roundTrips;
        QElapsedTimer clock;
        clock.start();
        while (!d.log().contains("Cannot set DNS") && clock.elapsed() < 40000) {
            QElapsedTimer rt;
            rt.start();
            const QJsonObject r = other.call({{"action", "heartbeat"}}, 10000);
            QCOMPARE(r.value("status").toString(), QStringLiteral("success"));
            roundTrips << rt.elapsed();
            QTest::qWait(50);
        }
        QVERIFY2(d.log().contains("Cannot set DNS - interface \"tarn-tun\" not found"), qPrintable(d.log().right(2000)));
        QVERIFY(d.log().contains("not UP after"));
        QVERIFY(d.log().contains("ms (timeout: 10000 ms)"));
        QVERIFY(tools.calls("resolvectl").isEmpty());
        QVERIFY(tools.calls("ip").size() >= 2);
        // A probe held the main thread for 3 s each before; now none may hold a heartbeat.
        std::sort(roundTrips.begin(), roundTrips.end());
        QVERIFY(roundTrips.size() > 20);
        const qint64 p95 = roundTrips[roundTrips.size() * 95 / 100];
        qInfo("heartbeat round trips during the wait: %lld, p50 %lld ms, p95 %lld ms, max %lld ms",
              qint64(roundTrips.size()), roundTrips[roundTrips.size() / 2], p95, roundTrips.last());
        QVERIFY2(p95 < 50 && roundTrips.last() < 1000,
                 qPrintable(QString("p95 %1 ms, max %2 ms").arg(p95).arg(roundTrips.last())));
    }

    void dnsFailuresAndRefusals()
    {
        FakeTools tools;
        tools.add("ip", "echo \"9: $5: <POINTOPOINT,UP,LOWER_UP> mtu 1500\"");
        tools.add("resolvectl", "printf '  Failed to set DNS configuration: Access denied \\n\\n' >&2; exit 1");
        testsupport::Daemon d;
        QVERIFY(d.start(tools.env()));
        TarnClient c;
        QVERIFY(c.connectToDaemon(d.socketPath()));
        const auto start = [&c](const QString &id, const QJsonObject &dns) {
            return c.call(spec(id, {"noread"}, dns)).value("status").toString();
        };
        // The quote is part of the name the tools get, nothing more.
        QCOMPARE(start("quoted", {{"address", "9.9.9.9"}, {"iface", "a'b"}}), QStringLiteral("started"));
        QVERIFY(d.waitForLog("Failed to set DNS server: \"Failed to set DNS configuration: Access denied\"", 30000));
        QCOMPARE(tools.calls("resolvectl"), (QList<QStringList>{{"resolvectl", "dns", "a'b", "9.9.9.9"}}));
        // Refused before anything runs, the process started all the same.
        QCOMPARE(start("badaddress", {{"address", "1.1.1.1; reboot"}, {"iface", "tarn-tun"}}), QStringLiteral("started"));
        QVERIFY(d.waitForLog("\"1.1.1.1; reboot\" is not an IP address"));
        QCOMPARE(start("badname", {{"address", "1.1.1.1"}, {"iface", "-h"}}), QStringLiteral("started"));
        QVERIFY(d.waitForLog("\"-h\" is not an interface name"));
        QCOMPARE(start("noiface", {{"address", "1.1.1.1"}, {"iface", ""}}), QStringLiteral("started"));
        // Stopped while it waits: the wait is given up, nothing more runs for it.
        tools.add("ip", "echo \"9: $5: <POINTOPOINT> mtu 1500 state DOWN\"");
        QCOMPARE(start("stopped", {{"address", "1.1.1.1"}, {"iface", "late0"}}), QStringLiteral("started"));
        QTRY_VERIFY_WITH_TIMEOUT(!tools.calls("ip").isEmpty() && tools.calls("ip").last().last() == "late0", 20000);
        QCOMPARE(c.call({{"action", "stop"}, {"process-id", "stopped"}}).value("status"), QJsonValue("stopping"));
        QVERIFY(d.waitForLog("DNS override of \"stopped\" given up: the process is stopping"));
        const qsizetype probes = tools.calls("ip").size();
        QTest::qWait(1500); // several probe periods
        QCOMPARE(tools.calls("ip").size(), probes);
        for (const QStringList &call : tools.calls())
            QVERIFY2(call.contains("a'b") || call.contains("late0"), qPrintable(call.join(' ')));
        QCOMPARE(tools.calls("resolvectl").size(), 1);
    }

    void tunCoreStartWaitsAlone()
    {
        FakeTools tools;
        // A slow lookup that finds the stale device; its removal recorded.
        tools.add("ip", "[ \"$1\" = -o ] && { sleep 2; echo \"7: tarn-tun: <POINTOPOINT,UP> mtu 1500\"; }; exit 0");
        testsupport::Daemon d;
        QVERIFY(d.start(tools.env()));
        TarnClient owner;
        TarnClient other;
        owner.setEventQueue(true);
        QVERIFY(owner.connectToDaemon(d.socketPath()));
        QVERIFY(other.connectToDaemon(d.socketPath()));
        std::unique_ptr<TarnReply> started(owner.request(spec(TunProcessId, {"noread"}), 30000));
        QTRY_VERIFY_WITH_TIMEOUT(!tools.calls("ip").isEmpty(), 20000);
        // While the start waits, others are served, and the id is taken.
        QCOMPARE(other.call({{"action", "heartbeat"}}).value("status"), QJsonValue("success"));
        QCOMPARE(other.call(spec(TunProcessId, {"noread"})).value("error"),
                 QJsonValue(QString(QStringLiteral("Process already exists: ") + TunProcessId)));
        QVERIFY(!started->isFinished());
        QTRY_VERIFY_WITH_TIMEOUT(started->isFinished(), 30000);
        QCOMPARE(started->response().value("status"), QJsonValue("started"));
        QCOMPARE(tools.calls("ip").size(), 2);
        QCOMPARE(tools.calls("ip").last(), (QStringList{"ip", "link", "delete", "dev", "tarn-tun"}));

        // Removed again once it has ended, before its "finished".
        QCOMPARE(owner.call({{"action", "stop"}, {"process-id", TunProcessId}}).value("status"), QJsonValue("stopping"));
        const QJsonObject finished = owner.waitForEvent(
            [](const QJsonObject &e) { return e.value("event") == "finished"; }, 30000);
        QCOMPARE(finished.value("process-id"), QJsonValue(TunProcessId));
        QCOMPARE(tools.calls("ip").size(), 4);
        QCOMPARE(d.log().count("TUN interface removed successfully"), 2);

        // A client gone while its start waits leaves nothing running.
        std::unique_ptr<TarnReply> abandoned(owner.request(spec(TunProcessId, {"noread"}), 30000));
        QTRY_VERIFY_WITH_TIMEOUT(tools.calls("ip").size() == 5, 20000);
        abandoned.reset();
        owner.disconnectFromDaemon();
        QVERIFY(d.waitForLog("cancelled while it waited for the TUN device removal"));
        QVERIFY(other.call({{"action", "list"}}).value("processes").toArray().isEmpty());
        QCOMPARE(tools.calls("ip").size(), 5);
    }
};

QTEST_GUILESS_MAIN(TestTunnel)
#include "tst_tunnel.moc"
