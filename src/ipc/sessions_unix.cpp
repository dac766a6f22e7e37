// Sessions on Linux are logind's, asked over the system D-Bus. Where logind cannot be reached
// (containers, CI, minimal machines) every process counts as being in one session, number 1,
// whose user is the daemon's own.

#include "ipc/sessions.h"
#include "service/logging.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QFile>
#include <QRegularExpression>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Login1 = QStringLiteral("org.freedesktop.login1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString ManagerIface = QStringLiteral("org.freedesktop.login1.Manager");
const QString SessionIface = QStringLiteral("org.freedesktop.login1.Session");
const QString UserIface = QStringLiteral("org.freedesktop.login1.User");

struct SessionEntry
{
    QString id;
    uint uid = 0;
    QString user;
    QString seat;
    QDBusObjectPath path;
};

struct UserSessionRef
{
    QString id;
    QDBusObjectPath path;
};

} // namespace

Q_DECLARE_METATYPE(SessionEntry)
Q_DECLARE_METATYPE(UserSessionRef)

QDBusArgument &operator<<(QDBusArgument &arg, const SessionEntry &e)
{
    arg.beginStructure();
    arg << e.id << e.uid << e.user << e.seat << e.path;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, SessionEntry &e)
{
    arg.beginStructure();
    arg >> e.id >> e.uid >> e.user >> e.seat >> e.path;
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const UserSessionRef &r)
{
    arg.beginStructure();
    arg << r.id << r.path;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, UserSessionRef &r)
{
    arg.beginStructure();
    arg >> r.id >> r.path;
    arg.endStructure();
    return arg;
}

namespace sessions {

namespace {

std::string userName(uid_t uid)
{
    struct passwd pw;
    struct passwd *result = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &result) == 0 && result)
        return result->pw_name;
    return std::to_string(uid);
}

QVariant property(const QString &path, const QString &iface, const QString &name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Login1, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << iface << name;
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QVariant();
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

bool numericId(const QString &text, std::uint32_t *id)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (ok)
        *id = value;
    return ok;
}

class Logind
{
public:
    static Logind &instance()
    {
        static Logind logind;
        return logind;
    }

    bool available() const { return m_available; }

    bool listSessions(QList<SessionEntry> *out)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(Login1, ManagerPath, ManagerIface,
                                                           QStringLiteral("ListSessions"));
        const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return false;
        reply.arguments().constFirst().value<QDBusArgument>() >> *out;
        return true;
    }

    QString managerCall(const QString &method, const QVariant &arg)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(Login1, ManagerPath, ManagerIface, method);
        call << arg;
        const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return QString();
        return reply.arguments().constFirst().value<QDBusObjectPath>().path();
    }

private:
    Logind()
    {
        qDBusRegisterMetaType<SessionEntry>();
        qDBusRegisterMetaType<QList<SessionEntry>>();
        qDBusRegisterMetaType<UserSessionRef>();
        QList<SessionEntry> probe;
        m_available = QDBusConnection::systemBus().isConnected() && listSessions(&probe);
        if (m_available)
            qCInfo(lcTarnd) << "User sessions from logind";
        else
            qCInfo(lcTarnd) << "logind cannot be reached; serving a single session (1) for every process";
    }

    bool m_available = false;
};

std::int64_t ownerOf(std::int64_t pid)
{
    struct stat st;
    const std::string proc = "/proc/" + std::to_string(pid);
    if (::stat(proc.c_str(), &st) != 0)
        return -1;
    return st.st_uid;
}

// The session scope a process was started in, if any: ".../session-3.scope".
bool sessionFromCgroup(std::int64_t pid, std::uint32_t *session)
{
    QFile f(QStringLiteral("/proc/%1/cgroup").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    static const QRegularExpression scope(QStringLiteral("/session-([^/.]+)\\.scope"));
    const QRegularExpressionMatch m = scope.match(QString::fromUtf8(f.readAll()));
    return m.hasMatch() && numericId(m.captured(1), session);
}

} // namespace

std::string sourceName()
{
    return Logind::instance().available() ? "logind" : "single session";
}

bool listActive(std::vector<SessionInfo> &out, std::string *error)
{
    out.clear();
    Logind &logind = Logind::instance();
    if (!logind.available()) {
        out.push_back({1, userName(::geteuid())});
        return true;
    }
    QList<SessionEntry> entries;
    if (!logind.listSessions(&entries)) {
        if (error)
            *error = "ListSessions failed";
        return false;
    }
    for (const SessionEntry &e : entries) {
        std::uint32_t id = 0;
        if (!numericId(e.id, &id)) {
            qCDebug(lcTarnd) << "Skipping logind session with a non-numeric id:" << e.id;
            continue;
        }
        const QString path = e.path.path();
        const QString cls = property(path, SessionIface, QStringLiteral("Class")).toString();
        const QString state = property(path, SessionIface, QStringLiteral("State")).toString();
        if (cls != QLatin1String("user") || (state != QLatin1String("active") && state != QLatin1String("online")))
            continue;
        if (e.user.isEmpty())
            continue;
        out.push_back({id, e.user.toStdString()});
    }
    return true;
}

bool sessionOfProcess(std::int64_t pid, std::uint32_t *session)
{
    Logind &logind = Logind::instance();
    if (!logind.available()) {
        if (ownerOf(pid) < 0)
            return false;
        *session = 1;
        return true;
    }
    if (sessionFromCgroup(pid, session))
        return true;
    const QString byPid = logind.managerCall(QStringLiteral("GetSessionByPID"), QVariant::fromValue(uint(pid)));
    if (!byPid.isEmpty() && numericId(property(byPid, SessionIface, QStringLiteral("Id")).toString(), session))
        return true;

    // Outside any session scope (started by the user's service manager, say): the display
    // session of its user, else that user's first active session.
    const std::int64_t uid = ownerOf(pid);
    if (uid < 0)
        return false;
    const QString userPath = logind.managerCall(QStringLiteral("GetUser"), QVariant::fromValue(uint(uid)));
    if (!userPath.isEmpty()) {
        const QVariant display = property(userPath, UserIface, QStringLiteral("Display"));
        UserSessionRef ref;
        display.value<QDBusArgument>() >> ref;
        if (numericId(ref.id, session))
            return true;
    }
    std::vector<SessionInfo> active;
    if (!listActive(active, nullptr))
        return false;
    const std::string name = userName(static_cast<uid_t>(uid));
    for (const SessionInfo &s : active) {
        if (s.user == name) {
            *session = s.id;
            return true;
        }
    }
    return false;
}

bool peerOf(std::intptr_t descriptor, PeerInfo *peer)
{
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0)
        return false;
    peer->pid = cred.pid;
    peer->uid = cred.uid;
    peer->gid = cred.gid;
    peer->user = userName(cred.uid);
    peer->privileged = cred.uid == 0;
    peer->hasSession = sessionOfProcess(cred.pid, &peer->session);
    return true;
}

} // namespace sessions
