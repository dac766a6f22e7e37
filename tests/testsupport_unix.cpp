// The Linux half of the tests' support: processes found by their tag in /proc, the daemon run
// and signalled as systemd would, clients forked to run as other users.
#include "testsupport.h"
#include "ipc/framing.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

QByteArray tagEntry(); // testsupport.cpp: the tag, as "NAME=VALUE"

bool isRoot()
{
    return ::geteuid() == 0;
}

namespace {

// The tagged processes still running, this one aside.
QList<qint64> leftovers()
{
    const QByteArray entry = tagEntry();
    QList<qint64> found;
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : pids) {
        bool numeric = false;
        const qint64 pid = name.toLongLong(&numeric);
        if (!numeric || pid == ::getpid())
            continue;
        QFile f("/proc/" + name + "/environ");
        if (!f.open(QIODevice::ReadOnly))
            continue;
        if (f.readAll().split('\0').contains(entry))
            found.append(pid);
    }
    return found;
}

} // namespace

bool noLeftovers(QString *report, int timeoutMs)
{
    if (QTest::qWaitFor([] { return leftovers().isEmpty(); }, timeoutMs))
        return true;
    report->clear();
    for (qint64 pid : leftovers()) {
        const QByteArray cmdline = readFile(QString("/proc/%1/cmdline").arg(pid)).replace('\0', ' ');
        *report += QString("pid %1: %2\n").arg(pid).arg(QString::fromLocal8Bit(cmdline));
        ::kill(pid_t(pid), SIGKILL);
    }
    return false;
}

void Daemon::stop()
{
    // A process that is gone has no id: kill(0) would stop this whole process group.
    if (m_process.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
}

QString Daemon::socketPath() const
{
    return m_dir.path() + "/run/tarnd-1";
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
    const auto ready = [this] { return QFileInfo::exists(socketPath()) && log().contains("Daemon ready for connections"); };
    (void)QTest::qWaitFor([&] { return ready() || m_process.state() == QProcess::NotRunning; }, 20000);
    return ready();
}

void Daemon::setDescriptorLimit(int limit)
{
    m_process.setChildProcessModifier([limit] {
        const rlimit l{rlim_t(limit), rlim_t(limit)};
        setrlimit(RLIMIT_NOFILE, &l);
    });
}

void Daemon::signal(int signo)
{
    ::kill(static_cast<pid_t>(m_process.processId()), signo);
}

bool alive(qint64 pid)
{
    // A zombie is dead: its state letter is Z.
    const QByteArray stat = readFile(QString("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

void startOnOwnConsole(QProcess &p, const QString &program, const QStringList &arguments)
{
    p.start(program, arguments);
}

bool interrupt(const QProcess &p)
{
    return ::kill(pid_t(p.processId()), SIGINT) == 0;
}

namespace {

bool readExact(int fd, char *buf, size_t n)
{
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return false;
        const ssize_t r = read(fd, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= size_t(r);
    }
    return true;
}

// Where a forked client reads a frame: its body takes no memory from the heap (see forkedAs).
char g_frame[1 << 20];

// The next frame's length, its bytes in g_frame; -1 at the end, after 20 s of silence, or for a
// frame larger than g_frame.
long readFrame(int fd)
{
    unsigned char len[4];
    if (!readExact(fd, reinterpret_cast<char *>(len), 4))
        return -1;
    const quint32 n = (quint32(len[0]) << 24) | (quint32(len[1]) << 16) | (quint32(len[2]) << 8) | len[3];
    return n <= sizeof g_frame && readExact(fd, g_frame, n) ? long(n) : -1;
}

bool holds(long frameLength, const char *text)
{
    return frameLength >= 0 && memmem(g_frame, size_t(frameLength), text, strlen(text));
}

bool writeAll(int fd, const char *data, size_t n)
{
    return write(fd, data, n) == ssize_t(n);
}

bool writeAll(int fd, const QByteArray &b)
{
    return writeAll(fd, b.constData(), size_t(b.size()));
}

// The frame just read, as a line of the report.
bool reportFrame(int report, long frameLength)
{
    return frameLength >= 0 && writeAll(report, g_frame, size_t(frameLength)) && writeAll(report, "\n", 1);
}

// What a forked client reports through its pipe until it ends (30 s at most), while this
// process's event loop keeps running for the daemon it talks to.
QByteArray collectFromChild(pid_t child, int fd)
{
    QByteArray collected;
    const auto drain = [&] {
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 0) == 1) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                return;
            collected.append(buf, int(n));
        }
    };
    int status = 0;
    QElapsedTimer clock;
    clock.start();
    while (waitpid(child, &status, WNOHANG) != child) {
        if (clock.elapsed() > 30000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        QTest::qWait(10);
        drain();
    }
    drain();
    close(fd);
    return collected;
}

// Runs body in a forked child as uid/gid, and returns what it wrote to the descriptor it is given.
// Whatever body needs is to be made before: after the fork, only plain system calls. This process
// has threads (the daemon's), one of which may hold the allocator's lock at the fork, and the
// sanitizers' allocator does not let go of it in the child: a body taking memory from the heap
// hung there until the 30 s were over.
QByteArray forkedAs(unsigned uid, const std::function<void(int report)> &body)
{
    int report[2];
    if (pipe(report) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(10);
        body(report[1]);
        _exit(0);
    }
    close(report[1]);
    return collectFromChild(child, report[0]);
}

// The next frame that is not an event, as readFrame.
long readResponse(int fd)
{
    long n = 0;
    do {
        n = readFrame(fd);
    } while (holds(n, "\"event\""));
    return n;
}

int connectUnix(const QByteArray &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return -1;
    return fd;
}

} // namespace

ForeignClient runAsUser(unsigned uid, const QString &socketPath, const QList<QJsonObject> &requests)
{
    QList<QByteArray> frames;
    for (const QJsonObject &r : requests)
        frames << framing::encode(r);
    const QByteArray path = socketPath.toLocal8Bit();
    const QByteArray collected = forkedAs(uid, [&](int report) {
        const int fd = connectUnix(path);
        if (fd < 0)
            _exit(11);
        const long greeting = readFrame(fd);
        if (greeting < 0)
            _exit(0);
        reportFrame(report, greeting);
        for (const QByteArray &f : std::as_const(frames)) {
            if (!writeAll(fd, f))
                _exit(12);
            if (!reportFrame(report, readResponse(fd)))
                _exit(13);
        }
    });
    ForeignClient result;
    const QList<QByteArray> lines = collected.split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (result.refused) {
            result.refused = false;
            result.greeting = o;
        } else {
            result.responses << o;
        }
    }
    return result;
}

ForeignConnections connectAsUser(unsigned uid, const QString &socketPath, int count)
{
    const QByteArray path = socketPath.toLocal8Bit();
    const QByteArray heartbeat = framing::encode(QJsonObject{{"action", "heartbeat"}});
    std::vector<int> fds;
    fds.reserve(size_t(count));
    std::vector<char> wrote(static_cast<std::size_t>(count));
    const QByteArray collected = forkedAs(uid, [&](int report) {
        // All are held at once; all heartbeat together, so none times out waiting its turn.
        const auto heartbeatAll = [&](bool told) {
            for (size_t i = 0; i < fds.size(); ++i)
                wrote[i] = fds[i] >= 0 && writeAll(fds[i], heartbeat);
            for (size_t i = 0; i < fds.size(); ++i) {
                const bool answered = wrote[i] && holds(readResponse(fds[i]), "success");
                if (told)
                    writeAll(report, answered ? "h" : "-", 1);
            }
        };
        QElapsedTimer sinceHeartbeat;
        sinceHeartbeat.start();
        for (int i = 0; i < count; ++i) {
            const int fd = connectUnix(path);
            const bool greeted = fd >= 0 && readFrame(fd) > 0;
            writeAll(report, greeted ? "y" : "n", 1);
            fds.push_back(greeted ? fd : -1);
            if (sinceHeartbeat.elapsed() > 2000) {
                heartbeatAll(false);
                sinceHeartbeat.restart();
            }
        }
        writeAll(report, "|", 1);
        heartbeatAll(true);
    });
    ForeignConnections result;
    const QList<QByteArray> parts = collected.split('|');
    for (char c : parts.value(0))
        result.admitted << (c == 'y');
    for (char c : parts.value(1))
        result.answered << (c == 'h');
    return result;
}

int holdAsUser(unsigned uid, const QString &socketPath, const QList<QByteArray> &sends, int closes)
{
    const QByteArray path = socketPath.toLocal8Bit();
    std::vector<pollfd> fds;
    fds.reserve(size_t(sends.size()));
    const QByteArray collected = forkedAs(uid, [&](int report) {
        for (const QByteArray &s : sends) {
            const int fd = connectUnix(path);
            // The daemon may close it while it is still written to.
            send(fd, s.constData(), size_t(s.size()), MSG_NOSIGNAL);
            fds.push_back({fd, POLLIN, 0});
        }
        char closed = 0, c;
        QElapsedTimer clock;
        clock.start();
        while (closed < closes && clock.elapsed() < 20000 && poll(fds.data(), fds.size(), 100) >= 0)
            for (pollfd &p : fds)
                if (p.revents && read(p.fd, &c, 1) <= 0 && ++closed)
                    p.fd = -1;
        writeAll(report, &closed, 1);
    });
    return collected.isEmpty() ? -1 : collected[0];
}

} // namespace testsupport
