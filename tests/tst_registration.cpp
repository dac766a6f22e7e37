// Registration with systemd into a private root, with a fake systemctl first on PATH that
// records its calls; the shipped binary's own command line; and, where this machine runs
// systemd, the real thing.

#include "service/registration.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string path(const QTemporaryDir &dir, const char *relative)
{
    return QString(dir.path() + relative).toStdString();
}

struct Root
{
    QTemporaryDir dir;
    registration::Places places;
    Root()
    {
        for (const char *d : {"bin", "etc/systemd/system", "etc/polkit-1", "run/systemd/system"})
            QDir(dir.path()).mkpath(d);
        places.unitDir = path(dir, "/etc/systemd/system");
        places.polkitDir = path(dir, "/etc/polkit-1/rules.d");
        places.systemdRunning = path(dir, "/run/systemd/system");
        testsupport::writeFile(dir.path() + "/bin/systemctl",
                               "#!/bin/sh\n(IFS=' '; echo \"$*\") >> \"$(dirname \"$0\")/calls\"\n");
        QFile::setPermissions(dir.path() + "/bin/systemctl", QFile::ReadOwner | QFile::ExeOwner);
    }
    QString unit() const { return QString::fromStdString(places.unitDir) + "/tarnd.service"; }
    QString rule() const { return QString::fromStdString(places.polkitDir) + "/50-tarnd.rules"; }
    QStringList calls() const
    {
        return QString::fromUtf8(testsupport::readFile(dir.path() + "/bin/calls")).split('\n', Qt::SkipEmptyParts);
    }
};

// What a command line mode writes and returns, run in this process.
struct Output
{
    int code;
    QString out;
    QString err;
};
Output run(const QStringList &args, const registration::Places &places)
{
    QTemporaryDir dir;
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(1), savedErr = ::dup(2);
    const int out = ::open(qPrintable(dir.path() + "/out"), O_WRONLY | O_CREAT, 0600);
    const int err = ::open(qPrintable(dir.path() + "/err"), O_WRONLY | O_CREAT, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<QByteArray> bytes;
    std::vector<char *> argv;
    for (const QString &a : QStringList{"tarnd"} + args)
        bytes.push_back(a.toUtf8());
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    const int code = registration::runCommand(int(bytes.size()), argv.data(), places);
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    for (int fd : {savedOut, savedErr, out, err})
        ::close(fd);
    return {code, QString::fromUtf8(testsupport::readFile(dir.path() + "/out")),
            QString::fromUtf8(testsupport::readFile(dir.path() + "/err"))};
}

} // namespace

class TestRegistration : public QObject
{
    Q_OBJECT
    QByteArray m_path = qgetenv("PATH");

private Q_SLOTS:
    void cleanup() { qputenv("PATH", m_path); }

    void registersAndRemoves()
    {
        Root root;
        qputenv("PATH", (root.dir.path() + "/bin:" + m_path).toUtf8());

        // A path with a space and systemd's specifier characters is still one program.
        const std::string exe = "/opt/Tarn Client/100%/$HOME/tarnd";
        QCOMPARE(QString::fromStdString(registration::install(root.places, exe)), QString());
        const QString unit = QString::fromUtf8(testsupport::readFile(root.unit()));
        QVERIFY2(unit.contains("\nExecStart=\"/opt/Tarn Client/100%%/$$HOME/tarnd\"\n"), qPrintable(unit));
        for (const char *line : {"\nType=notify\n", "\nKillMode=control-group\n", "\nRestart=always\n",
                                 "\nRuntimeDirectory=tarnd\n"})
            QVERIFY2(unit.contains(line), line);
        // The stop budget is 10 s; systemd's own kill comes well after it.
        const QRegularExpressionMatch stop = QRegularExpression("\nTimeoutStopSec=(\\d+)\n").match(unit);
        QVERIFY(stop.hasMatch() && stop.captured(1).toInt() > 20);
        const QString rule = QString::fromUtf8(testsupport::readFile(root.rule()));
        QVERIFY(rule.contains("\"org.freedesktop.systemd1.manage-units\"") && rule.contains("\"tarnd.service\"")
                && rule.contains("subject.active && subject.local"));
        // Demand-started: reloaded, never enabled.
        QCOMPARE(root.calls(), QStringList{"daemon-reload"});

        // Registered twice: the first stays as it was.
        QCOMPARE(QString::fromStdString(registration::install(root.places, "/usr/bin/other")),
                 QStringLiteral("Service already exists"));
        QCOMPARE(QString::fromUtf8(testsupport::readFile(root.unit())), unit);
        QCOMPARE(QString::fromStdString(registration::install(root.places, "relative/tarnd")),
                 QStringLiteral("Failed to get module file name"));

        QCOMPARE(QString::fromStdString(registration::uninstall(root.places)), QString());
        QVERIFY(!QFile::exists(root.unit()) && !QFile::exists(root.rule()));
        QCOMPARE(root.calls(), (QStringList{"daemon-reload", "stop tarnd.service", "daemon-reload"}));
        QCOMPARE(QString::fromStdString(registration::uninstall(root.places)), QStringLiteral("Failed to open service"));

        // A line break cannot add lines of its own to the unit.
        QCOMPARE(QString::fromStdString(registration::install(root.places, "/opt/a\nExecStartPre=/bin/evil")),
                 QStringLiteral("Failed to create service"));
        QVERIFY(!QFile::exists(root.unit()));

        // Without systemd running nothing is reloaded or stopped; without a unit folder of ours
        // there is nowhere to register.
        root.places.systemdRunning = path(root.dir, "/run/none");
        QCOMPARE(QString::fromStdString(registration::install(root.places, exe)), QString());
        QCOMPARE(QString::fromStdString(registration::uninstall(root.places)), QString());
        QCOMPARE(root.calls().size(), 3);
        // Without polkit, no rule.
        root.places.polkitDir = path(root.dir, "/etc/no-polkit/rules.d");
        QCOMPARE(QString::fromStdString(registration::install(root.places, exe)), QString());
        QVERIFY(QFile::exists(root.unit()) && !QFile::exists(root.rule()));
        root.places.unitDir = path(root.dir, "/etc/systemd/missing");
        QCOMPARE(QString::fromStdString(registration::install(root.places, exe)),
                 QStringLiteral("Failed to open Service Control Manager"));
    }

    void commandLineModes()
    {
        Root root;
        qputenv("PATH", (root.dir.path() + "/bin:" + m_path).toUtf8());
        Output o = run({"--register", "--ignored", "x"}, root.places);
        QCOMPARE(o.code, 0);
        QCOMPARE(o.out, QStringLiteral("Service registered successfully\n"));
        QVERIFY(o.err.isEmpty());
        // The unit names the program that registered it: this one.
        const QByteArray self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath().toUtf8();
        QVERIFY(testsupport::readFile(root.unit()).contains(QByteArray("ExecStart=\"" + self + "\"")));
        o = run({"--register"}, root.places);
        QCOMPARE(o.code, 1);
        QCOMPARE(o.err, QStringLiteral("Failed to register service: Service already exists\n"));
        QVERIFY(o.out.isEmpty());
        o = run({"--unregister"}, root.places);
        QCOMPARE(o.code, 0);
        QCOMPARE(o.out, QStringLiteral("Service unregistered successfully\n"));
        o = run({"--unregister"}, root.places);
        QCOMPARE(o.code, 1);
        QCOMPARE(o.err, QStringLiteral("Failed to unregister service: Failed to open service\n"));
        // Anything else is the service mode.
        for (const QStringList &args : {QStringList{}, QStringList{"--REGISTER"}, QStringList{"register"}})
            QCOMPARE(run(args, root.places).code, -1);
        QVERIFY(!QFile::exists(root.unit()));
    }

    void shippedBinary()
    {
        QProcess p;
        p.start(TARND_BINARY, {"--version"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("tarnd " TARND_VERSION));
        p.start(TARND_BINARY, {"--help"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 0);
        const QByteArray help = p.readAllStandardOutput();
        QVERIFY2(help.contains("Tarn Proxy Client Service") && help.contains("--version"), help.constData());
        // Not a registration: the service mode's parser knows no such option.
        const bool registered = QFile::exists("/etc/systemd/system/tarnd.service");
        p.start(TARND_BINARY, {"--REGISTER"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("Unknown option 'REGISTER'"));
        QCOMPARE(QFile::exists("/etc/systemd/system/tarnd.service"), registered);
        // The test builds' session option is neither offered nor taken by a shipped build.
        QVERIFY(!help.contains("test-session"));
        if (!TARND_TEST_HOOKS) {
            p.start(TARND_BINARY, {"--test-session", "1"});
            QVERIFY(p.waitForFinished(20000));
            QCOMPARE(p.exitCode(), 1);
            QVERIFY(p.readAllStandardError().contains("--test-session is for test builds only"));
        }
    }

    void realSystemd()
    {
        if (!QFileInfo(QStringLiteral("/run/systemd/system")).isDir())
            QSKIP("this machine does not run systemd (no /run/systemd/system): the manual check in the "
                  "README does this by hand");
        if (QFile::exists("/etc/systemd/system/tarnd.service"))
            QSKIP("tarnd is registered on this machine already: left as it is");
        QProcess p;
        const auto tarnd = [&p](const QStringList &args) {
            p.start(TARND_BINARY, args);
            return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        QCOMPARE(tarnd({"--register"}), 0);
        const auto systemctl = [&p](const QStringList &args) {
            p.start("systemctl", args);
            return p.waitForFinished(60000) ? p.exitCode() : -1;
        };
        QCOMPARE(systemctl({"start", "tarnd.service"}), 0);
        QCOMPARE(systemctl({"is-active", "tarnd.service"}), 0);
        QCOMPARE(systemctl({"stop", "tarnd.service"}), 0);
        QCOMPARE(tarnd({"--unregister"}), 0);
        QVERIFY(!QFile::exists("/etc/systemd/system/tarnd.service"));
    }
};

QTEST_GUILESS_MAIN(TestRegistration)
#include "tst_registration.moc"
