#include "testsupport.h"

#include <QFile>
#include <QUuid>
#include <QtTest>

#include <unistd.h>

namespace testsupport {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

bool SocketPair::open()
{
    const QString name = QStringLiteral("tarnd-test-") + QUuid::createUuid().toString(QUuid::Id128);
    if (!server.listen(name))
        return false;
    client = std::make_unique<QLocalSocket>();
    client->connectToServer(name);
    if (!client->waitForConnected(5000))
        return false;
    if (!server.hasPendingConnections() && !server.waitForNewConnection(5000))
        return false;
    serverSide = server.nextPendingConnection();
    return serverSide != nullptr;
}

bool isRoot()
{
    return ::geteuid() == 0;
}

} // namespace testsupport

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <csignal>

namespace testsupport {

Daemon::Daemon()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_log += m_process.readAll(); });
}

Daemon::~Daemon()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool Daemon::start(const QStringList &extraEnv)
{
    QDir(m_dir.path()).mkpath("run");
    QDir(m_dir.path()).mkpath("data");
    QDir(m_dir.path()).mkpath("home");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("RUNTIME_DIRECTORY", m_dir.path() + "/run");
    env.insert("XDG_DATA_HOME", m_dir.path() + "/data");
    env.insert("HOME", m_dir.path() + "/home");
    env.remove("NOTIFY_SOCKET");
    for (const QString &kv : extraEnv)
        env.insert(kv.section('=', 0, 0), kv.section('=', 1));
    m_process.setProcessEnvironment(env);
    m_process.start(QStringLiteral(TARND_BINARY), QStringList());
    if (!m_process.waitForStarted(10000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(socketPath()) || !log().contains("Daemon ready for connections")) {
        if (clock.elapsed() > 20000 || m_process.state() == QProcess::NotRunning)
            return false;
        QTest::qWait(20);
    }
    return true;
}

QString Daemon::log()
{
    m_log += m_process.readAll();
    return QString::fromUtf8(m_log);
}

bool Daemon::waitForLog(const QString &text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!log().contains(text)) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    return true;
}

void Daemon::signal(int signo)
{
    ::kill(static_cast<pid_t>(m_process.processId()), signo);
}

int Daemon::waitForExit(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (m_process.state() != QProcess::NotRunning) {
        if (clock.elapsed() > timeoutMs)
            return -1;
        QTest::qWait(20);
    }
    log();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool inOrder(const QString &text, const QStringList &needles)
{
    qsizetype from = 0;
    for (const QString &n : needles) {
        const qsizetype at = text.indexOf(n, from);
        if (at < 0)
            return false;
        from = at + n.size();
    }
    return true;
}

} // namespace testsupport
