// Registration with systemd into a private root, with a fake systemctl first on PATH that
// records its calls; and the shipped binary's own command line. The real systemd, with the
// package installed, is tests/system's.

#include "service/registration.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Root
{
    QTemporaryDir dir;
    registration::Places places;
    Root()
    {
        for (const char *d : {"bin", "etc/systemd/system", "etc/polkit-1", "run/systemd/system"})
            QDir(dir.path()).mkpath(d);
        places.unitDir = at("/etc/systemd/system");
        places.polkitDir = at("/etc/polkit-1/rules.d");
        places.systemdRunning = at("/run/systemd/system");
        testsupport::writeFile(dir.path() + "/bin/systemctl",
                               "#!/bin/sh\n(IFS=' '; echo \"$*\") >> \"$(dirname \"$0\")/calls\"\n");
        QFile::setPermissions(dir.path() + "/bin/systemctl", QFile::ReadOwner | QFile::ExeOwner);
        qputenv("PATH", (dir.path() + "/bin:").toUtf8() + qgetenv("PATH"));
    }
    std::string at(const char *relative) const { return QString(dir.path() + relative).toStdString(); }
    QString unit() const { return QString::fromStdString(places.unitDir) + "/tarnd.service"; }
    QString rule() const { return QString::fromStdString(places.polkitDir) + "/50-tarnd.rules"; }
    QStringList calls() const
    {
        return QString::fromUtf8(testsupport::readFile(dir.path() + "/bin/calls")).split('\n', Qt::SkipEmptyParts);
    }
    QString install(const std::string &exe) const { return QString::fromStdString(registration::install(places, exe)); }
    QString uninstall() const { return QString::fromStdString(registration::uninstall(places)); }
};

// A command line mode run in this process: its exit code, then what it wrote to stdout and stderr.
QStringList run(const QStringList &args, const registration::Places &places)
{
    QTemporaryDir dir;
    std::fflush(stdout);
    std::fflush(stderr);
    int saved[2];
    for (int fd : {1, 2}) {
        saved[fd - 1] = ::dup(fd);
        const int file = ::open(qPrintable(dir.path() + "/" + QString::number(fd)), O_WRONLY | O_CREAT, 0600);
        ::dup2(file, fd);
        ::close(file);
    }
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
    QStringList out{QString::number(code)};
    for (int fd : {1, 2}) {
        ::dup2(saved[fd - 1], fd);
        ::close(saved[fd - 1]);
        out << QString::fromUtf8(testsupport::readFile(dir.path() + "/" + QString::number(fd)));
    }
    return out;
}

int runBinary(QProcess &p, const QStringList &args, int timeoutMs = 20000)
{
    p.start(TARND_BINARY, args);
    return p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

class TestRegistration : public QObject
{
    Q_OBJECT
    const QByteArray m_path = qgetenv("PATH");

private Q_SLOTS:
    void cleanup() { qputenv("PATH", m_path); }

    void registersAndRemoves()
    {
        Root root;
        // A path with a space and systemd's specifier characters is still one program.
        const std::string exe = "/opt/Tarn Client/100%/$HOME/tarnd";
        QCOMPARE(root.install(exe), QString());
        const QString unit = QString::fromUtf8(testsupport::readFile(root.unit()));
        for (const char *line : {"\nExecStart=\"/opt/Tarn Client/100%%/$$HOME/tarnd\"\n", "\nType=notify\n",
                                 "\nKillMode=control-group\n", "\nRestart=always\n", "\nRuntimeDirectory=tarnd\n"})
            QVERIFY2(unit.contains(line), qPrintable(unit));
        // The stop budget is 10 s; systemd's own kill comes well after it.
        const QRegularExpressionMatch stop = QRegularExpression("\nTimeoutStopSec=(\\d+)\n").match(unit);
        QVERIFY(stop.hasMatch() && stop.captured(1).toInt() > 20);
        const QString rule = QString::fromUtf8(testsupport::readFile(root.rule()));
        QVERIFY(rule.contains("\"org.freedesktop.systemd1.manage-units\"") && rule.contains("\"tarnd.service\"")
                && rule.contains("subject.active && subject.local"));
        QCOMPARE(root.calls(), QStringList{"daemon-reload"}); // demand-started: reloaded, never enabled

        // Registered twice: the first stays as it was.
        QCOMPARE(root.install("/usr/bin/other"), QStringLiteral("Service already exists"));
        QCOMPARE(QString::fromUtf8(testsupport::readFile(root.unit())), unit);
        QCOMPARE(root.install("relative/tarnd"), QStringLiteral("Failed to get module file name"));

        QCOMPARE(root.uninstall(), QString());
        QVERIFY(!QFile::exists(root.unit()) && !QFile::exists(root.rule()));
        QCOMPARE(root.calls(), (QStringList{"daemon-reload", "stop tarnd.service", "daemon-reload"}));
        QCOMPARE(root.uninstall(), QStringLiteral("Failed to open service"));

        // A line break cannot add lines of its own to the unit.
        QCOMPARE(root.install("/opt/a\nExecStartPre=/bin/evil"), QStringLiteral("Failed to create service"));
        QVERIFY(!QFile::exists(root.unit()));

        // Without systemd running nothing is reloaded or stopped; without polkit, no rule;
        // without a unit folder of ours there is nowhere to register.
        root.places.systemdRunning = root.at("/run/none");
        QCOMPARE(root.install(exe), QString());
        QCOMPARE(root.uninstall(), QString());
        QCOMPARE(root.calls().size(), 3);
        root.places.polkitDir = root.at("/etc/no-polkit/rules.d");
        QCOMPARE(root.install(exe), QString());
        QVERIFY(QFile::exists(root.unit()) && !QFile::exists(root.rule()));
        root.places.unitDir = root.at("/etc/systemd/missing");
        QCOMPARE(root.install(exe), QStringLiteral("Failed to open Service Control Manager"));
    }

    void commandLineModes()
    {
        Root root;
        QCOMPARE(run({"--register", "--ignored", "x"}, root.places),
                 (QStringList{"0", "Service registered successfully\n", ""}));
        // The unit names the program that registered it: this one.
        const QByteArray self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath().toUtf8();
        QVERIFY(testsupport::readFile(root.unit()).contains(QByteArray("ExecStart=\"" + self + "\"")));
        QCOMPARE(run({"--register"}, root.places),
                 (QStringList{"1", "", "Failed to register service: Service already exists\n"}));
        QCOMPARE(run({"--unregister"}, root.places), (QStringList{"0", "Service unregistered successfully\n", ""}));
        QCOMPARE(run({"--unregister"}, root.places),
                 (QStringList{"1", "", "Failed to unregister service: Failed to open service\n"}));
        // Anything else is the service mode.
        for (const QStringList &args : {QStringList{}, QStringList{"--REGISTER"}, QStringList{"register"}})
            QCOMPARE(run(args, root.places).first(), QStringLiteral("-1"));
        QVERIFY(!QFile::exists(root.unit()));
    }

    void shippedBinary()
    {
        QProcess p;
        QCOMPARE(runBinary(p, {"--version"}), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("tarnd " TARND_VERSION));
        QCOMPARE(runBinary(p, {"--help"}), 0);
        const QByteArray help = p.readAllStandardOutput();
        QVERIFY2(help.contains("Tarn Proxy Client Service") && help.contains("--version"), help.constData());
        // The test builds' options are neither offered nor taken by a shipped build.
        for (const char *option : {"test-session", "test-socket-base", "console"})
            QVERIFY2(!help.contains(option), option);
        // Not a registration: the service mode's parser knows no such option.
        const bool registered = QFile::exists("/etc/systemd/system/tarnd.service");
        QCOMPARE(runBinary(p, {"--REGISTER"}), 1);
        QVERIFY(p.readAllStandardError().contains("Unknown option 'REGISTER'"));
        QCOMPARE(QFile::exists("/etc/systemd/system/tarnd.service"), registered);
        if (!TARND_TEST_HOOKS) {
            QCOMPARE(runBinary(p, {"--test-session", "1"}), 1);
            QVERIFY(p.readAllStandardError().contains("--test-session is for test builds only"));
            QCOMPARE(runBinary(p, {"--test-socket-base", "elsewhere"}), 1);
            QVERIFY(p.readAllStandardError().contains("--test-socket-base is for test builds only"));
            QCOMPARE(runBinary(p, {"--console"}), 1);
            QVERIFY(p.readAllStandardError().contains("--console is for test builds only"));
        }
    }
};

QTEST_GUILESS_MAIN(TestRegistration)
#include "tst_registration.moc"
