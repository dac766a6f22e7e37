// The tunnel operations against fake tools first on PATH that record each call and act out a
// case. The Windows tool set runs here too.

#include "client/tarnclient.h"
#include "process/processmanager.h"
#include "testsupport.h"
#include "tunnel/tuntools.h"

#include <QDir>
#include <QJsonArray>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString Helper = QStringLiteral(HELPER_CHILDHELPER);
const bool OnLinux = QStringLiteral(TARND_PLATFORM) == u"linux";
const QString Guid = QStringLiteral("0A1B2C3D-0000-0000-0000-000000000001");
const TunTools &windowsTools = windowsTunTools();

QJsonObject spec(const QString &id, const QStringList &args) { return TarnClient::startRequest(id, Helper, args); }

// What a fake tool does when one of its arguments contains match (empty: any) and afterMs have
// passed since it first ran (the helper's fakeTool).
QString rule(const QString &match, int afterMs = 0, const QString &out = {}, const QString &err = {}, int code = 0,
             int sleepMs = 0)
{
    QStringList fields{match, QString::number(afterMs), out, err, QString::number(code), QString::number(sleepMs)};
    return fields.replaceInStrings("\n", "\\n").join('|');
}

// Fake tools, copies of the child helper, first on PATH and in the working folder (where a Windows
// program looks before wine's own powershell.exe); pnputil.exe under a fake WINDIR. Beside the
// tests, as on Windows the build's paths name no drive. calls(): each call, name then arguments.
class FakeTools
{
public:
    FakeTools()
    {
        QDir(m_dir.path()).mkpath("bin");
        qputenv("PATH", (bin() + QDir::listSeparator() + qEnvironmentVariable("PATH")).toUtf8());
        qputenv("TOOL_LOG", log().toUtf8());
        QDir::setCurrent(bin());
    }
    ~FakeTools()
    {
        QDir::setCurrent(m_cwd);
        qputenv("PATH", m_path);
        qputenv("WINDIR", m_windir);
        for (const QString &name : std::as_const(m_variables))
            qunsetenv(qPrintable(name));
        qunsetenv("TOOL_LOG");
    }

    // name as the daemon runs it: "powershell.exe", "ip" (on Windows ip.exe).
    void add(const QString &name, const QStringList &rules)
    {
        add(bin() + "/" + name + (name.contains('.') ? QString() : exe()), name.section('.', 0, 0), rules);
    }
    // WINDIR\System32\pnputil.exe: on Linux one file name with backslashes in it, in a fake WINDIR.
    void addPnputil(const QStringList &rules)
    {
        qputenv("WINDIR", (m_dir.path() + "/win").toUtf8());
        add(m_dir.path() + (QDir::separator() == '/' ? "/win\\System32\\pnputil.exe" : "/win/System32/pnputil.exe"),
            "pnputil", rules);
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
    static QString exe() { return QFileInfo(Helper).suffix().isEmpty() ? QString() : ".exe"; }
    void add(const QString &path, const QString &name, const QStringList &rules)
    {
        m_variables << "TOOL_ACT_" + name;
        qputenv(qPrintable(m_variables.last()), rules.join('\n').toUtf8());
        QDir().mkpath(QFileInfo(path).path());
        if (!QFileInfo::exists(path))
            QFile::copy(Helper, path);
    }
    QString bin() const { return m_dir.path() + "/bin"; }
    QString log() const { return m_dir.path() + "/calls.log"; }
    QTemporaryDir m_dir{QCoreApplication::applicationDirPath() + "/fake-tools-XXXXXX"};
    const QString m_cwd = QDir::currentPath();
    const QByteArray m_path = qgetenv("PATH"), m_windir = qgetenv("WINDIR");
    QStringList m_variables; // each tool's rules, unset after the case
};

// What a tool that ran to its end gave.
ToolResult result(const QByteArray &out, int code = 0) { return {true, true, code, out, {}, {}}; }

} // namespace

class TestTunnel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("tarnd.debug=true")); }
    void cleanup()
    {
        QString report;
        QVERIFY2(testsupport::noLeftovers(&report), qPrintable(report));
    }

    void commandLines()
    {
        // Every kind of single quote that ends a PowerShell literal is doubled, and nothing else
        // of a name is read as code.
        const QList<QPair<QString, QString>> quoted{
            {u"x'; Remove-Item -Recurse C:\\; '"_s, u"x''; Remove-Item -Recurse C:\\; ''"_s},
            {u"a\u2019b''c"_s, u"a\u2019\u2019b''''c"_s}, {u"'"_s, u"''"_s}, {u"%2 %1"_s, u"%2 %1"_s}};
        for (const auto &[name, literal] : quoted) {
            QVERIFY2(windowsTools.acceptsInterfaceName(name), qPrintable(name));
            QCOMPARE(windowsTools.readinessProbe(name).arguments.last(),
                     "Get-NetAdapter -Name '" + literal + "' -ErrorAction SilentlyContinue"
                     " | Where-Object {$_.Status -eq 'Up'} | Select-Object -ExpandProperty PnPDeviceID");
            QCOMPARE(windowsTools.dnsCommand(name, name).arguments.last(),
                     "Set-DnsClientServerAddress -InterfaceAlias '" + literal + "' -ServerAddresses ('" + literal + "')");
        }
        // A pattern would reach every adapter of the machine; control characters no adapter has.
        for (const QString name : {"*", "tarn?", "[ab]", "a`b", "a\nb", ""})
            QVERIFY2(!windowsTools.acceptsInterfaceName(name), qPrintable(name));

        // The lookup's answer: one GUID, with or without braces, or nothing at all.
        const auto found = [](const QByteArray &out, int code = 0) { return windowsTools.deviceFound(result(out, code)); };
        QCOMPARE(found("{" + Guid.toLatin1() + "}\r\n"), Guid);
        for (const QByteArray &none : {QByteArray(Guid.toLatin1() + "\r\n" + Guid.toLatin1()), QByteArray("x} /remove-device *")})
            QCOMPARE(found(none), QString());
        QCOMPARE(found(Guid.toLatin1(), 1), QString());
        // Up, and a Wintun adapter or not.
        QVERIFY(windowsTools.reportsTun(result("SWD\\Wintun\\{" + Guid.toLatin1() + "}\r\n")));
        QVERIFY(!windowsTools.reportsTun(result("PCI\\VEN_8086&DEV_15BB\\3&11583659&0&FE\r\n")));

        // Linux: the UP flag itself, not LOWER_UP; the device as ip names it; a TUN device, not a
        // TAP one, whose DNS is no core's to set.
        const TunTools &lx = linuxTunTools();
        QVERIFY(lx.reportsUp(result("4: tarn-tun: <POINTOPOINT,MULTICAST,NOARP,UP,LOWER_UP> mtu 1500")));
        QVERIFY(!lx.reportsUp(result("4: tarn-tun: <POINTOPOINT,NOARP,LOWER_UP> mtu 1500 state DOWN UP")));
        QCOMPARE(lx.deviceFound(result("7: tarn-tun@NONE: <POINTOPOINT,UP> mtu 1500 qdisc noop")), u"tarn-tun"_s);
        QVERIFY(lx.reportsTun(result("9: t: <POINTOPOINT,UP> mtu 1500 \\    tun type tun pi off vnet_hdr off")));
        QVERIFY(!lx.reportsTun(result("9: t: <BROADCAST,UP> mtu 1500 \\    tun type tap pi off vnet_hdr off")));
        for (const QString name : {"-h", "a b", "a/b", "a:b", "..", "sixteen-bytes-xx", ""})
            QVERIFY2(!lx.acceptsInterfaceName(name), qPrintable(name));
    }

    // The Windows device removal around the TUN core, on its faked tools.
    void tunDeviceRemoval()
    {
        FakeTools tools;
        tools.add("powershell.exe", {rule("", 0, "{" + Guid + "}\n")});
        tools.addPnputil({rule("", 0, "", "Failed to remove the device.\n", 5)});
        ProcessManager pm(nullptr, {}, windowsTools);
        // Looked up and removed before the start, a failing pnputil ending the removal all the same.
        QCOMPARE(testsupport::startNow(pm, spec(TunProcessId, {"noread"}), 1).value("status").toString(), u"started"_s);
        // One adapter for the machine: another session's core is refused, and nothing runs for it.
        QCOMPARE(testsupport::startNow(pm, spec(TunProcessId, {"noread"}), 2).value("error").toString(),
                 u"The TUN core is already running in another session"_s);
        QCOMPARE(tools.calls().size(), 2);
        QCOMPARE(tools.calls().first().first(), u"powershell"_s);
        QCOMPARE(tools.calls().last(), (QStringList{"pnputil", "/remove-device", "SWD\\Wintun\\{" + Guid + "}"}));

        // A lookup cut off at its limit finds nothing, whatever it had printed by then; text that
        // is not a GUID, or no adapter at all, never reaches pnputil.
        QObject scope;
        for (const QString &lookup : {rule("", 0, Guid + "\n", "", 0, 30000), rule("", 0, "x} /remove-device *\n"), rule("")}) {
            tools.add("powershell.exe", {lookup});
            int removals = 0;
            pm.removeTunDevice(TunInterfaceName, &scope, [&] { ++removals; });
            QTRY_COMPARE_WITH_TIMEOUT(removals, 1, 20000);
        }
        QCOMPARE(tools.calls("pnputil").size(), 1);
        // Only the TUN core, spelled exactly, has its device removed.
        for (const QString &id : QStringList{QString(TunProcessId).toUpper(), TunProcessId + u" "_s, u"other-core"_s})
            QCOMPARE(testsupport::startNow(pm, spec(id, {"exit", "0"})).value("status").toString(), u"started"_s);
        QTRY_VERIFY_WITH_TIMEOUT(pm.listProcesses(0).value("processes").toArray().isEmpty(), 20000);
        QCOMPARE(tools.calls().size(), 5);
        pm.stopAll(5000);
    }

    void dnsFailuresAndRefusals()
    {
        FakeTools tools;
        // a'b and tun9 are up TUN devices, eth0 up but none, slow0 one once five seconds have
        // passed; hang0's probes hang; the others stay down.
        const QString up = u"9: {last}: <POINTOPOINT,UP,LOWER_UP> mtu 1500 \\    tun type tun pi off\n"_s;
        tools.add("ip", {rule("a'b", 0, up), rule("tun9", 0, up), rule("slow0", 5000, up),
                         rule("eth0", 0, "2: eth0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 \\    veth\n"),
                         rule("hang0", 0, {}, {}, 0, 20000),
                         rule("", 0, "9: {last}: <POINTOPOINT> mtu 1500 state DOWN\n")});
        tools.add("resolvectl", {rule("", 0, "", "Failed to set DNS configuration: Access denied\n", 1)});
        ProcessManager::Timing t;
        t.dnsDelayMs = 0;
        t.probeLimitMs = 300;
        t.probePauseMs = 50;
        testsupport::LogCapture log;
        ProcessManager pm(nullptr, t, linuxTunTools());
        const auto start = [](ProcessManager &in, const QString &id, const QString &address, const QString &iface,
                              const QStringList &args = {"noread"}) {
            QJsonObject s = spec(id, args);
            s.insert("tun-dns-override", QJsonObject{{"address", address}, {"iface", iface}});
            return testsupport::startNow(in, s).value("status").toString();
        };
        // The quote is part of the name the tools get, nothing more; a failing tool ends the override.
        QCOMPARE(start(pm, "quoted", "9.9.9.9", "a'b", {"tun", "a'b"}), u"started"_s);
        QTRY_COMPARE_WITH_TIMEOUT(tools.calls("resolvectl"), (QList<QStringList>{{"resolvectl", "dns", "a'b", "9.9.9.9"}}),
                                  20000);
        // Down at first: set once it is up, after more than one probe.
        QCOMPARE(start(pm, "slow", "1.1.1.1", "slow0", {"tun", "slow0"}), u"started"_s);
        const QStringList slowDns{"resolvectl", "dns", "slow0", "1.1.1.1"};
        QTRY_VERIFY_WITH_TIMEOUT(tools.calls("resolvectl").contains(slowDns), 20000);
        QVERIFY(tools.calls("ip").count({"ip", "-d", "-o", "link", "show", "dev", "slow0"}) >= 2);
        // Refused before anything runs, the process started all the same.
        QCOMPARE(start(pm, "badaddress", "1.1.1.1; reboot", "tarn-tun"), u"started"_s);
        QCOMPARE(start(pm, "badname", "1.1.1.1", "-h"), u"started"_s);
        // A TUN device, but another's (a system VPN's, say): only the one the process holds is its
        // own (Windows ties no adapter to a process). Up, but no TUN device: the DNS of the
        // machine's own interfaces is left alone.
        if (OnLinux) {
            QCOMPARE(start(pm, "foreign", "6.6.6.6", "tun9"), u"started"_s);
            QTRY_VERIFY_WITH_TIMEOUT(log.contains("Cannot set DNS - interface \"tun9\" is not held by the process"), 20000);
        }
        QCOMPARE(start(pm, "eth", "6.6.6.6", "eth0"), u"started"_s);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Cannot set DNS - interface \"eth0\" is not a TUN device"), 20000);
        // Stopped while it waits: the wait is given up, nothing more runs for it.
        QCOMPARE(start(pm, "stopped", "1.1.1.1", "late0"), u"started"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!tools.calls("ip").isEmpty() && tools.calls("ip").last().last() == "late0", 20000);
        QCOMPARE(pm.stopProcess("stopped").value("status"), QJsonValue("stopping"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("DNS override of \"stopped\" given up: the process is stopping"), 10000);
        QTest::qWait(300); // a probe under way when the stop came may still write its line
        const qsizetype probes = tools.calls("ip").size();
        QTest::qWait(700); // many probe periods
        QCOMPARE(tools.calls("ip").size(), probes);
        // Probes that hang, each cut off at its limit: given up after the wait, no DNS set.
        t.interfaceWaitMs = 1000;
        ProcessManager brief(nullptr, t, linuxTunTools());
        QCOMPARE(start(brief, "hung", "1.1.1.1", "hang0"), u"started"_s);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Cannot set DNS - interface \"hang0\" not found"), 20000);
        QVERIFY(log.contains("[ProcessManager] Waiting for interface \"hang0\" to be UP (max 1000 ms)"));
        QVERIFY(log.text().contains(QRegularExpression("Interface \"hang0\" not UP after \\d{4,} ms \\(timeout: 1000 ms\\)")));
        brief.stopAll(5000);
        const QStringList named{"a'b", "slow0", "late0", "eth0", "tun9", "hang0"};
        for (const QStringList &call : tools.calls())
            QVERIFY2(std::any_of(named.begin(), named.end(), [&](const QString &n) { return call.contains(n); }),
                     qPrintable(call.join(' ')));
        QCOMPARE(tools.calls("resolvectl").size(), 2);
        pm.stopAll(5000);
    }

    // The daemon itself, with its platform's tools faked.
    void tunCoreStartWaitsAlone()
    {
        FakeTools tools;
        // A slow lookup that finds the stale device; its removal recorded.
        tools.add("ip", {rule("-d", 0, "7: tarn-tun: <POINTOPOINT,UP> mtu 1500\n", "", 0, 2000)});
        tools.add("powershell.exe", {rule("", 0, Guid + "\n", "", 0, 2000)});
        tools.addPnputil({});
        const QStringList removal = OnLinux ? QStringList{"ip", "link", "delete", "dev", "tarn-tun"}
                                            : QStringList{"pnputil", "/remove-device", "SWD\\Wintun\\{" + Guid + "}"};
        testsupport::Daemon d;
        QVERIFY(d.start());
        TarnClient owner, other;
        owner.setEventQueue(true);
        QVERIFY(owner.connectToDaemon(d.socketPath()));
        QVERIFY(other.connectToDaemon(d.socketPath()));
        std::unique_ptr<TarnReply> started(owner.request(spec(TunProcessId, {"noread"}), 30000));
        QTRY_VERIFY_WITH_TIMEOUT(!tools.calls().isEmpty(), 20000);
        // While the start waits, others are served, and the id is taken.
        QCOMPARE(other.call({{"action", "heartbeat"}}).value("status"), QJsonValue("success"));
        QCOMPARE(other.call(spec(TunProcessId, {"noread"})).value("error"),
                 QJsonValue(u"Process already exists: "_s + TunProcessId));
        QVERIFY(!started->isFinished());
        QTRY_VERIFY_WITH_TIMEOUT(started->isFinished(), 30000);
        QCOMPARE(started->response().value("status"), QJsonValue("started"));
        QCOMPARE(tools.calls().size(), 2);
        QCOMPARE(tools.calls().last(), removal);

        // Removed again once it has ended, before its "finished".
        QCOMPARE(owner.call({{"action", "stop"}, {"process-id", TunProcessId}}).value("status"), QJsonValue("stopping"));
        const QJsonObject finished = owner.waitForEvent(
            [](const QJsonObject &e) { return e.value("event") == "finished"; }, 30000);
        QCOMPARE(finished.value("process-id"), QJsonValue(TunProcessId));
        QCOMPARE(tools.calls().size(), 4);

        // A client gone while its start waits leaves nothing running.
        std::unique_ptr<TarnReply> abandoned(owner.request(spec(TunProcessId, {"noread"}), 30000));
        QTRY_VERIFY_WITH_TIMEOUT(tools.calls().size() == 5, 20000);
        abandoned.reset();
        owner.disconnectFromDaemon();
        QVERIFY(d.waitForLog("cancelled while it waited for the TUN device removal"));
        QVERIFY(other.call({{"action", "list"}}).value("processes").toArray().isEmpty());
        QCOMPARE(tools.calls().size(), 5);
    }
};

QTEST_GUILESS_MAIN(TestTunnel)
#include "tst_tunnel.moc"
