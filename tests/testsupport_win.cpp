// The Windows half of the tests' support: the daemon run from a console, as a test build allows
// (--console), on a pipe name of its own, so that suites running side by side do not meet.
#include "testsupport.h"
#include "daemon/processscan.h"
#include "process/childprocess_win.h"
#include "win/descendants_win.h"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <QCoreApplication>
#include <QtTest>

namespace testsupport {

namespace {

// This test process and every daemon it started: what descends from them is the test's.
std::vector<std::uint32_t> g_roots{std::uint32_t(QCoreApplication::applicationPid())};

// The private folder's name is unique among the tests running; the pipe's base name borrows it.
QString socketBase(const QTemporaryDir &dir)
{
    return "tarnd-" + QFileInfo(dir.path()).fileName();
}

} // namespace

bool Daemon::start(const QStringList &extraEnv)
{
    // The daemon runs as the tester, not as LocalSystem.
    if (!expectDaemonAsTester())
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : extraEnv)
        env.insert(kv.section('=', 0, 0), kv.section('=', 1));
    m_process.setProcessEnvironment(env);
    // Into a file: under wine, a daemon writing its log into the pipe of a test that polls it
    // now and then stalled in the write, timers and all.
    m_process.setStandardOutputFile(path(QStringLiteral("daemon.log")), QIODevice::Append);
    if (!m_logFile.isOpen())
        m_logFile.setFileName(path(QStringLiteral("daemon.log")));
    m_process.start(QStringLiteral(TARND_BINARY),
                    {"--console", "--test-session", "1", "--test-socket-base", socketBase(m_dir)});
    if (!m_process.waitForStarted(10000) || !(m_logFile.isOpen() || m_logFile.open(QIODevice::ReadOnly)))
        return false;
    g_roots.push_back(std::uint32_t(m_process.processId()));
    // The session's pipe is made before the daemon says it is ready; of this run, as a restart
    // appends to the log of the one before.
    const qsizetype from = log().size();
    const auto ready = [this, from] { return log().indexOf("Daemon ready for connections", from) >= 0; };
    (void)QTest::qWaitFor([&] { return ready() || !running(); }, 20000);
    return running() && ready();
}

void Daemon::stop()
{
    m_process.closeWriteChannel();
}

QString Daemon::socketPath() const
{
    return "\\\\.\\pipe\\" + socketBase(m_dir) + "-1";
}

bool alive(qint64 pid)
{
    processscan::Snapshot snapshot;
    processscan::Entry entry;
    long error = 0;
    if (!snapshot.take(&error) || !snapshot.first(&entry, &error))
        return false;
    do {
        if (entry.pid == pid)
            return true;
    } while (snapshot.next(&entry));
    return false;
}

void startOnOwnConsole(QProcess &p, const QString &program, const QStringList &arguments)
{
    p.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *args) {
        args->flags |= 0x00000010; // CREATE_NEW_CONSOLE
    });
    p.start(program, arguments);
}

bool interrupt(const QProcess &p)
{
    // The daemon's own way to its children's consoles.
    long error = 0;
    std::vector<childprocess::LogNote> notes;
    if (childprocess::sendCtrlC((unsigned long)p.processId(), &notes, &error))
        return true;
    for (const childprocess::LogNote &n : notes)
        qWarning("%s", n.text.c_str());
    return false;
}

bool noLeftovers(QString *report, int timeoutMs)
{
    if (QTest::qWaitFor([] { return descendants::of(g_roots).empty(); }, timeoutMs))
        return true;
    report->clear();
    for (const descendants::Process &p : descendants::of(g_roots)) {
        *report += QString("pid %1: %2\n").arg(p.pid).arg(QString::fromStdString(p.name));
        processscan::Entry entry;
        entry.pid = p.pid;
        long error = 0;
        if (const auto target = processscan::Target::open(entry, &error))
            target->terminate(&error);
    }
    return false;
}

} // namespace testsupport
