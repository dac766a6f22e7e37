// The Windows half of the tests' support: the daemon run from a console, as a test build allows
// (--console), on a pipe name of its own, so that suites running side by side do not meet.
#include "testsupport.h"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <QtTest>

namespace testsupport {

namespace {

// The private folder's name is unique among the tests running; the pipe's base name borrows it.
QString socketBase(const QTemporaryDir &dir)
{
    return "tarnd-" + QFileInfo(dir.path()).fileName();
}

} // namespace

bool Daemon::start(const QStringList &extraEnv)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : extraEnv)
        env.insert(kv.section('=', 0, 0), kv.section('=', 1));
    m_process.setProcessEnvironment(env);
    // Into a file: under wine, a daemon writing its log into the pipe of a test that polls it
    // now and then stalled in the write, timers and all.
    m_process.setStandardOutputFile(path(QStringLiteral("daemon.log")));
    m_logFile.setFileName(path(QStringLiteral("daemon.log")));
    m_process.start(QStringLiteral(TARND_BINARY),
                    {"--console", "--test-session", "1", "--test-socket-base", socketBase(m_dir)});
    if (!m_process.waitForStarted(10000) || !m_logFile.open(QIODevice::ReadOnly))
        return false;
    // The session's pipe is made before the daemon says it is ready.
    (void)QTest::qWaitFor([this] { return log().contains("Daemon ready for connections") || !running(); }, 20000);
    return running() && log().contains("Daemon ready for connections");
}

void Daemon::stop()
{
    m_process.closeWriteChannel();
}

QString Daemon::socketPath() const
{
    return "\\\\.\\pipe\\" + socketBase(m_dir) + "-1";
}

} // namespace testsupport
